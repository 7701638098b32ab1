#include "ui/settings_dialog.h"

#include "config/config.h"
#include "core/array.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "schedule/scheduler.h"
#include "core/guard.h"
#include "ui/schedule_view.h"
#include "ui/window.h"

#include <commctrl.h>
#include <wchar.h>

namespace tw {

namespace {

const wchar_t kProcProperty[] = L"proc";
const wchar_t kLineBreakMarker[] = L"|__#_换_行_符__|";
// The engine takes a period or hang grace of 1 s up to kLongestSeconds and
// reads a smaller one as 5 s; the longest, "86400", has five digits.
constexpr DWORD kEngineFallbackSeconds = 5;
constexpr WPARAM kEngineSecondsDigits = 5;

void SetField(HWND dialog, int id, const CStrW& text)
{
    SetDlgItemTextW(dialog, id, text.c_str());
}

bool IsAllowedTimeChar(WPARAM ch)
{
    switch (ch) {
    case 1:  // Ctrl+A
    case 3:  // Ctrl+C
    case 8:  // Backspace
    case 13: // Enter
    case 22: // Ctrl+V
    case 24: // Ctrl+X
    case 26: // Ctrl+Z
    case L':':
        return true;
    default:
        return ch >= L'0' && ch <= L'9';
    }
}

// The time fields take digits, colons and the editing keys; pasted text is
// not filtered.
LRESULT TimeFieldProcBody(HWND field, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto previous = reinterpret_cast<WNDPROC>(GetPropW(field, kProcProperty));
    if (message == WM_CHAR && !IsAllowedTimeChar(wParam))
        return 0;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        RemovePropW(field, kProcProperty);
    }
    return previous ? CallWindowProcW(previous, field, message, wParam, lParam)
                    : DefWindowProcW(field, message, wParam, lParam);
}

LRESULT CALLBACK TimeFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"高级配置", static_cast<LRESULT>(0),
                   [&] { return TimeFieldProcBody(field, message, wParam, lParam); });
}

void InstallTimeFilter(HWND field)
{
    if (!field)
        return;
    LONG_PTR previous = GetWindowLongPtrW(field, GWLP_WNDPROC);
    SetPropW(field, kProcProperty, reinterpret_cast<HANDLE>(previous));
    SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TimeFieldProc));
}

// The pages of the per-program settings. Their controls are the dialog's own
// children, shown and hidden with their page, so that every id stays reachable
// through GetDlgItem(dialog, id).
enum Page { kStartPage, kRecoveryPage, kHealthPage, kPageCount };

const wchar_t* const kPageTitles[kPageCount] = {L"启动", L"恢复", L"健康检查"};
const int kPageTextBases[kPageCount] = {IDC_START_TEXTS, IDC_RECOVERY_TEXTS, IDC_HEALTH_TEXTS};

// The page a control lies on; -1 for one above the pages.
int PageOf(int id)
{
    switch (id) {
    case IDC_COMMAND:
    case IDC_MESSAGE:
    case IDC_PARAMETERS:
        return kStartPage;
    case IDC_STABLE_TIME:
    case IDC_BACKOFF_MAX:
    case IDC_KEEP_PLACEMENT:
    case IDC_MEMORY_LIMIT:
    case IDC_MEMORY_CYCLES:
        return kRecoveryPage;
    case IDC_HEARTBEAT_FILE:
    case IDC_HEARTBEAT_TIME:
    case IDC_HEALTH_URL:
    case IDC_CPU_LIMIT:
    case IDC_CPU_CYCLES:
    case IDC_HEALTH_GRACE:
    case IDC_HEALTH_CYCLES:
        return kHealthPage;
    default:
        break;
    }
    for (int page = 0; page < kPageCount; ++page) {
        if (id > kPageTextBases[page] && id < kPageTextBases[page] + 100)
            return page;
    }
    return -1;
}

int ShownPage(HWND dialog)
{
    return static_cast<int>(SendDlgItemMessageW(dialog, IDC_PAGES, TCM_GETCURSEL, 0, 0));
}

