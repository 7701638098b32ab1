// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_TOLLWICK 132
#define IDC_FINDER 130
#define IDD_SETTINGS 129

// Controls of the settings dialog (template IDD_SETTINGS).
#define IDC_MONITOR_TIME 1001
#define IDC_UNRESPONSE_TIME 1002
#define IDC_CLOSE_TIME 1003
#define IDC_RUN_TIME 1004
#define IDC_ONCE_RUN 1005
#define IDC_PROGRAM 1006
#define IDC_ONCE_CLOSE 1007
#define IDC_DAILY_RUN 1008
#define IDC_DAILY_CLOSE 1009
#define IDC_COMMAND 1010
#define IDC_MESSAGE 1011
#define IDC_PARAMETERS 1012
#define IDC_PROGRAM_PATH 1013
#define IDC_STABLE_TIME 1014
#define IDC_BACKOFF_MAX 1015
#define IDC_MEMORY_LIMIT 1016
#define IDC_MEMORY_CYCLES 1017
#define IDC_KEEP_PLACEMENT 1018
