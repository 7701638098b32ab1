#include "app/unregister.h"

namespace tw {

// Nothing is registered beyond the Run value yet, which the uninstaller
// deletes itself.
int RunUnregister(const StartOptions&)
{
    return 0;
}

} // namespace tw
