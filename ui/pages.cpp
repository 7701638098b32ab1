#include "ui/pages.h"

#include "core/guard.h"
#include "ui/monitor_command.h"
#include "ui/picker.h"

#include "monitor/backoff.h"
#include "monitor/health_check.h"
#include "monitor/error_log.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"

#include <commctrl.h>

namespace tw {

CListView g_programList;
CListView g_errorList;
HMENU g_popupMenus[3] = {};
HCURSOR g_finderCursor = nullptr;

namespace {

WNDPROC g_staticProc = nullptr;
WNDPROC g_tabProc = nullptr;
HFONT g_mainFont = nullptr;

constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE | SS_CENTERIMAGE;
constexpr DWORD kCheckStyle = WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX;
constexpr DWORD kPageEditStyle =
    WS_CHILD | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | ES_WANTRETURN;
constexpr DWORD kTimeEditStyle = WS_CHILD | WS_VISIBLE | ES_NUMBER;

HINSTANCE Instance()
{
    return GetModuleHandleW(nullptr);
}

LRESULT TabProcBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT PickerProcBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PickerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void RegisterPageClasses()
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    GetClassInfoExW(Instance(), L"static", &wc);
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    g_staticProc = wc.lpfnWndProc;
    wc.lpfnWndProc = PickerProc;
    wc.cbClsExtra = 20;
    wc.cbWndExtra = 20;
    wc.hInstance = Instance();
    wc.lpszClassName = L"control_static";
    RegisterClassExW(&wc);

    wc = {};
    wc.cbSize = sizeof(wc);
    GetClassInfoExW(Instance(), WC_TABCONTROLW, &wc);
    wc.cbSize = sizeof(wc);
    g_tabProc = wc.lpfnWndProc;
    wc.lpfnWndProc = TabProc;
    wc.hInstance = Instance();
    wc.lpszClassName = L"control_tab";
    RegisterClassExW(&wc);
}

LRESULT CALLBACK PickerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"窗口选择", static_cast<LRESULT>(0),
                   [&] { return PickerProcBody(window, message, wParam, lParam); });
}

LRESULT CALLBACK TabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Guarded(L"页面", static_cast<LRESULT>(0), [&] { return TabProcBody(window, message, wParam, lParam); });
}

constexpr int kSeparator = -1;

void BuildMenus()
{
    HMENU bar = CreateMenu();
    const struct {
        const wchar_t* title;
        const struct {
            int id;
            const wchar_t* text;
        } items[4];
    } menus[3] = {
        {L"错误列表框菜单", {{kCmdExportLog, L"&P.导出日志"}, {kCmdOpenLogFolder, L"打开日志文件夹"}}},
        {L"监控列表菜单",
         {{kCmdMarkWindow, L"&B.标记窗口"},
          {kCmdDeleteOne, L"&D.删除该项"},
          {kSeparator, nullptr},
          {kCmdDeleteAll, L"&A.删除全部"}}},
        {L"托盘菜单", {{kCmdShowMain, L"&M.主界面"}, {kCmdQuit, L"&Q.退出"}}},
    };
    for (int m = 0; m < 3; ++m) {
        HMENU popup = CreatePopupMenu();
        for (const auto& item : menus[m].items) {
            if (item.id == kSeparator)
                AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
            else if (item.text)
                AppendMenuW(popup, MF_STRING, static_cast<UINT_PTR>(item.id), item.text);
        }
        AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), menus[m].title);
        g_popupMenus[m] = popup;
    }
}

