// The main window's controls as the page builder makes them, on a hidden
// stand-in main window.
#include "monitor/error_log.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "ui/pages.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring TextOf(HWND window)
{
    wchar_t text[128] = {0};
    GetWindowTextW(window, text, 128);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {0};
    GetClassNameW(window, name, 64);
    return name;
}

DWORD StyleOf(HWND window)
{
    return static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
}

RECT PlaceOf(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void ExpectPlace(HWND window, int x, int y, int width, int height)
{
    RECT r = PlaceOf(window);
    EXPECT_EQ(r.left, x) << GetDlgCtrlID(window);
    EXPECT_EQ(r.top, y) << GetDlgCtrlID(window);
    EXPECT_EQ(r.right - r.left, width) << GetDlgCtrlID(window);
    EXPECT_EQ(r.bottom - r.top, height) << GetDlgCtrlID(window);
}

std::wstring MenuText(HMENU menu, int position)
{
    wchar_t text[64] = {0};
    GetMenuStringW(menu, static_cast<UINT>(position), text, 64, MF_BYPOSITION);
    return text;
}

// Built once: the page classes and the list wrappers live for the process.
class PagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&icc);
        main = CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        tw::g_mainWindow = main;
        tw::BuildMainControls(main);
    }
    static void TearDownTestSuite()
    {
        tw::g_errorLog.SetListView(nullptr);
        tw::g_programListView = nullptr;
        tw::g_mainWindow = nullptr;
        DestroyWindow(main);
    }

    static HWND Tab() { return GetDlgItem(main, tw::kIdTab); }
    static HWND Panel() { return GetDlgItem(Tab(), tw::kIdSettingsPanel); }

    static HWND main;
};

HWND PagesTest::main = nullptr;

} // namespace

TEST_F(PagesTest, TheMainControlsStandWhereTheyShould)
{
    HWND picker = GetDlgItem(main, tw::kIdPicker);
    EXPECT_EQ(ClassOf(picker), L"control_static");
    EXPECT_EQ(StyleOf(picker), 0x50800100u);
    ExpectPlace(picker, 8, 21, 34, 34);
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetWindowLongPtrW(picker, GWLP_USERDATA)), tw::g_finderCursor);
    EXPECT_NE(tw::g_finderCursor, nullptr);

    const struct {
        int id;
        const wchar_t* cls;
        const wchar_t* text;
        DWORD style;
        int x, y, w, h;
    } controls[] = {
        {tw::kIdStatus, L"ss", L"未开启监控", 0x50000200, 149, 6, 62, 32},
        {tw::kIdUptime, L"ss", L"已监控：0天 00:00:00", 0x50000200, 213, 6, 150, 32},
        {tw::kIdHint, L"ss", L"如果检测到程序未运行,将自动运行", 0x50000200, 149, 37, 214, 32},
        {tw::kIdStartMonitoring, L"Button", L"开始监控程序", 0x50000002, 53, 6, 94, 32},
        {tw::kIdWatchRunning, L"Button", L"监视运行状态", 0x50000003, 53, 37, 94, 32},
        {tw::kIdTab, L"control_tab", L"", 0x50004000, 0, 72, 362, 232},
    };
    for (const auto& c : controls) {
        HWND window = GetDlgItem(main, c.id);
        ASSERT_NE(window, nullptr) << c.id;
        EXPECT_EQ(_wcsicmp(ClassOf(window).c_str(), c.cls), 0) << c.id;
        EXPECT_EQ(TextOf(window), c.text) << c.id;
        // The tab control adds WS_CLIPSIBLINGS to itself, as on Windows.
        EXPECT_EQ(StyleOf(window) & ~WS_CLIPSIBLINGS, c.style) << c.id;
        ExpectPlace(window, c.x, c.y, c.w, c.h);
    }
    EXPECT_EQ(reinterpret_cast<INT_PTR>(GetPropW(GetDlgItem(main, tw::kIdHint), L"crText")), 0x0000FF);
    EXPECT_EQ(GetPropW(GetDlgItem(main, tw::kIdStatus), L"crText"), nullptr);
}

