// The user interface on hidden windows: the window wrappers, the main window's pages as the page builder
// makes them, the scheduler's decisions carried out on them, the resources of the shipped Tollwick.exe, and
// the backstop task, as text and in the Task Scheduler.
#include "config/config.h"
#include "core/app_messages.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/test_support.h"
#include "ui/backstop_task.h"
#include "ui/commands.h"
#include "ui/monitor_command.h"
#include "ui/pages.h"
#include "ui/schedule_view.h"

#include "version.h"

#include <commctrl.h>
#include <taskschd.h>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using tw::g_config;
using tw::g_scheduler;
using tw::ScheduledAction;
using tw::TickOutcome;
using tw_test::HelperPath;
using tw_test::Utc8;

namespace {

// "id|class|text|style|x,y,width,height" in its parent's client area, without visibility and sibling clipping.
std::wstring Describe(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    wchar_t name[64] = {0}, text[128] = {0}, row[320];
    GetClassNameW(window, name, 64);
    GetWindowTextW(window, text, 128);
    DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & ~(WS_VISIBLE | WS_CLIPSIBLINGS);
    swprintf(row, 320, L"%d|%ls|%ls|%08lX|%ld,%ld,%ld,%ld", GetDlgCtrlID(window), name, text, style, r.left, r.top,
             r.right - r.left, r.bottom - r.top);
    return row;
}

// A label that remembers what its handlers saw.
class RecordingLabel : public tw::CSs {
public:
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_CREATE)
            createParam = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
        ++messages;
        return CSs::WndProc(base, window, message, wParam, lParam);
    }
    void* createParam = nullptr;
    int messages = 0;
};

LONG_PTR Bound(HWND window)
{
    return GetWindowLongPtrW(window, tw::kWindowObjectIndex);
}

} // namespace

// A superclass's wrapper is unbound when made again or destroyed; system classes are used as they are.
TEST(Window, SuperclassesBindTheirWrappersAndSystemClassesStayAsTheyAre)
{
    ASSERT_STREQ(tw::RegisterSuperclass(L"static", L"ss"), L"ss");
    EXPECT_STREQ(tw::RegisterSuperclass(L"button", L"button"), L"button");
    EXPECT_EQ(tw::RegisterSuperclass(L"static", nullptr), nullptr);
    HWND parent =
        CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);

    RecordingLabel label;
    int user = 42;
    HWND window = label.Create(0, L"ss", L"文本", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, 10200, nullptr, &user);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Bound(window), reinterpret_cast<LONG_PTR>(&label));
    EXPECT_EQ(label.createParam, &user) << "handlers see the caller's value, not the creation pair";
    EXPECT_EQ(Describe(window), L"10200|ss|文本|40000000|0,0,100,20") << "the base procedure still does the work";
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(tw::GetHoverState(window)->state * 10 + tw::GetHoverState(window)->tracking, 11);
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(tw::GetHoverState(window)->state, 2);
    SendMessageW(window, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(tw::GetHoverState(window)->state + tw::GetHoverState(window)->tracking, 0);

    HWND second = label.Create(0, L"ss", L"b", WS_CHILD, 0, 20, 50, 20, parent, 2, nullptr, nullptr);
    EXPECT_EQ(Bound(window), 0);
    EXPECT_EQ(Bound(second), reinterpret_cast<LONG_PTR>(&label));
    int before = label.messages;
    SetWindowTextW(window, L"still works");
    EXPECT_EQ(label.messages, before) << "the old window no longer reaches the wrapper";
    auto* gone = new tw::CSs;
    HWND third = gone->Create(0, L"ss", L"c", WS_CHILD, 0, 40, 50, 20, parent, 3, nullptr, nullptr);
    delete gone;
    EXPECT_EQ(Bound(third), 0) << "a destroyed wrapper unbinds its window";
    EXPECT_EQ(Bound(CreateWindowExW(0, L"ss", L"", WS_CHILD, 0, 0, 5, 5, parent, nullptr, nullptr, nullptr)), 0)
        << "a window made without a wrapper is a plain system control";

    tw::CCheckBox box;
    HWND check = box.Create(0, L"button", L"开始监控程序", WS_CHILD, 0, 0, 100, 20, parent, 10100, nullptr, nullptr);
    EXPECT_EQ(box.Handle(), check) << "system classes are never bound, but the handle is kept";
    LOGFONTW font = {};
    ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(check, WM_GETFONT, 0, 0)), sizeof(font), &font));
    EXPECT_STREQ(font.lfFaceName, L"微软雅黑");
    EXPECT_EQ(font.lfHeight, -12);
    DestroyWindow(parent);
}

