// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_TOLLWICK 132
#define IDC_FINDER 130
#define IDD_SETTINGS 129