TEST_F(PagesTest, FiveTabsCarryTheirPages)
{
    const struct {
        const wchar_t* text;
        int pageId;
    } tabs[] = {{L"监控窗口", tw::kIdInfoPanel},
                {L"需要监控的窗口", tw::kIdProgramList},
                {L"错误报告", tw::kIdErrorList},
                {L"定时信息", tw::kIdTimingText},
                {L"程序配置", tw::kIdSettingsPanel}};
    ASSERT_EQ(SendMessageW(Tab(), TCM_GETITEMCOUNT, 0, 0), 5);
    for (int i = 0; i < 5; ++i) {
        wchar_t text[64] = {0};
        TCITEMW item = {};
        item.mask = TCIF_TEXT | TCIF_PARAM;
        item.pszText = text;
        item.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(Tab(), TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item)));
        EXPECT_STREQ(text, tabs[i].text);
        HWND page = reinterpret_cast<HWND>(item.lParam);
        EXPECT_EQ(GetDlgCtrlID(page), tabs[i].pageId);
        EXPECT_EQ(GetParent(page), Tab());
        ExpectPlace(page, 1, 21, 360, 210);
    }
    HWND info = GetDlgItem(Tab(), tw::kIdInfoPanel);
    EXPECT_EQ(StyleOf(info) & ~WS_VISIBLE, 0x40a01844u);
    EXPECT_TRUE(GetWindowLongW(info, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(StyleOf(Panel()) & ~WS_VISIBLE, 0x40800000u);
    EXPECT_EQ(tw::g_programListView, GetDlgItem(Tab(), tw::kIdProgramList));
}

TEST_F(PagesTest, SwitchingShowsOnlyTheSelectedPage)
{
    tw::SelectPage(Tab(), 1);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(Tab(), tw::kIdProgramList)) || !IsWindowVisible(main));
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdProgramList), GWL_STYLE) & WS_VISIBLE);
    // A click on tab 4: the tab control tells the main window before and after.
    EXPECT_EQ(tw::OnPageCommand(Tab(), static_cast<UINT>(TCN_SELCHANGING), tw::kIdTab), 1);
    SendMessageW(Tab(), TCM_SETCURSEL, 4, 0);
    EXPECT_EQ(tw::OnPageCommand(Tab(), static_cast<UINT>(TCN_SELCHANGE), tw::kIdTab), 1);
    EXPECT_FALSE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdProgramList), GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(GetWindowLongW(Panel(), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(tw::TabPage(Tab(), 7), nullptr);
}

TEST_F(PagesTest, TheListsHaveTheirColumns)
{
    const struct {
        int id;
        int widths[4];
        const wchar_t* texts[4];
        int count;
    } lists[] = {{tw::kIdProgramList, {40, 75, 110, 110}, {L"ID", L"窗口句柄", L"窗口标题", L"进程名字"}, 4},
                 {tw::kIdErrorList, {40, 75, 220, 0}, {L"ID", L"错误时间", L"错误报告", nullptr}, 3}};
    for (const auto& l : lists) {
        HWND list = GetDlgItem(Tab(), l.id);
        EXPECT_EQ(StyleOf(list) & ~WS_VISIBLE, 0x40801009u);
        HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
        ASSERT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), l.count);
        for (int i = 0; i < l.count; ++i) {
            EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(i), 0), l.widths[i]);
            wchar_t text[32] = {0};
            LVCOLUMNW column = {};
            column.mask = LVCF_TEXT;
            column.pszText = text;
            column.cchTextMax = 32;
            SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
            EXPECT_STREQ(text, l.texts[i]);
        }
    }
}

TEST_F(PagesTest, TheErrorListCountsTheLog)
{
    tw::g_errorLog.ResetForTest();
    tw::g_errorLog.SetListView(GetDlgItem(Tab(), tw::kIdErrorList));
    tw::g_errorLog.Add(L"one");
    tw::g_errorLog.Add(L"two");
    EXPECT_EQ(SendMessageW(GetDlgItem(Tab(), tw::kIdErrorList), LVM_GETITEMCOUNT, 0, 0), 2);
    // Painting the rows reads the log; it must not throw or crash.
    tw::SelectPage(Tab(), 2);
    ShowWindow(main, SW_SHOWNA);
    UpdateWindow(GetDlgItem(Tab(), tw::kIdErrorList));
    ShowWindow(main, SW_HIDE);
    tw::g_errorLog.ResetForTest();
    tw::g_errorLog.SetListView(GetDlgItem(Tab(), tw::kIdErrorList));
}