namespace {

long long g_fakeNow = 0;
int g_restartRequests = 0;

// The main window's routing; as on the real one, a WM_CLOSE that is not the user's closes nothing.
LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (tw::HandleEngineMessage(window, message, wParam, lParam, &result))
        return result;
    if (message == tw::WM_TW_PROGRAMS_CLOSED) {
        tw::OnProgramsClosed();
        return 0;
    }
    if (message == WM_CLOSE || (message == WM_COMMAND && tw::RouteCommand(wParam, lParam)))
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

// The main window's controls as the page builder makes them, on a hidden stand-in main window, once per
// suite: the page classes and the list wrappers live for the process.
class PagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StandInProc;
        wc.lpszClassName = L"TollwickMainStandIn";
        RegisterClassW(&wc);
        main = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr,
                               nullptr, nullptr, nullptr);
        tw::g_mainWindow = main;
        tw::BuildMainControls(main);
        // The clock draws only into a window that shows.
        ShowWindow(main, SW_SHOWNOACTIVATE);
    }
    static void TearDownTestSuite()
    {
        tw::g_errorLog.SetListView(nullptr);
        tw::g_programListView = tw::g_hintLine = tw::g_engineWindow = nullptr;
        tw::g_watchRunning = true;
        tw::g_mainWindow = nullptr;
        DestroyWindow(main);
    }
    static HWND Tab() { return GetDlgItem(main, tw::kIdTab); }

    static HWND main;
};

HWND PagesTest::main = nullptr;

class ScheduleViewTest : public PagesTest {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        ASSERT_TRUE(g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
        g_config.SetInt(0, "monitortime", 1);
        g_scheduler.Reset();
        g_scheduler.clock = [] { return g_fakeNow; };
        g_scheduler.restart = [] { return ++g_restartRequests < 0; };
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
        tw::SetBoxChecked(main, tw::kIdStartMonitoring, false);
        tw::SetBoxChecked(main, tw::kIdWatchRunning, true);
    }
    void TearDown() override
    {
        tw::StopMonitoringNow();
        tw::g_monitoring = 0;
        KillTimer(main, tw::kTimerClock);
        KillTimer(main, tw::kTimerScheduledRun);
        tw::ClearPrograms();
        tw_test::EndAllRunning(HelperPath());
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    void LoadProgram(const std::wstring& path)
    {
        g_config.SetText(1, "procpath", tw::ToNarrow(path.c_str()));
        g_config.SetText(1, "procname", tw::ToNarrow(path.c_str() + path.rfind(L'\\') + 1));
        tw::LoadMonitorList();
    }
    static bool Box(int id) { return tw::IsBoxChecked(main, id); }
    static std::wstring Text(HWND parent, int id) { return tw_test::TextOf(GetDlgItem(parent, id)); }

    tw_test::TempDir dir;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM boxes)
{
    wchar_t name[16] = {0};
    GetClassNameW(window, name, 16);
    if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND>*>(boxes)->push_back(window);
    return TRUE;
}

} // namespace

