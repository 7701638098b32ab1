#include "app/guardian.h"

namespace tw {

// The role ends at once until it has its work: nothing of it may show a
// window or take the folder's lock meanwhile.
int RunGuardian(const StartOptions&)
{
    return 0;
}

} // namespace tw
