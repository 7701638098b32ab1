#include "ui/autostart.h"

#include "core/exe_path.h"
#include "core/trace.h"
#include "monitor/ui_links.h"
#include "ui/backstop_task.h"
#include "ui/window.h"

#include <string.h>
#include <wchar.h>

namespace tw {

const wchar_t kAutostartValueName[] = L"Tollwick_TwDev";

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kClickTag[] = L"开机启动单击事件";
constexpr REGSAM kRunKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

CStrW Quoted(const CStrW& path)
{
    CStrW command(L"\"");
    command.AppendChars(path.c_str(), 0);
    command.AppendChars(L"\"", 0);
    return command;
}

const wchar_t kAutostartSwitch[] = L" /autostart";

// The value as Tollwick writes it (upgraded true) or as versions before the
// switch wrote it.
bool IsOwnValue(AutostartKey& key, bool* upgraded)
{
    CStrW value;
    DWORD type = REG_NONE;
    if (!key.ReadValue(&value, &type) || type != REG_SZ)
        return false;
    CStrW quoted = Quoted(ExecutablePath());
    *upgraded = wcscmp(value.c_str(), AutostartCommand().c_str()) == 0;
    return *upgraded || wcscmp(value.c_str(), quoted.c_str()) == 0;
}

// The scheduled task goes with the Run value. It is a backstop only: the
// value starts Tollwick at log-on without it, so a refusal is traced and
// the user is not asked about it.
void FollowWithBackstopTask(bool wanted)
{
    // The Task Scheduler service may refuse a call for a moment while it is
    // busy or still starting; a few tries ride that out.
    constexpr int kTries = 3;
    constexpr DWORD kTryGapMs = 250;
    HRESULT result = S_OK;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (attempt)
            Sleep(kTryGapMs);
        if (wanted ? RegisterBackstopTask(&result) : UnregisterBackstopTask(&result))
            return;
    }
    TraceFormat(kClickTag,
                wanted ? L"后备计划任务注册失败, 错误代码: 0x%08lX" : L"后备计划任务删除失败, 错误代码: 0x%08lX",
                static_cast<unsigned long>(result));
}

bool WriteOwnValue(AutostartKey& key)
{
    CStrW path = ExecutablePath();
    if (!key.handle || path.IsEmpty())
        return false;
    CStrW command = AutostartCommand();
    DWORD bytes = static_cast<DWORD>((command.Length() + 1) * sizeof(wchar_t));
    key.status = RegSetValueExW(key.handle, kAutostartValueName, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(command.c_str()), bytes);
    return key.status == ERROR_SUCCESS;
}

} // namespace

bool AutostartKey::Open()
{
    Close();
    status = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, kRunKeyAccess, &handle);
    if (status != ERROR_SUCCESS) {
        handle = nullptr;
        status = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, kRunKeyAccess, nullptr, &handle, nullptr);
        if (status != ERROR_SUCCESS)
            handle = nullptr;
    }
    return handle != nullptr;
}

bool AutostartKey::ReadValue(CStrW* text, DWORD* type)
{
    if (!handle)
        return false;
    DWORD bytes = 0;
    status = RegQueryValueExW(handle, kAutostartValueName, nullptr, type, nullptr, &bytes);
    if (status != ERROR_SUCCESS)
        return false;
    // Registry strings need not be terminated: one zeroed character more.
    size_t chars = bytes / sizeof(wchar_t) + 1;
    wchar_t* buffer = text->Reserve(chars);
    if (!buffer)
        return false;
    memset(buffer, 0, chars * sizeof(wchar_t));
    DWORD read = static_cast<DWORD>((chars - 1) * sizeof(wchar_t));
    status = RegQueryValueExW(handle, kAutostartValueName, nullptr, type, reinterpret_cast<BYTE*>(buffer), &read);
    if (status != ERROR_SUCCESS) {
        text->SetLength(0);
        return false;
    }
    text->SetLength(wcslen(buffer));
    return true;
}

void AutostartKey::Close()
{
    if (handle)
        RegCloseKey(handle);
    handle = nullptr;
}

CStrW AutostartCommand()
{
    CStrW command = Quoted(ExecutablePath());
    command.AppendChars(kAutostartSwitch, 0);
    return command;
}

bool IsOwnAutostartValue(AutostartKey& key)
{
    bool upgraded = false;
    return IsOwnValue(key, &upgraded);
}

bool UpgradeAutostartValue(AutostartKey& key)
{
    bool upgraded = false;
    if (!IsOwnValue(key, &upgraded) || upgraded)
        return true;
    return WriteOwnValue(key);
}

void OnAutostartClick(HWND box)
{
    AutostartKey key;
    key.Open();
    if (SendMessageW(box, BM_GETCHECK, 0, 0) != BST_UNCHECKED) {
        bool written = true;
        bool upgraded = false;
        if (IsOwnValue(key, &upgraded) && upgraded) {
            Trace(kClickTag, L"启动项存在, 并且是本程序");
        } else if (WriteOwnValue(key)) {
            Trace(kClickTag, L"修改开机启动成功");
        } else {
            written = false;
            Trace(kClickTag, L"无权限修改启动项");
            ShowMessageBox(g_mainWindow, L"无权限修改启动项", MB_OK);
            SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
        }
        key.Close();
        // The box cleared itself: nothing of the autostart stays behind.
        FollowWithBackstopTask(written);
        return;
    }
    if (key.handle)
        RegDeleteValueW(key.handle, kAutostartValueName);
    key.Close();
    FollowWithBackstopTask(false);
}

} // namespace tw