TEST_F(PagesTest, TheControlsStandWhereTheyShouldWithTheirTextsAndStyles)
{
    HWND panel = GetDlgItem(Tab(), tw::kIdSettingsPanel);
    const std::pair<HWND, const wchar_t*> controls[] = {
        {main, L"10000|control_static||40800100|8,21,34,34"},
        {main, L"10200|ss|未开启监控|40000200|149,6,62,32"},
        {main, L"10201|ss|已监控：0天 00:00:00|40000200|213,6,150,32"},
        {main, L"10202|ss|如果检测到程序未运行,将自动运行|40000200|149,37,214,32"},
        {main, L"10100|Button|开始监控程序|40000002|53,6,94,32"},
        {main, L"10101|Button|监视运行状态|40000003|53,37,94,32"},
        {main, L"10001|control_tab||40004000|0,72,362,232"},
        {Tab(), L"10300|Edit||40A01844|1,21,360,210"},
        {Tab(), L"10004|SysListView32||40801009|1,21,360,210"},
        {Tab(), L"10005|SysListView32||40801009|1,21,360,210"},
        {Tab(), L"10301|Edit||40A01844|1,21,360,210"},
        {Tab(), L"10002|control_static||40800000|1,21,360,210"},
        {panel, L"10102|Button|关闭本程序时同时关闭监控程序|40000003|24,16,200,20"},
        {panel, L"10103|Button|本程序运行后自动开启监控|40000003|24,40,176,20"},
        {panel, L"10107|Button|本程序意外退出时自动重启|40000003|204,40,152,20"},
        {panel, L"10104|Button|开机启动,请给权限写入注册表,否则开机启动将失效|40000003|24,63,312,20"},
        {panel, L"10105|Button|开启后每天到指定时间就重启电脑|40000003|24,88,216,20"},
        {panel, L"10106|Button|点击关闭按钮时隐藏到托盘|40000003|24,138,182,24"},
        {panel, L"10302|Edit||40002000|88,112,30,24"},
        {panel, L"10303|Edit||40002000|132,112,30,24"},
        {panel, L"10304|Edit||40002000|174,112,30,24"},
        {panel, L"10003|bs|更多配置|40000000|80,168,160,32"},
    };
    for (const auto& c : controls)
        EXPECT_EQ(Describe(GetDlgItem(c.first, _wtoi(c.second))), c.second);
    HWND picker = GetDlgItem(main, tw::kIdPicker);
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetWindowLongPtrW(picker, GWLP_USERDATA)), tw::g_finderCursor);
    EXPECT_NE(tw::g_finderCursor, nullptr);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(GetPropW(GetDlgItem(main, tw::kIdHint), L"crText")), 0x0000FF);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdInfoPanel), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(panel, tw::kIdMoreSettings), tw::kWindowObjectIndex), 0)
        << "no wrapper stays bound";
}

// A click on a tab is told before and after, and shows only the selected page.
TEST_F(PagesTest, FiveTabsCarryTheirPagesAndTheListsAndMenusTheirItems)
{
    std::wstring tabs;
    for (int i = 0; i < 5; ++i) {
        wchar_t text[64] = {0};
        TCITEMW item = {};
        item.mask = TCIF_TEXT | TCIF_PARAM;
        item.pszText = text;
        item.cchTextMax = 64;
        SendMessageW(Tab(), TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        tabs += std::wstring(text) + L" " + std::to_wstring(GetDlgCtrlID(reinterpret_cast<HWND>(item.lParam))) + L";";
    }
    EXPECT_EQ(tabs, L"监控窗口 10300;需要监控的窗口 10004;错误报告 10005;定时信息 10301;程序配置 10002;");
    tw::SelectPage(Tab(), 1);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdProgramList), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(tw::OnPageCommand(Tab(), static_cast<UINT>(TCN_SELCHANGING), tw::kIdTab), 1);
    SendMessageW(Tab(), TCM_SETCURSEL, 4, 0);
    EXPECT_EQ(tw::OnPageCommand(Tab(), static_cast<UINT>(TCN_SELCHANGE), tw::kIdTab), 1);
    EXPECT_FALSE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdProgramList), GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(Tab(), tw::kIdSettingsPanel), GWL_STYLE) & WS_VISIBLE);

    std::wstring columns;
    for (int id : {tw::kIdProgramList, tw::kIdErrorList}) {
        LVCOLUMNW column = {};
        wchar_t text[32];
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = text;
        column.cchTextMax = 32;
        for (int i = 0; SendMessageW(GetDlgItem(Tab(), id), LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column)); ++i)
            columns += std::wstring(text) + L" " + std::to_wstring(column.cx) + L";";
        columns += L"|";
    }
    EXPECT_EQ(columns, L"ID 40;窗口句柄 75;窗口标题 110;进程名字 110;|ID 40;错误时间 75;错误报告 220;|");

    std::wstring menus;
    for (HMENU menu : tw::g_popupMenus) {
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[64] = {0};
            GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
            menus += std::to_wstring(static_cast<int>(GetMenuItemID(menu, i))) + L" " + text + L";";
        }
        menus += L"|";
    }
    EXPECT_EQ(menus,
              L"10400 &P.导出日志;10401 打开日志文件夹;|10420 &B.标记窗口;10422 &D.删除该项;0 ;10423 &A.删除全部;|"
              L"10440 &M.主界面;10441 &Q.退出;|");
}

