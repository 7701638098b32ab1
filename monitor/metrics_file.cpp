#include "monitor/metrics_file.h"

namespace tw {

void TakeMetricsSnapshot(bool, long long, TollwickMetrics*) {}
void ReleaseMetrics(TollwickMetrics*) {}
CStrA BuildMetricsText(const TollwickMetrics&)
{
    return CStrA();
}
DWORD ReplaceMetricsFile(const CStrW&, const CStrA&)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace tw
