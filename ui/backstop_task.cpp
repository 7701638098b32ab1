#include "ui/backstop_task.h"

#include "core/exe_path.h"
#include "core/path.h"

#include <oleauto.h>
#include <taskschd.h>
#define SECURITY_WIN32
#include <security.h>

#include <stdint.h>
#include <wchar.h>

namespace tw {

namespace {

const wchar_t kTaskNamePrefix[] = L"Tollwick 守护 ";
const wchar_t kBackstopArguments[] = L"/backstop";

// Releases its interface when it goes.
template <typename T> class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef()
    {
        if (m_p)
            m_p->Release();
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    T** Out() { return &m_p; }

private:
    T* m_p = nullptr;
};

// A BSTR freed when it goes; made from a text, or filled by a getter.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : m_text(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_text); }
    BSTR Get() const { return m_text; }
    BSTR* Out() { return &m_text; }
    CStrW Text() const { return CStrW(m_text ? m_text : L""); }

private:
    BSTR m_text = nullptr;
};

// An empty VARIANT, cleared when it goes.
class Variant {
public:
    Variant() { VariantInit(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&m_value); }
    const VARIANT& Get() const { return m_value; }

private:
    VARIANT m_value;
};

// COM for the calling thread, for as long as the object lives. A thread that
// already has COM in another model keeps it, and is not uninitialised here.
class ComScope {
public:
    ComScope() : m_status(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope()
    {
        if (SUCCEEDED(m_status))
            CoUninitialize();
    }
    bool Usable() const { return SUCCEEDED(m_status) || m_status == RPC_E_CHANGED_MODE; }
    HRESULT Status() const { return m_status; }

private:
    HRESULT m_status;
};

// The root folder of the local Task Scheduler, as the current user.
HRESULT OpenRootFolder(ITaskService** service, ITaskFolder** folder)
{
    HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  reinterpret_cast<void**>(service));
    if (FAILED(hr))
        return hr;
    Variant server, user, domain, password;
    hr = (*service)->Connect(server.Get(), user.Get(), domain.Get(), password.Get());
    if (FAILED(hr))
        return hr;
    Bstr root(L"\\");
    return (*service)->GetFolder(root.Get(), folder);
}

bool Report(HRESULT hr, HRESULT* result)
{
    if (result)
        *result = hr;
    return SUCCEEDED(hr);
}

void AppendElement(CStrW& xml, const wchar_t* indent, const wchar_t* name, const CStrW& text)
{
    xml.AppendChars(indent, 0);
    xml.AppendChars(L"<", 0);
    xml.AppendChars(name, 0);
    xml.AppendChars(L">", 0);
    xml.AppendChars(XmlEscaped(text).c_str(), 0);
    xml.AppendChars(L"</", 0);
    xml.AppendChars(name, 0);
    xml.AppendChars(L">\r\n", 0);
}

template <typename Getter> CStrW ReadText(Getter get)
{
    Bstr text;
    if (FAILED(get(text.Out())))
        return CStrW();
    return text.Text();
}

void ReadAction(ITaskDefinition* definition, ScheduledTaskInfo* info)
{
    ComRef<IActionCollection> actions;
    ComRef<IAction> action;
    ComRef<IExecAction> exec;
    LONG count = 0;
    if (FAILED(definition->get_Actions(actions.Out())) || !actions.Get() || FAILED(actions->get_Count(&count)))
        return;
    info->actionCount = count;
    if (count < 1 || FAILED(actions->get_Item(1, action.Out())) || !action.Get() ||
        FAILED(action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(exec.Out()))) || !exec.Get())
        return;
    info->command = ReadText([&](BSTR* out) { return exec->get_Path(out); });
    info->arguments = ReadText([&](BSTR* out) { return exec->get_Arguments(out); });
    info->workingDirectory = ReadText([&](BSTR* out) { return exec->get_WorkingDirectory(out); });
}

void ReadSettings(ITaskDefinition* definition, ScheduledTaskInfo* info)
{
    ComRef<ITaskSettings> settings;
    if (FAILED(definition->get_Settings(settings.Out())) || !settings.Get())
        return;
    info->executionTimeLimit = ReadText([&](BSTR* out) { return settings->get_ExecutionTimeLimit(out); });
    TASK_INSTANCES_POLICY policy;
    if (SUCCEEDED(settings->get_MultipleInstances(&policy)))
        info->instancesPolicy = policy;
    INT priority = 0;
    if (SUCCEEDED(settings->get_Priority(&priority)))
        info->priority = priority;
    VARIANT_BOOL flag = VARIANT_FALSE;
    if (SUCCEEDED(settings->get_DisallowStartIfOnBatteries(&flag)))
        info->disallowStartOnBatteries = flag != VARIANT_FALSE ? 1 : 0;
    if (SUCCEEDED(settings->get_StopIfGoingOnBatteries(&flag)))
        info->stopIfGoingOnBatteries = flag != VARIANT_FALSE ? 1 : 0;
}

