#include "core/clock.h"

namespace tw {

bool BreakDownUtc8(long long seconds, struct tm* parts)
{
    __time64_t t = seconds ? static_cast<__time64_t>(seconds) : _time64(nullptr);
    t += 8 * 3600;
    *parts = {};
    return _gmtime64_s(parts, &t) == 0;
}

} // namespace tw