TEST_F(ScheduleViewTest, ACloseStopsMonitoringAndClosesEveryProgramAndARunStartsAgain)
{
    tw_test::HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadProgram(HelperPath());
    tw::SendMonitoringCommand(0);
    ASSERT_EQ(tw::g_monitoring.load(), 1);
    TickOutcome close;
    close.action = ScheduledAction::Close;
    close.onceOnly = true;
    close.countdown = L"倒计时";
    tw::ApplyTick(close, true);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_FALSE(Box(tw::kIdWatchRunning) || Box(tw::kIdStartMonitoring));
    EXPECT_EQ(Text(main, tw::kIdStatus) + L";" + Text(GetDlgItem(main, tw::kIdTab), tw::kIdTimingText) + L";" +
                  tw_test::TextOf(main),
              L"已取消监控;倒计时;Tollwick v" TW_VERSION_WIDE);
    EXPECT_TRUE(helper.WaitForExit(5000)) << "the program is closed";
    EXPECT_FALSE(KillTimer(main, tw::kTimerClock)) << "the clock stopped with monitoring";

    // Due before the window heard that the close is done, the run waits.
    TickOutcome run;
    run.action = ScheduledAction::Run;
    tw::ApplyTick(run, false);
    EXPECT_EQ(tw::g_monitoring.load(), 0) << "held while the close is under way";
    EXPECT_TRUE(tw_test::PumpUntil([] { return tw::g_monitoring.load() == 1; }, 10000)) << "and carried out after";
    EXPECT_TRUE(Box(tw::kIdWatchRunning));
    EXPECT_TRUE(KillTimer(main, tw::kTimerClock)) << "the clock runs with monitoring";
    EXPECT_TRUE(tw_test::PumpUntil([] { return tw_test::CountRunning(HelperPath()) == 1; }, 15000))
        << "the monitoring cycle starts the program again";
}

TEST_F(ScheduleViewTest, ARestartClosesWithoutAskingAndAsksTheSystem)
{
    TickOutcome restart;
    restart.restartComputer = true;
    restart.uptime = L"已监控：0天 00:00:07";
    tw::ApplyTick(restart, true);
    EXPECT_EQ(g_restartRequests, 1);
    EXPECT_EQ(Text(main, tw::kIdUptime), L"已监控：0天 00:00:07");
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, main, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_EQ(msg.wParam, tw::kRestartCloseMarker);
}

