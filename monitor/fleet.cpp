#include "monitor/fleet.h"

#include "monitor/event_queue.h"

namespace tw {

void StartFleet(FleetSettings&) {}
void StopFleet() {}
bool PrepareFleetEvent(const LogEvent&, const wchar_t*, FleetEvent*)
{
    return false;
}
void HandOverEvent(const FleetEvent&) {}
void NoteFleetChange() {}

} // namespace tw