void InsertTab(HWND tab, int index, const wchar_t* text, HWND page)
{
    TCITEMW item = {};
    item.mask = TCIF_TEXT | TCIF_PARAM;
    item.pszText = const_cast<wchar_t*>(text);
    item.lParam = reinterpret_cast<LPARAM>(page);
    SendMessageW(tab, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

void InsertColumns(HWND list, const wchar_t* const* texts, const int* widths, int count)
{
    for (int i = 0; i < count; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_WIDTH | LVCF_TEXT;
        column.cx = widths[i];
        column.pszText = const_cast<wchar_t*>(texts[i]);
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
}

HMENU Id(int id)
{
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

// The texts of one row's cells, copies of the row's own data.
struct RowTexts {
    CStrW cells[4];
    COLORREF colour;
    bool useColour;
};

bool ReadRow(int listId, size_t row, RowTexts* out)
{
    out->cells[0].Format(L"%lld", static_cast<long long>(row) + 1);
    if (listId == kIdProgramList) {
        ProgramView view;
        if (!CopyProgram(row, &view))
            return false;
        out->cells[1].Format(L"%lld", static_cast<long long>(reinterpret_cast<INT_PTR>(view.window)));
        // A program whose restart is held back shows the wait where its
        // window's title would be: it has no window then. A failing health
        // check shows there too.
        CStrW state = RestartStateText(view);
        if (state.IsEmpty())
            state = FailingCheckText(view);
        out->cells[2] = state.IsEmpty() ? static_cast<CStrW&&>(view.title) : static_cast<CStrW&&>(state);
        out->cells[3] = static_cast<CStrW&&>(view.name);
        out->colour = view.rowColour;
        out->useColour = true;
        return true;
    }
    CStrW time;
    CStrW text;
    if (!g_errorLog.ReadRow(row, &out->cells[0], &time, &text))
        return false;
    out->cells[1] = static_cast<CStrW&&>(time);
    out->cells[2] = text;
    out->cells[3] = static_cast<CStrW&&>(text);
    out->useColour = false;
    return true;
}

void PaintRow(NMLVCUSTOMDRAW* draw, int listId)
{
    HWND list = draw->nmcd.hdr.hwndFrom;
    size_t row = static_cast<size_t>(draw->nmcd.dwItemSpec);
    bool selected = SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED;
    bool grey = selected || (draw->nmcd.uItemState & (CDIS_HOT | CDIS_FOCUS));
    HBRUSH brush = CreateSolidBrush(grey ? 0x808080 : 0xFFFFFF);
    FillRect(draw->nmcd.hdc, &draw->nmcd.rc, brush);
    DeleteObject(brush);
    SetBkMode(draw->nmcd.hdc, TRANSPARENT);
    RowTexts texts;
    if (!ReadRow(listId, row, &texts))
        return;
    if (texts.useColour)
        SetTextColor(draw->nmcd.hdc, texts.colour);
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    int x = -GetScrollPos(list, SB_HORZ);
    for (int column = 0; column < columns; ++column) {
        int width = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
        RECT cell = {x, draw->nmcd.rc.top, x + width, draw->nmcd.rc.bottom};
        x += width;
        const CStrW& text = texts.cells[column < 3 ? column : 3];
        bool centred = column < 2;
        if (!centred)
            cell.left += 5;
        DrawTextW(draw->nmcd.hdc, text.c_str(), -1, &cell, centred ? 0x8025u : 0x8024u);
    }
}

size_t RowCount(int listId)
{
    return listId == kIdProgramList ? g_programCount.load() : g_errorLog.RowCount();
}

LRESULT OnListNotify(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    int listId = header ? static_cast<int>(header->idFrom) : 0;
    if (listId != kIdProgramList && listId != kIdErrorList)
        return CallWindowProcW(base, window, message, wParam, lParam);
    switch (header->code) {
    case NM_CUSTOMDRAW: {
        auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(lParam);
        switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
        case CDDS_POSTPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_PREERASE:
        case CDDS_POSTERASE:
        case CDDS_ITEM:
        case CDDS_ITEMPREERASE:
        case CDDS_ITEMPOSTERASE:
            return CDRF_SKIPDEFAULT;
        case CDDS_ITEMPREPAINT:
            try {
                PaintRow(draw, listId);
            } catch (const IndexOutOfRange&) {
                // The count changed under the painter; the next paint catches up.
            }
            return CDRF_SKIPDEFAULT;
        default:
            return CDRF_NOTIFYITEMDRAW;
        }
    }
    case NM_RCLICK: {
        auto* item = reinterpret_cast<NMITEMACTIVATE*>(lParam);
        if (item->iItem >= 0 && static_cast<size_t>(item->iItem) < RowCount(listId))
            ShowPopupMenu(listId == kIdProgramList ? kMenuProgramList : kMenuErrorList);
        return 0;
    }
    case NM_CLICK:
        return 0;
    default:
        return CallWindowProcW(base, window, message, wParam, lParam);
    }
}

LRESULT TabProcBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NOTIFY:
        return OnListNotify(g_tabProc, window, message, wParam, lParam);
    case WM_COMMAND:
        if (RouteCommand(wParam, lParam))
            return 0;
        break;
    case WM_CTLCOLOREDIT:
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    default:
        break;
    }
    return CallWindowProcW(g_tabProc, window, message, wParam, lParam);
}

// One class serves the picker box and the settings panel, which routes its
// children's commands.
LRESULT PickerProcBody(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (GetDlgCtrlID(window) == kIdPicker)
        return PickerBoxProc(g_staticProc, window, message, wParam, lParam);
    if (message == WM_COMMAND && RouteCommand(wParam, lParam))
        return 0;
    return CallWindowProcW(g_staticProc, window, message, wParam, lParam);
}

void BuildSettingsPanel(HWND panel)
{
    CCheckBox check;
    CSs label;
    CEs edit;
    CBtn button;
    const wchar_t* checkClass = RegisterSuperclass(L"button", L"button");
    const wchar_t* labelClass = RegisterSuperclass(L"static", L"ss");
    const wchar_t* buttonClass = RegisterSuperclass(L"button", L"bs");
    auto box = [&](int id, const wchar_t* text, int x, int y, int w, int h) {
        check.Create(0, checkClass, text, kCheckStyle, x, y, w, h, panel, id, nullptr, nullptr);
    };
    auto time = [&](int id, int x) {
        edit.Create(WS_EX_CLIENTEDGE, L"edit", nullptr, kTimeEditStyle, x, 112, 30, 24, panel, id, nullptr, nullptr);
    };
    box(kIdCloseApp, L"关闭本程序时同时关闭监控程序", 24, 16, 200, 20);
    box(kIdAutoStartMonitor, L"本程序运行后自动开启监控", 24, 40, 176, 20);
    box(kIdSelfGuard, L"本程序意外退出时自动重启", 204, 40, 152, 20);
    box(kIdBootStart, L"开机启动,请给权限写入注册表,否则开机启动将失效", 24, 63, 312, 20);
    box(kIdAutoReboot, L"开启后每天到指定时间就重启电脑", 24, 88, 216, 20);
    label.Create(0, labelClass, L"重启时间：", kLabelStyle, 24, 112, 64, 24, panel, 0, nullptr, nullptr);
    label.Create(0, labelClass, L"：        ：", kLabelStyle, 119, 112, 61, 24, panel, 0, nullptr, nullptr);
    time(kIdRebootHours, 88);
    time(kIdRebootMinutes, 132);
    time(kIdRebootSeconds, 174);
    box(kIdHideTray, L"点击关闭按钮时隐藏到托盘", 24, 138, 182, 24);
    button.Create(0, buttonClass, L"更多配置", WS_CHILD | WS_VISIBLE, 80, 168, 160, 32, panel, kIdMoreSettings, nullptr,
                  nullptr);
}

// The box "监视运行状态" tells the engine its state whenever it changes (a
// click, the keyboard, BM_SETCHECK from this program or another), so that the
// monitor threads read a flag instead of sending the box a message each
// period.
LRESULT CALLBACK WatchRunningBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    return Guarded(L"监视运行状态", static_cast<LRESULT>(0), [&] {
        LRESULT result = DefSubclassProc(box, message, wParam, lParam);
        switch (message) {
        case BM_SETCHECK:
        case BM_CLICK:
        case WM_LBUTTONUP:
        case WM_KEYUP:
        case WM_CHAR:
            g_watchRunning = IsChecked(box);
            break;
        default:
            break;
        }
        return result;
    });
}

