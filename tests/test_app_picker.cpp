// The window picker and the highlight overlay of the real Tollwick.exe,
// driven with real pointer input from the X input tool, as a user drags the
// finder: press on the box, move onto a window, rest, release.
#include "tests/app_fixture.h"

#include <string>

using namespace tw_app_test;

namespace {

constexpr int kPickerId = 10000;

// Starts the X input tool with args. It is a Unix program, whose process Wine
// cannot wait for, so callers wait for what its input does instead.
bool XInput(const std::wstring& args)
{
    const wchar_t tool[] = L"Z:\\usr\\bin\\xdotool";
    std::wstring command = std::wstring(L"\"") + tool + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(tool, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring At(POINT p)
{
    return std::to_wstring(p.x) + L" " + std::to_wstring(p.y);
}

bool CursorAt(POINT p)
{
    POINT now;
    return GetCursorPos(&now) && now.x == p.x && now.y == p.y;
}

POINT Centre(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// What the screen shows at p, overlay included.
COLORREF ScreenPixel(POINT p)
{
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 1, 1);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, 1, 1, screen, p.x, p.y, SRCCOPY);
    COLORREF colour = GetPixel(memory, 0, 0);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return colour;
}

int Brightness(COLORREF c)
{
    return (GetRValue(c) + GetGValue(c) + GetBValue(c)) / 3;
}

bool IsRed(COLORREF c)
{
    return GetRValue(c) > 200 && GetGValue(c) < 60 && GetBValue(c) < 60;
}

class PickerTest : public AppTest {
protected:
    void TearDown() override
    {
        // A failed check must not leave the button held for the next test.
        if (dragging)
            XInput(L"mouseup 1");
        AppTest::TearDown();
    }

    bool LaunchAside(const std::string& config = "")
    {
        if (!Launch(config))
            return false;
        // Clear of the helpers' windows at the screen's top left.
        SetWindowPos(main, HWND_TOP, 500, 300, 0, 0, SWP_NOSIZE);
        return true;
    }

    HWND Overlay() const { return FindOwnWindow(app.Id(), L"shadow", L"shadow"); }
    bool BoxIdle() const { return GetWindowLongPtrW(Control(kPickerId), GWLP_USERDATA) != 0; }
    // A point on Tollwick's own window, outside any target: it shows dimming.
    POINT OwnPoint() const
    {
        RECT r;
        GetWindowRect(Control(10001), &r);
        return {r.left + 40, r.bottom - 20};
    }

    // Presses on the finder box and moves onto target, in two steps so that
    // the box sees moves with the button down; true once the pointer is there.
    bool PressAndMove(POINT target)
    {
        POINT box = Centre(Control(kPickerId));
        if (!XInput(L"mousemove " + At(box)) || !WaitFor([&] { return CursorAt(box); }, 3000))
            return false;
        dragging = true;
        if (!XInput(L"mousedown 1") || !WaitFor([&] { return !BoxIdle(); }, 3000))
            return false;
        POINT halfway = {(box.x + target.x) / 2, (box.y + target.y) / 2};
        if (!XInput(L"mousemove " + At(halfway) + L" sleep 0.1 mousemove " + At(target)))
            return false;
        return WaitFor([&] { return CursorAt(target); }, 3000);
    }

    // Releases the button; true once the drop has been handled.
    bool Release()
    {
        if (!XInput(L"mouseup 1") || !WaitFor([&] { return BoxIdle(); }, 3000))
            return false;
        dragging = false;
        // The drop adds its row in the same message; a sent message returns
        // only after it.
        SendMessageW(main, WM_NULL, 0, 0);
        return true;
    }

    bool DragTo(POINT target)
    {
        if (!PressAndMove(target))
            return false;
        // The rest timer fires after 100 ms without a move.
        Sleep(400);
        return Release();
    }

    std::wstring InfoText() const { return TextOf(GetDlgItem(Tab(), 10300)); }
    // The picked facts are stored when monitoring starts; the file is
    // written at the quit.
    std::string ConfigAfterMonitoring()
    {
        Click(10100);
        if (!WaitFor([&] { return Checked(main, 10100); }, 5000) || !Quit())
            return "monitoring did not start, or Tollwick did not quit";
        return Config();
    }

    bool dragging = false;
};

// A copy of the helper in a folder named with Hangul and Latin letters that
// code page 936 does not have, as a kiosk program may live in.
class ForeignFolderTest : public PickerTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(HelperPath().c_str(), exe.c_str(), FALSE));
    }
    void TearDown() override
    {
        // Tollwick first, or it starts the copy again.
        app.Stop();
        while (DWORD id = tw::FindProcessByNameAndPath(L"kiosk.exe", exe.c_str(), nullptr, 0)) {
            if (!tw::KillProcessRunning(id, tw::CStrW(exe.c_str())))
                break;
        }
        WaitFor([&] { return DeleteFileW(exe.c_str()) != FALSE; }, 5000);
        RemoveDirectoryW(folder.c_str());
        PickerTest::TearDown();
    }

    const std::wstring folder = dir.Path() + L"\xB370\xBAA8 \x00DCn\x00EF\\";
    const std::wstring exe = folder + L"kiosk.exe";
};

} // namespace

