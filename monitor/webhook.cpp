#include "monitor/webhook.h"

namespace tw {

CStrA WebhookJson(const FleetEvent&, unsigned long long, const CStrW&, const CStrW&)
{
    return CStrA();
}
bool StartWebhook(const CStrW&)
{
    return false;
}
void QueueWebhookEvent(const FleetEvent&) {}
void StopWebhook(DWORD) {}

} // namespace tw