// The run falls due while the user's start waits at its "文件不存在" box: it is held back, not lost.
TEST_F(ScheduleViewTest, TheRunCheckWaitsWhileAStartOfMonitoringWaitsAtItsBox)
{
    LoadProgram(dir.File(L"gone.exe"));
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 10:00:00");
    g_scheduler.RunTick(Utc8(2026, 12, 7, 9, 59, 59));
    tw::StartRunCheckIfArmed();
    // Counts this thread's open boxes from another, cancelling each after 2.5 s: the run check ticks meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<int> mostOpen{0};
    DWORD uiThread = GetCurrentThreadId();
    std::thread watcher([&] {
        HWND current = nullptr;
        for (ULONGLONG since = 0; !stop; Sleep(20)) {
            std::vector<HWND> open;
            EnumThreadWindows(uiThread, CollectBox, reinterpret_cast<LPARAM>(&open));
            mostOpen = std::max(mostOpen.load(), static_cast<int>(open.size()));
            if (open.empty() || open.front() != current) {
                current = open.empty() ? nullptr : open.front();
                since = GetTickCount64();
            } else if (GetTickCount64() - since >= 2500) {
                PostMessageW(current, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }
    });
    tw::g_monitoring = 0;
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(tw::kIdStartMonitoring, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, tw::kIdStartMonitoring)));
    KillTimer(main, tw::kTimerScheduledRun);
    stop = true;
    watcher.join();
    EXPECT_EQ(mostOpen.load(), 1) << "no second start from the run check";
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_EQ(g_scheduler.RunTick(Utc8(2026, 12, 7, 10, 0, 1)).action, ScheduledAction::Run);
}

// Read from the real Tollwick.exe. No DPI awareness in the manifest: the layout is in fixed pixels.
TEST(Resources, TheProgramsIconCursorManifestAndVersion)
{
    std::wstring program = tw_test::TestBinaryDirectory() + L"..\\Tollwick.exe";
    HMODULE module =
        LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    std::wstring images;
    for (int size : {16, 32, 48, 0}) {
        HANDLE image = size ? LoadImageW(module, MAKEINTRESOURCEW(IDI_TOLLWICK), IMAGE_ICON, size, size, 0)
                            : LoadImageW(module, MAKEINTRESOURCEW(IDC_FINDER), IMAGE_CURSOR, 32, 32, 0);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(static_cast<HICON>(image), &info)) << size;
        BITMAP bitmap = {};
        GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        images += std::to_wstring(bitmap.bmWidth) + (info.fIcon ? L" icon;" : L" cursor at ") +
                  (info.fIcon ? L"" : std::to_wstring(info.xHotspot) + L"," + std::to_wstring(info.yHotspot));
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(static_cast<HICON>(image));
    }
    EXPECT_EQ(images, L"16 icon;32 icon;48 icon;32 cursor at 16,16");
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, found))),
                         SizeofResource(module, found));
    for (const char* part : {"level=\"asInvoker\"", "Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\""})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);
    FreeLibrary(module);

    std::vector<char> data(GetFileVersionInfoSizeW(program.c_str(), nullptr));
    VS_FIXEDFILEINFO* fixed = nullptr;
    wchar_t *name = nullptr, *version = nullptr;
    UINT length = 0;
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) &&
                VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
                VerQueryValueW(data.data(), L"\\StringFileInfo\\080404b0\\ProductName", reinterpret_cast<void**>(&name),
                               &length) &&
                VerQueryValueW(data.data(), L"\\StringFileInfo\\080404b0\\FileVersion",
                               reinterpret_cast<void**>(&version), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(TW_VERSION_MINOR, TW_VERSION_MAJOR)));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), TW_VERSION_PATCH);
    EXPECT_EQ(std::wstring(name) + L" " + version, L"Tollwick " TW_VERSION_WIDE);
}

