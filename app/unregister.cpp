#include "app/unregister.h"

#include "ui/backstop_task.h"

namespace tw {

// The uninstaller's call: the backstop task goes (the uninstaller deletes
// the Run value itself). 0 when no task is left.
int RunUnregister(const StartOptions&)
{
    HRESULT result = S_OK;
    return UnregisterBackstopTask(&result) ? 0 : 1;
}

} // namespace tw