TEST_F(PickerTest, ADragOntoAProgramOutlinesItAndAddsItWithItsFacts)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Picked"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside());
    ASSERT_NE(Overlay(), nullptr);
    POINT own = OwnPoint();
    COLORREF ownBefore = ScreenPixel(own);
    ASSERT_GT(Brightness(ownBefore), 150);

    ASSERT_TRUE(PressAndMove(Centre(window)));
    RECT frame;
    GetWindowRect(window, &frame);
    POINT inside = {frame.left + 60, frame.bottom - 30};
    POINT onFrame = {frame.left + 2, (frame.top + frame.bottom) / 2};
    // The rest shows the overlay: everything but the target dimmed, the
    // target outlined in red.
    EXPECT_TRUE(WaitFor([&] { return Brightness(ScreenPixel(own)) < Brightness(ownBefore) / 2; }, 3000))
        << std::hex << ScreenPixel(own);
    EXPECT_TRUE(IsWindowVisible(Overlay()));
    EXPECT_GT(Brightness(ScreenPixel(inside)), 150) << std::hex << ScreenPixel(inside);
    EXPECT_TRUE(IsRed(ScreenPixel(onFrame))) << std::hex << ScreenPixel(onFrame);
    EXPECT_EQ(Rows(ProgramList()), 0) << "nothing is added before the drop";

    ASSERT_TRUE(Release());
    EXPECT_FALSE(IsWindowVisible(Overlay()));
    EXPECT_TRUE(WaitFor([&] { return Brightness(ScreenPixel(own)) > 150; }, 3000));
    ASSERT_EQ(Rows(ProgramList()), 1);
    std::wstring path = HelperPath();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(path[1], L':') << "the path keeps its drive letter";
    std::wstring info = InfoText();
    EXPECT_NE(info.find(L"进程ID  ：" + std::to_wstring(helper.Id()) + L"\r\n"), std::wstring::npos) << Narrow(info);
    EXPECT_NE(info.find(L"窗口标题：Picked\r\n窗口类名：TollwickHelperWnd\r\n进程名称：tollwick_helper.exe\r\n"
                        L"程序路径：" +
                        path + L"\r\n"),
              std::wstring::npos)
        << Narrow(info);

    std::string config = ConfigAfterMonitoring();
    EXPECT_NE(config.find("procpath=\"" + Narrow(path) + "\""), std::string::npos) << config;
    EXPECT_NE(config.find("errflag=\"" + Narrow(L"Tollwick 测试助手") + "\""), std::string::npos) << config;
    EXPECT_NE(config.find("title=\"Picked\""), std::string::npos) << config;
}

TEST_F(PickerTest, ADropOnAChildControlPicksItsTopLevelWindow)
{
    // The build without a version resource: no file description.
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Parent --child", HelperPath(false)));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    HWND child = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (child = FindWindowExW(window, nullptr, L"button", L"child")) != nullptr; }, 3000));
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(child)));
    ASSERT_EQ(Rows(ProgramList()), 1);
    std::wstring info = InfoText();
    EXPECT_NE(info.find(L"窗口标题：Parent\r\n窗口类名：TollwickHelperWnd\r\n进程名称：tollwick_helper_plain.exe\r\n"),
              std::wstring::npos)
        << Narrow(info);
    std::string config = ConfigAfterMonitoring();
    size_t errflag = config.find("errflag=\"");
    EXPECT_TRUE(errflag == std::string::npos || config.compare(errflag, 10, "errflag=\"\"") == 0) << config;
    EXPECT_NE(config.find("classname=\"TollwickHelperWnd\""), std::string::npos) << config;
}

TEST_F(PickerTest, DropsOnAMonitoredProgramOnTollwickOrOnTheDesktopAddNothing)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title First --crash-window Second"));
    HWND first = helper.WaitForWindow();
    ASSERT_NE(first, nullptr);
    HWND second = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (second = FindOwnWindow(helper.Id(), nullptr, L"Second")) != nullptr; }, 3000));
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(first)));
    ASSERT_EQ(Rows(ProgramList()), 1);
    std::wstring before = InfoText();

    ASSERT_TRUE(DragTo(Centre(second)));
    EXPECT_EQ(Rows(ProgramList()), 1) << "the program is monitored already";
    ASSERT_TRUE(DragTo(OwnPoint()));
    EXPECT_EQ(Rows(ProgramList()), 1) << "Tollwick never watches itself";
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    ASSERT_TRUE(DragTo({screen.right - 20, screen.bottom - 20}));
    EXPECT_EQ(Rows(ProgramList()), 1) << "the desktop is no program";
    EXPECT_EQ(InfoText(), before);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", nullptr), nullptr) << "a refused drop says nothing";
    ASSERT_TRUE(Quit());
}