namespace {

std::string Utf8(const std::wstring& text)
{
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The text of the element at a path of names below the root ("" when any is missing).
std::string TextAt(const TiXmlDocument& document, std::initializer_list<const char*> names)
{
    const TiXmlElement* element = document.RootElement();
    for (const char* name : names)
        element = element ? element->FirstChildElement(name) : nullptr;
    const char* text = element ? element->GetText() : nullptr;
    return text ? text : "";
}

} // namespace

// Every character that means something to XML, in a path and a user name that hold them, comes back from a parser
// as it went in; Chinese text goes through as it is.
TEST(BackstopTask, TheXmlIsWellFormedForAnyPathAndUserAndCarriesTheRunAndItsSettings)
{
    const std::wstring exe = L"D:\\R&D 看门狗\\O'Brien <1> \"x\"\\Tollwick.exe";
    const std::wstring folder = L"D:\\R&D 看门狗\\O'Brien <1> \"x\"";
    const std::wstring user = L"研发&CO\\张三'<b>\"";
    std::wstring xml = tw::BackstopTaskXml(exe.c_str(), user.c_str()).c_str();
    // TinyXML reads UTF-8 only; the declaration names the UTF-16 the Task Scheduler is given.
    ASSERT_EQ(xml.rfind(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>", 0), 0u);
    TiXmlDocument document;
    document.Parse(Utf8(xml).c_str(), nullptr, TIXML_ENCODING_UTF8);
    ASSERT_FALSE(document.Error()) << document.ErrorDesc() << " at row " << document.ErrorRow() << "\n" << Utf8(xml);
    ASSERT_NE(document.RootElement(), nullptr);
    EXPECT_STREQ(document.RootElement()->Value(), "Task");
    EXPECT_EQ(TextAt(document, {"Actions", "Exec", "Command"}), Utf8(exe));
    EXPECT_EQ(TextAt(document, {"Actions", "Exec", "Arguments"}), "/backstop");
    EXPECT_EQ(TextAt(document, {"Actions", "Exec", "WorkingDirectory"}), Utf8(folder));
    EXPECT_EQ(TextAt(document, {"Triggers", "LogonTrigger", "UserId"}), Utf8(user));
    EXPECT_EQ(TextAt(document, {"Triggers", "LogonTrigger", "Repetition", "Interval"}), "PT5M");
    EXPECT_EQ(TextAt(document, {"Triggers", "TimeTrigger", "Repetition", "Interval"}), "PT5M");
    EXPECT_NE(TextAt(document, {"Triggers", "TimeTrigger", "StartBoundary"}), "");
    for (const char* trigger : {"LogonTrigger", "TimeTrigger"}) {
        EXPECT_EQ(TextAt(document, {"Triggers", trigger, "Repetition", "Duration"}), "") << "repeats for ever";
        EXPECT_EQ(TextAt(document, {"Triggers", trigger, "EndBoundary"}), "") << "never ends";
    }
    EXPECT_EQ(TextAt(document, {"Principals", "Principal", "UserId"}), Utf8(user));
    EXPECT_EQ(TextAt(document, {"Principals", "Principal", "LogonType"}), "InteractiveToken");
    EXPECT_EQ(TextAt(document, {"Principals", "Principal", "RunLevel"}), "LeastPrivilege");
    EXPECT_EQ(TextAt(document, {"Settings", "MultipleInstancesPolicy"}), "IgnoreNew");
    EXPECT_EQ(TextAt(document, {"Settings", "ExecutionTimeLimit"}), "PT0S");
    EXPECT_EQ(TextAt(document, {"Settings", "Priority"}), "4");
    EXPECT_EQ(TextAt(document, {"Settings", "DisallowStartIfOnBatteries"}), "false");
    EXPECT_EQ(TextAt(document, {"Settings", "StopIfGoingOnBatteries"}), "false");
    EXPECT_NE(xml.find(L"<Priority>4</Priority>"), std::wstring::npos);

    // A program in a drive's root works in the root itself.
    document.Clear();
    document.Parse(Utf8(tw::BackstopTaskXml(L"C:\\Tollwick.exe", L"PC\\kiosk").c_str()).c_str(), nullptr,
                   TIXML_ENCODING_UTF8);
    EXPECT_EQ(TextAt(document, {"Actions", "Exec", "WorkingDirectory"}), "C:\\");
}

TEST(BackstopTask, OneFolderInAnyLetterCaseHasOneNameAndTwoFoldersTwo)
{
    std::wstring name = tw::BackstopTaskNameFor(L"C:\\Kiosk\\Tollwick").c_str();
    ASSERT_EQ(name.size(), std::wstring(L"Tollwick 守护 ").size() + 16) << Utf8(name);
    EXPECT_EQ(name.rfind(L"Tollwick 守护 ", 0), 0u);
    EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEF", name.size() - 16), std::wstring::npos);
    EXPECT_EQ(std::wstring(tw::BackstopTaskNameFor(L"c:\\KIOSK\\tollwick\\").c_str()), name);
    EXPECT_EQ(std::wstring(tw::BackstopTaskNameFor(L"C:/Kiosk/./Tollwick").c_str()), name);
    EXPECT_NE(std::wstring(tw::BackstopTaskNameFor(L"C:\\Kiosk\\Tollwick2").c_str()), name);
    EXPECT_NE(std::wstring(tw::BackstopTaskNameFor(L"D:\\Kiosk\\Tollwick").c_str()), name);
    EXPECT_NE(std::wstring(tw::BackstopTaskNameFor(L"C:\\看门狗\\甲").c_str()),
              std::wstring(tw::BackstopTaskNameFor(L"C:\\看门狗\\乙").c_str()));
    // This test program's own folder, as the program names it.
    std::wstring exe(MAX_PATH, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, &exe[0], MAX_PATH));
    exe.resize(exe.rfind(L'\\'));
    CharLowerBuffW(&exe[0], static_cast<DWORD>(exe.size()));
    EXPECT_EQ(std::wstring(tw::BackstopTaskNameFor(exe.c_str()).c_str()), std::wstring(tw::BackstopTaskName().c_str()));
}

// The product's whole task under a name of its own. Wine's Task Scheduler stores a task without running it and
// keeps its settings but neither its triggers, its principal nor its action's command, so those are checked only
// where the system reads them back (on Windows).
TEST(BackstopTask, TheTaskSchedulerTakesTheTaskKeepsItsSettingsAndDeletesIt)
{
    const tw::CStrW name(L"Tollwick 守护 测试");
    const std::wstring exe = L"C:\\R&D 看门狗\\Tollwick.exe";
    HRESULT result = E_FAIL;
    tw::DeleteScheduledTask(name, &result);
    tw::CStrW user = tw::CurrentUserId();
    ASSERT_FALSE(user.IsEmpty());
    ASSERT_TRUE(tw::RegisterScheduledTask(name, tw::BackstopTaskXml(exe.c_str(), user), &result)) << std::hex << result;
    tw::ScheduledTaskInfo info;
    ASSERT_TRUE(tw::ReadScheduledTask(name, &info, &result)) << std::hex << result;
    EXPECT_EQ(info.instancesPolicy, TASK_INSTANCES_IGNORE_NEW);
    EXPECT_STREQ(info.executionTimeLimit.c_str(), L"PT0S");
    EXPECT_EQ(info.priority, 4);
    EXPECT_EQ(info.disallowStartOnBatteries, 0);
    EXPECT_EQ(info.stopIfGoingOnBatteries, 0);
    EXPECT_NE(std::wstring(info.xml.c_str()).find(L"Tollwick 的后备启动"), std::wstring::npos)
        << Utf8(info.xml.c_str());
    if (info.actionCount >= 0) {
        EXPECT_EQ(info.actionCount, 1);
        EXPECT_EQ(std::wstring(info.command.c_str()), exe);
        EXPECT_STREQ(info.arguments.c_str(), L"/backstop");
        EXPECT_STREQ(info.workingDirectory.c_str(), L"C:\\R&D 看门狗");
    }
    if (info.triggerCount >= 0) {
        EXPECT_EQ(info.triggerCount, 2);
    }
    if (info.logonType >= 0) {
        EXPECT_EQ(info.logonType, TASK_LOGON_INTERACTIVE_TOKEN);
    }
    if (info.runLevel >= 0) {
        EXPECT_EQ(info.runLevel, TASK_RUNLEVEL_LUA);
    }

    // Registering again replaces the task.
    EXPECT_TRUE(tw::RegisterScheduledTask(name, tw::BackstopTaskXml(exe.c_str(), user), &result)) << std::hex << result;
    EXPECT_TRUE(tw::DeleteScheduledTask(name, &result)) << std::hex << result;
    EXPECT_FALSE(tw::ReadScheduledTask(name, &info, &result));
    EXPECT_EQ(result, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(tw::DeleteScheduledTask(name, &result)) << "a task that is not there is gone";
}
