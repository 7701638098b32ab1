#include "config/config.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (!tw::g_config.Open())
        return 0;
    tw::g_config.Save();
    return 0;
}
