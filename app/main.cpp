#include "app/main_window.h"
#include "app/start_options.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    return tw::RunTollwick(instance, showCommand, tw::ParseStartOptions(GetCommandLineW()));
}