// Shows the controls of the page the tabs have selected and hides the others.
// A focused control that goes hands the focus to the tabs: hidden, it would
// take the keys unseen.
void ShowSelectedPage(HWND dialog)
{
    int shown = ShownPage(dialog);
    HWND focus = GetFocus();
    for (HWND control = GetWindow(dialog, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        int page = PageOf(GetDlgCtrlID(control));
        if (page < 0)
            continue;
        if (page != shown && control == focus)
            SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_PAGES)), TRUE);
        ShowWindow(control, page == shown ? SW_SHOWNA : SW_HIDE);
    }
}

void SelectPage(HWND dialog, int page)
{
    if (page == ShownPage(dialog))
        return;
    SendDlgItemMessageW(dialog, IDC_PAGES, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
    ShowSelectedPage(dialog);
}

void AddPages(HWND dialog)
{
    HWND tabs = GetDlgItem(dialog, IDC_PAGES);
    for (int page = 0; page < kPageCount; ++page) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(kPageTitles[page]);
        SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(page), reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(tabs, TCM_SETCURSEL, kStartPage, 0);
    ShowSelectedPage(dialog);
}

// Ctrl+Tab and Ctrl+Shift+Tab (and Ctrl+PageDown, Ctrl+PageUp) turn the
// pages from any control, as in a property sheet. The modal loop hands its
// messages to this filter before the dialog manager sees them.
HWND g_pagedDialog = nullptr;
HHOOK g_pageKeysHook = nullptr;

bool TurnPageByKey(const MSG& message)
{
    if (message.message != WM_KEYDOWN || GetKeyState(VK_CONTROL) >= 0 || !g_pagedDialog ||
        (message.hwnd != g_pagedDialog && !IsChild(g_pagedDialog, message.hwnd)))
        return false;
    int step = 0;
    if (message.wParam == VK_TAB)
        step = GetKeyState(VK_SHIFT) < 0 ? kPageCount - 1 : 1;
    else if (message.wParam == VK_NEXT)
        step = 1;
    else if (message.wParam == VK_PRIOR)
        step = kPageCount - 1;
    if (step == 0)
        return false;
    SelectPage(g_pagedDialog, (ShownPage(g_pagedDialog) + step) % kPageCount);
    return true;
}

LRESULT CALLBACK PageKeysFilter(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == MSGF_DIALOGBOX) {
        bool turned = Guarded(L"高级配置", false, [&] { return TurnPageByKey(*reinterpret_cast<const MSG*>(lParam)); });
        if (turned)
            return TRUE;
    }
    return CallNextHookEx(g_pageKeysHook, code, wParam, lParam);
}

// The program whose fields the lower group shows, kept apart from the combo
// box's selection: a selection changed from the keyboard must not send one
// program's fields to another.
long long ShownProgram(HWND dialog)
{
    return static_cast<long long>(GetWindowLongPtrW(dialog, DWLP_USER)) - 1;
}

void SetShownProgram(HWND dialog, long long index)
{
    SetWindowLongPtrW(dialog, DWLP_USER, static_cast<LONG_PTR>(index + 1));
}

bool IsProgramIndex(long long index)
{
    return index >= 0 && static_cast<size_t>(index) < g_programCount;
}

