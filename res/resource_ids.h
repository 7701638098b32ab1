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
#define IDC_PAGES 1019
#define IDC_HEARTBEAT_FILE 1020
#define IDC_HEARTBEAT_TIME 1021
#define IDC_HEALTH_URL 1022
#define IDC_CPU_LIMIT 1023
#define IDC_CPU_CYCLES 1024
#define IDC_HEALTH_GRACE 1025
#define IDC_HEALTH_CYCLES 1026

// The texts of a page of IDC_PAGES have ids from its base up (at most 99
// each), so that the page can show and hide them with its fields.
#define IDC_START_TEXTS 1100
#define IDC_RECOVERY_TEXTS 1200
#define IDC_HEALTH_TEXTS 1300