void ReadPrincipalAndTriggers(ITaskDefinition* definition, ScheduledTaskInfo* info)
{
    ComRef<IPrincipal> principal;
    if (SUCCEEDED(definition->get_Principal(principal.Out())) && principal.Get()) {
        TASK_LOGON_TYPE logon;
        if (SUCCEEDED(principal->get_LogonType(&logon)))
            info->logonType = logon;
        TASK_RUNLEVEL_TYPE level;
        if (SUCCEEDED(principal->get_RunLevel(&level)))
            info->runLevel = level;
    }
    ComRef<ITriggerCollection> triggers;
    LONG count = 0;
    if (SUCCEEDED(definition->get_Triggers(triggers.Out())) && triggers.Get() && SUCCEEDED(triggers->get_Count(&count)))
        info->triggerCount = count;
}

} // namespace

CStrW XmlEscaped(const CStrW& text)
{
    CStrW escaped(L"");
    for (const wchar_t* c = text.c_str(); *c; ++c) {
        switch (*c) {
        case L'&':
            escaped.AppendChars(L"&amp;", 0);
            break;
        case L'<':
            escaped.AppendChars(L"&lt;", 0);
            break;
        case L'>':
            escaped.AppendChars(L"&gt;", 0);
            break;
        case L'"':
            escaped.AppendChars(L"&quot;", 0);
            break;
        case L'\'':
            escaped.AppendChars(L"&apos;", 0);
            break;
        default:
            escaped.AppendChars(c, 1);
        }
    }
    return escaped;
}

// Two triggers: the log-on of this user, and a time trigger long past; both
// repeat every five minutes for ever. A second instance is never started
// beside one that still runs, the run has no time limit (Tollwick runs for
// days), and batteries stop nothing: a kiosk on a UPS is still a kiosk.
CStrW BackstopTaskXml(const CStrW& exePath, const CStrW& userId)
{
    const wchar_t* const repetition = L"      <Repetition>\r\n"
                                      L"        <Interval>PT5M</Interval>\r\n"
                                      L"        <StopAtDurationEnd>false</StopAtDurationEnd>\r\n"
                                      L"      </Repetition>\r\n";
    CStrW xml(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
              L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
              L"  <RegistrationInfo>\r\n");
    AppendElement(xml, L"    ", L"Author", userId);
    AppendElement(xml, L"    ", L"Description",
                  CStrW(L"Tollwick 的后备启动: 当 Tollwick 和它的守护进程都不在时重新启动它。"));
    xml.AppendChars(L"  </RegistrationInfo>\r\n"
                    L"  <Triggers>\r\n"
                    L"    <LogonTrigger>\r\n",
                    0);
    xml.AppendChars(repetition, 0);
    xml.AppendChars(L"      <Enabled>true</Enabled>\r\n", 0);
    AppendElement(xml, L"      ", L"UserId", userId);
    xml.AppendChars(L"    </LogonTrigger>\r\n"
                    L"    <TimeTrigger>\r\n",
                    0);
    xml.AppendChars(repetition, 0);
    xml.AppendChars(L"      <StartBoundary>2000-01-01T00:00:00</StartBoundary>\r\n"
                    L"      <Enabled>true</Enabled>\r\n"
                    L"    </TimeTrigger>\r\n"
                    L"  </Triggers>\r\n"
                    L"  <Principals>\r\n"
                    L"    <Principal id=\"Author\">\r\n",
                    0);
    AppendElement(xml, L"      ", L"UserId", userId);
    xml.AppendChars(L"      <LogonType>InteractiveToken</LogonType>\r\n"
                    L"      <RunLevel>LeastPrivilege</RunLevel>\r\n"
                    L"    </Principal>\r\n"
                    L"  </Principals>\r\n"
                    L"  <Settings>\r\n"
                    L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
                    L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
                    L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
                    L"    <AllowHardTerminate>true</AllowHardTerminate>\r\n"
                    L"    <StartWhenAvailable>false</StartWhenAvailable>\r\n"
                    L"    <AllowStartOnDemand>true</AllowStartOnDemand>\r\n"
                    L"    <Enabled>true</Enabled>\r\n"
                    L"    <Hidden>false</Hidden>\r\n"
                    L"    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\r\n"
                    L"    <Priority>4</Priority>\r\n"
                    L"  </Settings>\r\n"
                    L"  <Actions Context=\"Author\">\r\n"
                    L"    <Exec>\r\n",
                    0);
    AppendElement(xml, L"      ", L"Command", exePath);
    AppendElement(xml, L"      ", L"Arguments", CStrW(kBackstopArguments));
    CStrW folder = DirectoryOf(exePath);
    // The folder without its last separator, as Explorer shows it, but a
    // drive's root keeps it ("C:" alone would be that drive's current folder).
    if (folder.Length() > 3)
        folder = CStrW(folder.c_str(), folder.Length() - 1);
    AppendElement(xml, L"      ", L"WorkingDirectory", folder);
    xml.AppendChars(L"    </Exec>\r\n"
                    L"  </Actions>\r\n"
                    L"</Task>\r\n",
                    0);
    return xml;
}