void ShowProgramFields(HWND dialog, long long index)
{
    ProgramView view;
    if (!IsProgramIndex(index) || !CopyProgram(static_cast<size_t>(index), &view))
        return;
    SetDlgItemInt(dialog, IDC_MESSAGE, view.messageValue, FALSE);
    SetField(dialog, IDC_COMMAND, view.command);
    SetField(dialog, IDC_PARAMETERS, view.parameters);
    SetField(dialog, IDC_PROGRAM_PATH, view.path);
    SetDlgItemInt(dialog, IDC_STABLE_TIME, view.recovery.stableSeconds, FALSE);
    SetDlgItemInt(dialog, IDC_BACKOFF_MAX, view.recovery.backoffCapSeconds, FALSE);
    SetDlgItemInt(dialog, IDC_MEMORY_LIMIT, view.recovery.memoryLimitMb, FALSE);
    SetDlgItemInt(dialog, IDC_MEMORY_CYCLES, view.recovery.memoryCycles, FALSE);
    SetBoxChecked(dialog, IDC_KEEP_PLACEMENT, view.recovery.keepPlacement);
    SetField(dialog, IDC_HEARTBEAT_FILE, view.health.heartbeatFile);
    SetDlgItemInt(dialog, IDC_HEARTBEAT_TIME, view.health.heartbeatSeconds, FALSE);
    SetField(dialog, IDC_HEALTH_URL, view.health.healthUrl);
    SetDlgItemInt(dialog, IDC_CPU_LIMIT, view.health.cpuLimitPercent, FALSE);
    SetDlgItemInt(dialog, IDC_CPU_CYCLES, view.health.cpuCycles, FALSE);
    SetDlgItemInt(dialog, IDC_HEALTH_GRACE, view.health.graceSeconds, FALSE);
    SetDlgItemInt(dialog, IDC_HEALTH_CYCLES, view.health.failureCycles, FALSE);
    SetShownProgram(dialog, index);
}

// A number field's value; an emptied field keeps the value it had.
DWORD NumberField(HWND dialog, int id, DWORD kept)
{
    BOOL read = FALSE;
    UINT value = GetDlgItemInt(dialog, id, &read, FALSE);
    return read ? value : kept;
}

// A period or hang grace field as the engine will read it, so that the file
// holds only what the engine uses: a number past the longest time, even one
// too long to read, is the longest; an emptied field or 0 is 5 s.
DWORD EngineSecondsField(HWND dialog, int id)
{
    BOOL read = FALSE;
    UINT value = GetDlgItemInt(dialog, id, &read, FALSE);
    if (!read) {
        CStrW text = FieldText(dialog, id);
        bool digits = !text.IsEmpty() && wcsspn(text.c_str(), L"0123456789") == text.Length();
        return digits ? kLongestSeconds : kEngineFallbackSeconds;
    }
    if (value < 1)
        return kEngineFallbackSeconds;
    return value < kLongestSeconds ? value : kLongestSeconds;
}

RecoverySettings RecoveryFields(HWND dialog, const RecoverySettings& kept)
{
    RecoverySettings r;
    r.stableSeconds = NumberField(dialog, IDC_STABLE_TIME, kept.stableSeconds);
    r.backoffCapSeconds = NumberField(dialog, IDC_BACKOFF_MAX, kept.backoffCapSeconds);
    r.memoryLimitMb = NumberField(dialog, IDC_MEMORY_LIMIT, kept.memoryLimitMb);
    r.memoryCycles = NumberField(dialog, IDC_MEMORY_CYCLES, kept.memoryCycles);
    r.keepPlacement = IsBoxChecked(dialog, IDC_KEEP_PLACEMENT);
    return RecoveryInRange(r);
}

// An emptied path or address is stored empty: that check is off.
HealthSettings HealthFields(HWND dialog, const HealthSettings& kept)
{
    HealthSettings h;
    h.heartbeatFile = FieldText(dialog, IDC_HEARTBEAT_FILE);
    h.heartbeatSeconds = NumberField(dialog, IDC_HEARTBEAT_TIME, kept.heartbeatSeconds);
    h.healthUrl = FieldText(dialog, IDC_HEALTH_URL);
    h.cpuLimitPercent = NumberField(dialog, IDC_CPU_LIMIT, kept.cpuLimitPercent);
    h.cpuCycles = NumberField(dialog, IDC_CPU_CYCLES, kept.cpuCycles);
    h.graceSeconds = NumberField(dialog, IDC_HEALTH_GRACE, kept.graceSeconds);
    h.failureCycles = NumberField(dialog, IDC_HEALTH_CYCLES, kept.failureCycles);
    return HealthInRange(h);
}