void MirrorWatchRunningBox(HWND box)
{
    SetWindowSubclass(box, WatchRunningBoxProc, 0, 0);
    g_watchRunning = IsChecked(box);
}

} // namespace

void BuildMainControls(HWND mainWindow)
{
    g_mainFont = MakeControlFont();
    RegisterPageClasses();
    g_finderCursor = LoadCursorW(Instance(), MAKEINTRESOURCEW(IDC_FINDER));
    BuildMenus();

    HWND picker = CreateWindowExW(0, L"control_static", nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER | SS_NOTIFY, 8, 21,
                                  34, 34, mainWindow, Id(kIdPicker), Instance(), nullptr);
    SetWindowLongPtrW(picker, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(g_finderCursor));
    SendMessageW(picker, WM_SETFONT, reinterpret_cast<WPARAM>(g_mainFont), FALSE);

    {
        CSs label;
        const wchar_t* labelClass = RegisterSuperclass(L"static", L"ss");
        label.Create(0, labelClass, L"未开启监控", kLabelStyle, 149, 6, 62, 32, mainWindow, kIdStatus, nullptr,
                     nullptr);
        label.Create(0, labelClass, L"已监控：0天 00:00:00", kLabelStyle, 213, 6, 150, 32, mainWindow, kIdUptime,
                     nullptr, nullptr);
        HWND hint = label.Create(0, labelClass, L"如果检测到程序未运行,将自动运行", kLabelStyle, 149, 37, 214, 32,
                                 mainWindow, kIdHint, nullptr, nullptr);
        SetPropW(hint, L"crText", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x0000FF)));

        CCheckBox check;
        const wchar_t* checkClass = RegisterSuperclass(L"button", L"button");
        check.Create(0, checkClass, L"开始监控程序", WS_CHILD | WS_VISIBLE | BS_CHECKBOX, 53, 6, 94, 32, mainWindow,
                     kIdStartMonitoring, nullptr, nullptr);
        check.Create(0, checkClass, L"监视运行状态", kCheckStyle, 53, 37, 94, 32, mainWindow, kIdWatchRunning, nullptr,
                     nullptr);
    }

    // The engine reports to the main window and reads and writes these two.
    g_engineWindow = mainWindow;
    MirrorWatchRunningBox(GetDlgItem(mainWindow, kIdWatchRunning));
    g_hintLine = GetDlgItem(mainWindow, kIdHint);

    HWND tab = CreateWindowExW(0, L"control_tab", nullptr, WS_CHILD | WS_VISIBLE | TCS_TOOLTIPS, 0, 72, 362, 232,
                               mainWindow, Id(kIdTab), Instance(), nullptr);
    SendMessageW(tab, WM_SETFONT, reinterpret_cast<WPARAM>(g_mainFont), FALSE);
    BuildPages(tab);
}

