// The user interface's building blocks on hidden windows: the window
// wrappers, the main window's controls and pages as the page builder makes
// them, and the resources the shipped Tollwick.exe carries.
#include "monitor/error_log.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "tests/helper_process.h"
#include "ui/pages.h"

#include "version.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "id|class|text|style|x,y,width,height" of a window, its place in its
// parent's client area; the visibility and sibling clipping left out.
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

// A superclass runs the one dispatcher; its wrapper is bound (and unbound when made again or destroyed), sees the
// caller's value as the creation parameter and tracks the mouse, while the
// system class still does the work. System classes are used as they are.
TEST(Window, SuperclassesBindTheirWrappersAndSystemClassesStayAsTheyAre)
{
    ASSERT_STREQ(tw::RegisterSuperclass(L"static", L"ss"), L"ss");
    EXPECT_STREQ(tw::RegisterSuperclass(L"button", L"button"), L"button");
    EXPECT_EQ(tw::RegisterSuperclass(L"static", nullptr), nullptr);
    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"ss", &info));
    EXPECT_EQ(info.lpfnWndProc, tw::DispatchWndProc);
    HWND parent =
        CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);

    RecordingLabel label;
    int user = 42;
    HWND window = label.Create(0, L"ss", L"文本", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, 10200, nullptr, &user);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Bound(window), reinterpret_cast<LONG_PTR>(&label));
    EXPECT_EQ(label.createParam, &user) << "handlers see the caller's value, not the creation pair";
    EXPECT_EQ(tw::GetHoverState(window)->createParam, reinterpret_cast<LPARAM>(&user));
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

// The main window's controls as the page builder makes them, on a hidden
// stand-in main window. Built once: the page classes and the list wrappers
// live for the process.
class PagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&icc);
        main = CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr, nullptr,
                               nullptr, nullptr);
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

    static HWND main;
};

HWND PagesTest::main = nullptr;

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

// Five tabs carry their pages; a click on a tab is told before and after,
// and shows only the selected page.
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
    EXPECT_EQ(tw::g_programListView, GetDlgItem(Tab(), tw::kIdProgramList));

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

// The log tells the error list its rows; painting them reads the log.
TEST_F(PagesTest, TheErrorListCountsTheLog)
{
    HWND list = GetDlgItem(Tab(), tw::kIdErrorList);
    tw::g_errorLog.ResetForTest();
    tw::g_errorLog.Add(L"before");
    tw::g_errorLog.SetListView(list);
    tw::g_errorLog.Add(L"two");
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 2);
    tw::SelectPage(Tab(), 2);
    ShowWindow(main, SW_SHOWNA);
    UpdateWindow(list);
    ShowWindow(main, SW_HIDE);
    tw::g_errorLog.ResetForTest();
}

// Read from the real Tollwick.exe: its icon in three sizes, the finder cursor
// held at its centre, the manifest (the invoker's rights, common controls 6,
// no DPI awareness: the layout is in fixed pixels) and the project's version.
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