void TakeProgramFields(HWND dialog)
{
    long long index = ShownProgram(dialog);
    if (!IsProgramIndex(index))
        return;
    DWORD messageValue = GetDlgItemInt(dialog, IDC_MESSAGE, nullptr, FALSE);
    CStrW command = FieldText(dialog, IDC_COMMAND);
    CStrW parameters = FieldText(dialog, IDC_PARAMETERS);
    ReplaceAll(parameters, L"\r\n", kLineBreakMarker);
    SetProgramSettings(static_cast<size_t>(index), command, messageValue, parameters);
    ProgramView view;
    if (!CopyProgram(static_cast<size_t>(index), &view))
        return;
    SetProgramRecovery(static_cast<size_t>(index), RecoveryFields(dialog, view.recovery));
    HealthSettings health = HealthFields(dialog, view.health);
    SetProgramHealth(static_cast<size_t>(index), health);
}

void SetBoxFromConfig(HWND dialog, int id, const char* key)
{
    SetBoxChecked(dialog, id, g_config.GetInt(0, key, 0) != 0);
}

void FillProgramBox(HWND dialog)
{
    HWND box = GetDlgItem(dialog, IDC_PROGRAM);
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        CStrW entry;
        AppendText(entry, view.name);
        entry.AppendChars(L"|", 0);
        AppendText(entry, view.title);
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageW(box, CB_SETCURSEL, 0, 0);
}

void OnInitDialog(HWND dialog)
{
    SetShownProgram(dialog, -1);
    AddPages(dialog);
    g_pagedDialog = dialog;
    g_pageKeysHook = SetWindowsHookExW(WH_MSGFILTER, PageKeysFilter, nullptr, GetCurrentThreadId());
    InstallTimeFilter(GetDlgItem(dialog, IDC_RUN_TIME));
    InstallTimeFilter(GetDlgItem(dialog, IDC_CLOSE_TIME));
    SetDlgItemTextW(dialog, IDC_PROGRAM_PATH, L"");
    SendDlgItemMessageW(dialog, IDC_MONITOR_TIME, EM_LIMITTEXT, kEngineSecondsDigits, 0);
    SendDlgItemMessageW(dialog, IDC_UNRESPONSE_TIME, EM_LIMITTEXT, kEngineSecondsDigits, 0);
    // The values the engine will use, so that closing the dialog unchanged
    // keeps them (an absent or zero grace is 5 s to the engine).
    SetDlgItemInt(dialog, IDC_MONITOR_TIME,
                  static_cast<UINT>(PeriodFromSetting(g_config.GetInt(0, "monitortime", 5)) / 1000), FALSE);
    SetDlgItemInt(dialog, IDC_UNRESPONSE_TIME,
                  static_cast<UINT>(GraceFromSetting(g_config.GetInt(0, "unresponsetime", 5)) / 1000), FALSE);
    SetField(dialog, IDC_RUN_TIME, RightChars(g_config.GetDailyRunTime(), 8));
    SetField(dialog, IDC_CLOSE_TIME, RightChars(g_config.GetDailyCloseTime(), 8));
    SetBoxFromConfig(dialog, IDC_ONCE_RUN, "timingruncheck");
    SetBoxFromConfig(dialog, IDC_DAILY_RUN, "timingruncheck_everyday");
    SetBoxFromConfig(dialog, IDC_ONCE_CLOSE, "timingclosecheck");
    SetBoxFromConfig(dialog, IDC_DAILY_CLOSE, "timingclosecheck_everyday");
    FillProgramBox(dialog);
    ShowProgramFields(dialog, 0);
}

void StoreText(size_t entry, const char* key, const CStrW& text)
{
    // An emptied field is stored empty too, or the old value would come back
    // at the next start.
    g_config.SetText(entry, key, ToNarrow(text));
}

void OnCloseDialog(HWND dialog)
{
    TakeProgramFields(dialog);
    g_config.SetInt(0, "monitortime", EngineSecondsField(dialog, IDC_MONITOR_TIME));
    g_config.SetInt(0, "unresponsetime", EngineSecondsField(dialog, IDC_UNRESPONSE_TIME));
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        g_config.SetInt(i + 1, "message", view.messageValue);
        StoreText(i + 1, "command", view.command);
        StoreText(i + 1, "arg", view.parameters);
        WriteRecoveryKeys(i + 1, view.recovery);
        WriteHealthKeys(i + 1, view.health);
    }
    g_config.Save();
    EndDialog(dialog, 0);
}