TEST_F(PagesTest, TheSettingsPanelHoldsItsControls)
{
    const struct {
        int id;
        const wchar_t* text;
        int x, y, w, h;
    } boxes[] = {{tw::kIdCloseApp, L"关闭本程序时同时关闭监控程序", 24, 16, 200, 20},
                 {tw::kIdAutoStartMonitor, L"本程序运行后自动开启监控", 24, 40, 176, 20},
                 {tw::kIdBootStart, L"开机启动,请给权限写入注册表,否则开机启动将失效", 24, 63, 312, 20},
                 {tw::kIdAutoReboot, L"开启后每天到指定时间就重启电脑", 24, 88, 216, 20},
                 {tw::kIdHideTray, L"点击关闭按钮时隐藏到托盘", 24, 138, 182, 24}};
    for (const auto& b : boxes) {
        HWND box = GetDlgItem(Panel(), b.id);
        ASSERT_NE(box, nullptr) << b.id;
        EXPECT_EQ(TextOf(box), b.text);
        EXPECT_EQ(StyleOf(box), 0x50000003u);
        ExpectPlace(box, b.x, b.y, b.w, b.h);
    }
    const int edits[][2] = {{tw::kIdRebootHours, 88}, {tw::kIdRebootMinutes, 132}, {tw::kIdRebootSeconds, 174}};
    for (const auto& e : edits) {
        HWND edit = GetDlgItem(Panel(), e[0]);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(StyleOf(edit), 0x50002000u);
        ExpectPlace(edit, e[1], 112, 30, 24);
    }
    HWND more = GetDlgItem(Panel(), tw::kIdMoreSettings);
    EXPECT_EQ(ClassOf(more), L"bs");
    EXPECT_EQ(TextOf(more), L"更多配置");
    EXPECT_EQ(StyleOf(more), 0x50000000u);
    ExpectPlace(more, 80, 168, 160, 32);
    EXPECT_EQ(GetWindowLongPtrW(more, tw::kWindowObjectIndex), 0) << "no wrapper stays bound";
}

TEST_F(PagesTest, ThePopupMenusHoldTheirCommands)
{
    HMENU errors = tw::g_popupMenus[tw::kMenuErrorList];
    ASSERT_EQ(GetMenuItemCount(errors), 2);
    EXPECT_EQ(GetMenuItemID(errors, 0), static_cast<UINT>(tw::kCmdExportLog));
    EXPECT_EQ(MenuText(errors, 0), L"&P.导出日志");
    EXPECT_EQ(GetMenuItemID(errors, 1), static_cast<UINT>(tw::kCmdOpenLogFolder));
    EXPECT_EQ(MenuText(errors, 1), L"打开日志文件夹");

    HMENU programs = tw::g_popupMenus[tw::kMenuProgramList];
    ASSERT_EQ(GetMenuItemCount(programs), 4);
    EXPECT_EQ(GetMenuItemID(programs, 0), static_cast<UINT>(tw::kCmdMarkWindow));
    EXPECT_EQ(GetMenuItemID(programs, 1), static_cast<UINT>(tw::kCmdDeleteOne));
    EXPECT_EQ(GetMenuState(programs, 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(GetMenuItemID(programs, 3), static_cast<UINT>(tw::kCmdDeleteAll));
    EXPECT_EQ(MenuText(programs, 3), L"&A.删除全部");

    HMENU tray = tw::g_popupMenus[tw::kMenuTray];
    ASSERT_EQ(GetMenuItemCount(tray), 2);
    EXPECT_EQ(MenuText(tray, 0), L"&M.主界面");
    EXPECT_EQ(GetMenuItemID(tray, 1), static_cast<UINT>(tw::kCmdQuit));
}