void BuildPages(HWND tab)
{
    CEs edit;
    edit.Create(WS_EX_CLIENTEDGE, L"edit", nullptr, kPageEditStyle, 1, 21, 360, 210, tab, kIdInfoPanel, nullptr,
                nullptr);
    InsertTab(tab, 0, L"监控窗口", edit.Handle());

    const wchar_t* programColumns[] = {L"ID", L"窗口句柄", L"窗口标题", L"进程名字"};
    const int programWidths[] = {40, 75, 110, 110};
    HWND programs = g_programList.CreateReport(tab, kIdProgramList);
    InsertColumns(programs, programColumns, programWidths, 4);
    InsertTab(tab, 1, L"需要监控的窗口", programs);
    g_programListView = programs;
    SetListItemCount(programs, g_programCount);

    const wchar_t* errorColumns[] = {L"ID", L"错误时间", L"错误报告"};
    const int errorWidths[] = {40, 75, 220};
    HWND errors = g_errorList.CreateReport(tab, kIdErrorList);
    InsertColumns(errors, errorColumns, errorWidths, 3);
    InsertTab(tab, 2, L"错误报告", errors);
    g_errorLog.SetListView(errors);

    edit.Create(WS_EX_CLIENTEDGE, L"edit", nullptr, kPageEditStyle, 1, 21, 360, 210, tab, kIdTimingText, nullptr,
                nullptr);
    InsertTab(tab, 3, L"定时信息", edit.Handle());

    HWND panel = CreateWindowExW(0, L"control_static", nullptr, WS_CHILD | WS_BORDER, 1, 21, 360, 210, tab,
                                 Id(kIdSettingsPanel), nullptr, nullptr);
    InsertTab(tab, 4, L"程序配置", panel);
    BuildSettingsPanel(panel);
}

void ShowPopupMenu(int index)
{
    if (index < 0 || index > 2 || !g_popupMenus[index])
        return;
    POINT cursor;
    GetCursorPos(&cursor);
    // The owner comes to the front first, or the menu would not close when
    // the user clicks elsewhere.
    SetForegroundWindow(g_mainWindow);
    TrackPopupMenu(g_popupMenus[index], TPM_LEFTBUTTON, cursor.x, cursor.y, 0, g_mainWindow, nullptr);
}

HWND SettingsPanel()
{
    return GetDlgItem(GetDlgItem(g_mainWindow, kIdTab), kIdSettingsPanel);
}

HWND TabPage(HWND tab, int index)
{
    TCITEMW item = {};
    item.mask = TCIF_PARAM;
    if (index < 0 || !SendMessageW(tab, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)))
        return nullptr;
    return reinterpret_cast<HWND>(item.lParam);
}

void SelectPage(HWND tab, int index)
{
    if (HWND current = TabPage(tab, static_cast<int>(SendMessageW(tab, TCM_GETCURSEL, 0, 0))))
        ShowWindow(current, SW_HIDE);
    SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (HWND page = TabPage(tab, index))
        ShowWindow(page, SW_SHOW);
}

} // namespace tw
