// The backstop: a scheduled task of the current user that starts
// "Tollwick.exe /backstop" from its folder at log-on and every five minutes,
// so that Tollwick comes back when it and its guardian were both ended, or
// when a log-on did not run the Run key. It is registered through the Task
// Scheduler's COM interface with "run only when the user is logged on", which
// needs no administrator rights. Each folder has a task of its own.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// What a registered task says about itself, as the Task Scheduler reads it
// back. The counts and numbers are -1 when they could not be read (Wine's
// Task Scheduler keeps the settings but neither the triggers, the principal
// nor the action's command).
struct ScheduledTaskInfo {
    CStrW xml;
    long actionCount = -1;
    CStrW command;
    CStrW arguments;
    CStrW workingDirectory;
    CStrW executionTimeLimit;
    long instancesPolicy = -1; // TASK_INSTANCES_POLICY
    int priority = -1;
    int disallowStartOnBatteries = -1; // 0 or 1
    int stopIfGoingOnBatteries = -1;   // 0 or 1
    long logonType = -1;               // TASK_LOGON_TYPE
    long runLevel = -1;                // TASK_RUNLEVEL_TYPE
    long triggerCount = -1;
};

// The text the XML's content and attributes need: & < > " ' as entities.
CStrW XmlEscaped(const CStrW& text);
// The whole task as the Task Scheduler's XML, for the executable at exePath
// run by the user userId ("DOMAIN\user"). Every text in it is escaped.
CStrW BackstopTaskXml(const CStrW& exePath, const CStrW& userId);
// The task's name for the executable folder: the same for every spelling of
// one folder (letter case, short names, a trailing separator), different for
// two folders.
CStrW BackstopTaskNameFor(const CStrW& folder);
// The name for this executable's folder.
CStrW BackstopTaskName();
// The user running this process as "DOMAIN\user"; empty when unknown.
CStrW CurrentUserId();

// Registers (or updates) the task for this executable. *result, when given,
// gets the Task Scheduler's answer; false on any failure.
bool RegisterBackstopTask(HRESULT* result);
// Deletes this executable's task; true when it is gone, also when there was
// none.
bool UnregisterBackstopTask(HRESULT* result);
// Reads this executable's task back; false when there is none or it cannot be
// read.
bool ReadBackstopTask(ScheduledTaskInfo* info, HRESULT* result);

// The same for any task in the root folder, by name, with any XML: the tests
// register what the Task Scheduler of the system at hand accepts.
bool RegisterScheduledTask(const CStrW& name, const CStrW& xml, HRESULT* result);
bool DeleteScheduledTask(const CStrW& name, HRESULT* result);
bool ReadScheduledTask(const CStrW& name, ScheduledTaskInfo* info, HRESULT* result);

} // namespace tw