// A time field left after the user changed it; a field the focus only passed
// through arms nothing.
bool TimeFieldChanged(HWND dialog, int id)
{
    HWND field = GetDlgItem(dialog, id);
    if (!SendMessageW(field, EM_GETMODIFY, 0, 0))
        return false;
    SendMessageW(field, EM_SETMODIFY, FALSE, 0);
    return GetWindowTextLengthW(field) > 0;
}

// A control of a hidden page that takes the focus anyway (a mnemonic, a
// program's WM_NEXTDLGCTL) brings its page up.
bool ShowPageOfFocus(HWND dialog, int id, UINT code)
{
    bool focused = code == EN_SETFOCUS || (id == IDC_KEEP_PLACEMENT && code == BN_SETFOCUS);
    int page = PageOf(id);
    if (!focused || page < 0)
        return false;
    SelectPage(dialog, page);
    return true;
}

bool OnDialogCommand(HWND dialog, int id, UINT code)
{
    if (ShowPageOfFocus(dialog, id, code))
        return true;
    switch (id) {
    case IDC_CLOSE_TIME:
        if (code != EN_KILLFOCUS)
            return false;
        if (TimeFieldChanged(dialog, id))
            ApplyFormOutcome(dialog, g_scheduler.OnCloseTimeEdited(ScheduleFormOf(dialog)));
        return true;
    case IDC_RUN_TIME:
        if (code != EN_KILLFOCUS)
            return false;
        if (TimeFieldChanged(dialog, id))
            ApplyFormOutcome(dialog, g_scheduler.OnRunTimeEdited(ScheduleFormOf(dialog)));
        return true;
    case IDC_ONCE_RUN:
        ApplyFormOutcome(dialog, g_scheduler.OnOnceRunBox(ScheduleFormOf(dialog)));
        return true;
    case IDC_ONCE_CLOSE:
        ApplyFormOutcome(dialog, g_scheduler.OnOnceCloseBox(ScheduleFormOf(dialog)));
        return true;
    case IDC_DAILY_RUN:
        ApplyFormOutcome(dialog, g_scheduler.OnDailyRunBox(ScheduleFormOf(dialog)));
        return true;
    case IDC_DAILY_CLOSE:
        ApplyFormOutcome(dialog, g_scheduler.OnDailyCloseBox(ScheduleFormOf(dialog)));
        return true;
    case IDC_PROGRAM:
        if (code == CBN_DROPDOWN) {
            TakeProgramFields(dialog);
            return true;
        }
        if (code == CBN_SELENDOK || code == CBN_SELCHANGE) {
            long long selected = static_cast<long long>(SendDlgItemMessageW(dialog, IDC_PROGRAM, CB_GETCURSEL, 0, 0));
            if (selected != ShownProgram(dialog) && IsProgramIndex(selected)) {
                TakeProgramFields(dialog);
                ShowProgramFields(dialog, selected);
            }
            return true;
        }
        return false;
    default:
        return false;
    }
}

} // namespace

INT_PTR CALLBACK CSettingsDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"高级配置", static_cast<INT_PTR>(TRUE), [&]() -> INT_PTR {
        switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(dialog);
            return TRUE;
        case WM_COMMAND:
            return OnDialogCommand(dialog, LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_NOTIFY: {
            const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom != IDC_PAGES || header->code != TCN_SELCHANGE)
                return FALSE;
            ShowSelectedPage(dialog);
            return TRUE;
        }
        case WM_CLOSE:
            OnCloseDialog(dialog);
            return TRUE;
        case WM_DESTROY:
            if (g_pageKeysHook)
                UnhookWindowsHookEx(g_pageKeysHook);
            g_pageKeysHook = nullptr;
            g_pagedDialog = nullptr;
            return FALSE;
        default:
            return FALSE;
        }
    });
}

void OpenSettingsDialog()
{
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), g_mainWindow, CSettingsDialog, 0);
}

} // namespace tw