CStrW BackstopTaskNameFor(const CStrW& folder)
{
    CStrW name(kTaskNamePrefix);
    CStrW digits;
    digits.Format(L"%016llX", PathKey(folder.c_str()));
    name.AppendChars(digits.c_str(), 0);
    return name;
}

CStrW BackstopTaskName()
{
    return BackstopTaskNameFor(DirectoryOf(ExecutablePath()));
}

CStrW CurrentUserId()
{
    ULONG size = 0;
    GetUserNameExW(NameSamCompatible, nullptr, &size);
    CStrW user;
    wchar_t* buffer = size ? user.Reserve(size) : nullptr;
    if (buffer && GetUserNameExW(NameSamCompatible, buffer, &size)) {
        user.SetLength(wcslen(buffer));
        return user;
    }
    // Without the security package: the plain name, with the domain the
    // log-on set in the environment.
    wchar_t name[256 + 1] = {0}, domain[256 + 1] = {0};
    DWORD nameSize = 256 + 1;
    if (!GetUserNameW(name, &nameSize))
        return CStrW();
    CStrW id;
    DWORD domainLength = GetEnvironmentVariableW(L"USERDOMAIN", domain, 256 + 1);
    if (domainLength > 0 && domainLength <= 256) {
        id.AppendChars(domain, 0);
        id.AppendChars(L"\\", 0);
    }
    id.AppendChars(name, 0);
    return id;
}

bool RegisterScheduledTask(const CStrW& name, const CStrW& xml, HRESULT* result)
{
    ComScope com;
    if (!com.Usable())
        return Report(com.Status(), result);
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    HRESULT hr = OpenRootFolder(service.Out(), folder.Out());
    if (FAILED(hr))
        return Report(hr, result);
    Bstr path(name.c_str()), text(xml.c_str());
    Variant user, password, sddl;
    ComRef<IRegisteredTask> task;
    // No user and no password: the task runs only while this user is logged
    // on, with the user's own token, which a normal user may register.
    hr = folder->RegisterTask(path.Get(), text.Get(), TASK_CREATE_OR_UPDATE, user.Get(), password.Get(),
                              TASK_LOGON_INTERACTIVE_TOKEN, sddl.Get(), task.Out());
    return Report(hr, result);
}

bool DeleteScheduledTask(const CStrW& name, HRESULT* result)
{
    ComScope com;
    if (!com.Usable())
        return Report(com.Status(), result);
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    HRESULT hr = OpenRootFolder(service.Out(), folder.Out());
    if (FAILED(hr))
        return Report(hr, result);
    Bstr path(name.c_str());
    hr = folder->DeleteTask(path.Get(), 0);
    if (result)
        *result = hr;
    return SUCCEEDED(hr) || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
           hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

bool ReadScheduledTask(const CStrW& name, ScheduledTaskInfo* info, HRESULT* result)
{
    *info = ScheduledTaskInfo();
    ComScope com;
    if (!com.Usable())
        return Report(com.Status(), result);
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    HRESULT hr = OpenRootFolder(service.Out(), folder.Out());
    if (FAILED(hr))
        return Report(hr, result);
    Bstr path(name.c_str());
    ComRef<IRegisteredTask> task;
    ComRef<ITaskDefinition> definition;
    hr = folder->GetTask(path.Get(), task.Out());
    if (SUCCEEDED(hr))
        hr = task->get_Definition(definition.Out());
    if (FAILED(hr))
        return Report(hr, result);
    info->xml = ReadText([&](BSTR* out) { return task->get_Xml(out); });
    ReadAction(definition.Get(), info);
    ReadSettings(definition.Get(), info);
    ReadPrincipalAndTriggers(definition.Get(), info);
    return Report(hr, result);
}

bool RegisterBackstopTask(HRESULT* result)
{
    CStrW exePath = ExecutablePath();
    CStrW user = CurrentUserId();
    if (exePath.IsEmpty() || user.IsEmpty())
        return Report(E_UNEXPECTED, result);
    return RegisterScheduledTask(BackstopTaskName(), BackstopTaskXml(exePath, user), result);
}

bool UnregisterBackstopTask(HRESULT* result)
{
    return DeleteScheduledTask(BackstopTaskName(), result);
}

bool ReadBackstopTask(ScheduledTaskInfo* info, HRESULT* result)
{
    return ReadScheduledTask(BackstopTaskName(), info, result);
}

} // namespace tw