// Monitoring disables the finder box; its picture stays in it.
TEST_F(PickerTest, TheFinderBoxKeepsItsPictureWhileMonitoringRuns)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(LaunchAside(ConfigWith("", HelperEntry())));
    auto darkPixels = [&] {
        RECT r;
        GetWindowRect(Control(kPickerId), &r);
        int dark = 0;
        for (int x = r.left + 2; x < r.right - 2; ++x)
            dark += Brightness(ScreenPixel({x, (r.top + r.bottom) / 2})) < 100 ? 1 : 0;
        return dark;
    };
    ASSERT_TRUE(WaitFor([&] { return darkPixels() > 0; }, 3000)) << "the finder picture is shown";
    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    EXPECT_FALSE(IsWindowEnabled(Control(kPickerId)));
    Sleep(500);
    EXPECT_GT(darkPixels(), 0) << "the picture stays";
    ASSERT_TRUE(Quit());
}

TEST_F(PickerTest, MarkOutlinesTheProgramForAboutThreeSeconds)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Marked"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside(ConfigWith("autostartmonitor=\"0\"", HelperEntry())));
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    POINT own = OwnPoint();
    COLORREF ownBefore = ScreenPixel(own);
    ASSERT_GT(Brightness(ownBefore), 150);
    RECT frame;
    GetWindowRect(window, &frame);

    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10420, 0), 0);
    ULONGLONG shown = GetTickCount64();
    ASSERT_TRUE(WaitFor([&] { return Brightness(ScreenPixel(own)) < Brightness(ownBefore) / 2; }, 2000));
    EXPECT_TRUE(IsRed(ScreenPixel({frame.left + 2, (frame.top + frame.bottom) / 2})));
    EXPECT_TRUE(IsWindowVisible(Overlay()));
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(Overlay()); }, 6000));
    ULONGLONG elapsed = GetTickCount64() - shown;
    EXPECT_GE(elapsed, 2500u);
    EXPECT_TRUE(WaitFor([&] { return Brightness(ScreenPixel(own)) > 150; }, 2000));
    ASSERT_TRUE(Quit());
}

TEST_F(ForeignFolderTest, AProgramOutsideCodePage936IsRestartedAfterTollwickStartsAgain)
{
    const std::wstring title = L"\xD55C\xAD6D\xC5B4 \x00DC \U0001F600";
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title \"" + title + L"\"", exe));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(window)));
    ASSERT_EQ(Rows(ProgramList()), 1);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", nullptr), nullptr) << "nothing is lost, nothing to say";
    std::string config = ConfigAfterMonitoring();
    EXPECT_EQ(config.find("<?xml version=\"1.0\" encoding=\"GB18030\" ?>\r\n"), 0u) << config;
    EXPECT_NE(config.find(std::string("procpath=\"") + tw::ToNarrow(exe.c_str()).c_str() + "\""), std::string::npos);
    EXPECT_NE(config.find(std::string("title=\"") + tw::ToNarrow(title.c_str()).c_str() + "\""), std::string::npos);

    // Started again, Tollwick finds the program by the stored path and starts
    // it when it has ended.
    helper.Stop();
    ASSERT_TRUE(LaunchAside());
    ASSERT_EQ(Rows(ProgramList()), 1);
    SendMessageW(Control(10101), BM_SETCHECK, BST_CHECKED, 0);
    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return Checked(main, 10100); }, 5000))
        << "a box said: " << Narrow(TextOf(FindOwnWindow(app.Id(), L"#32770", nullptr)));
    DWORD restarted = 0;
    EXPECT_TRUE(WaitFor(
        [&] { return (restarted = tw::FindProcessByNameAndPath(L"kiosk.exe", exe.c_str(), nullptr, 0)) != 0; }, 15000));
    HWND shown = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (shown = tw_test::VisibleWindowOf(restarted)) != nullptr; }, 5000));
    ASSERT_TRUE(Quit());
}

TEST_F(PickerTest, TextsTheFileCannotHoldAreToldWhenTheProgramIsAdded)
{
    // An unpaired surrogate: Windows takes it in a title, GB18030 has no form
    // for it.
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Lone\xD800"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(window)));
    EXPECT_EQ(Rows(ProgramList()), 1) << "the program is still added";
    HWND box = Dialog(L"无法完整保存");
    ASSERT_NE(box, nullptr);
    std::wstring said;
    for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child;
         child = FindWindowExW(box, child, L"Static", nullptr))
        said += TextOf(child);
    EXPECT_NE(said.find(L"窗口标题：Lone\xD800\r\n"), std::wstring::npos) << Narrow(said);
    EXPECT_EQ(said.find(L"程序路径："), std::wstring::npos) << "the path is kept";
    ASSERT_TRUE(Press(box, IDOK));
    ASSERT_TRUE(Quit());
}
