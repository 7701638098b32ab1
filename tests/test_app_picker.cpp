// The window picker and the highlight overlay of the real Tollwick.exe,
// driven with real pointer input from the X input tool, as a user drags the
// finder: press on the box, move onto a window, rest, release.
#include "monitor/process_query.h"
#include "tests/app_fixture.h"

using namespace tw_app_test;

namespace {

constexpr int kPickerId = 10000;

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

int Brightness(POINT p)
{
    COLORREF c = ScreenPixel(p);
    return (GetRValue(c) + GetGValue(c) + GetBValue(c)) / 3;
}

bool IsRed(POINT p)
{
    COLORREF c = ScreenPixel(p);
    return GetRValue(c) > 200 && GetGValue(c) < 60 && GetBValue(c) < 60;
}

// A point on the left edge of a window: the outline's place.
POINT FramePoint(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    return {r.left + 2, (r.top + r.bottom) / 2};
}

class PickerTest : public AppTest {
protected:
    void TearDown() override
    {
        // A failed check must not leave the button held for the next test.
        if (dragging)
            StartXdotool(L"mouseup 1");
        // Tollwick first, or it starts the program again.
        app.Stop();
        if (!otherExe.empty())
            EndAllRunning(otherExe);
        AppTest::TearDown();
    }

    bool LaunchAside(const std::string& config = "")
    {
        // Clear of the helpers' windows at the screen's top left.
        return Launch(config) && SetWindowPos(main, HWND_TOP, 500, 300, 0, 0, SWP_NOSIZE);
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
    // Whether the overlay dims Tollwick's own window, from brightness before.
    bool Dimmed(int before) const { return Brightness(OwnPoint()) < before / 2; }

    // Presses on the finder box and moves onto target, in two steps so that
    // the box sees moves with the button down; true once the pointer is there.
    bool PressAndMove(POINT target)
    {
        POINT box = Centre(Control(kPickerId));
        POINT halfway = {(box.x + target.x) / 2, (box.y + target.y) / 2};
        dragging = StartXdotool(L"mousemove " + At(box)) && WaitFor([&] { return CursorAt(box); }, 3000) &&
                   StartXdotool(L"mousedown 1") && WaitFor([&] { return !BoxIdle(); }, 3000);
        return dragging && StartXdotool(L"mousemove " + At(halfway) + L" sleep 0.1 mousemove " + At(target)) &&
               WaitFor([&] { return CursorAt(target); }, 3000);
    }
    // Releases the button; true once the drop has been handled (the drop adds
    // its row in the same message; a sent message returns only after it).
    bool Release()
    {
        if (!StartXdotool(L"mouseup 1") || !WaitFor([&] { return BoxIdle(); }, 3000))
            return false;
        dragging = false;
        SendMessageW(main, WM_NULL, 0, 0);
        return true;
    }
    // The whole drag; the rest timer fires after 100 ms without a move.
    bool DragTo(POINT target)
    {
        bool moved = PressAndMove(target);
        Sleep(400);
        return moved && Release();
    }

    std::wstring InfoText() const { return TextOf(GetDlgItem(Tab(), 10300)); }
    // The picked facts are stored when monitoring starts, the file written
    // at the quit.
    std::string ConfigAfterMonitoring()
    {
        Click(10100);
        if (!WaitFor([&] { return Checked(main, 10100); }, 5000) || !Quit())
            return "monitoring did not start, or Tollwick did not quit";
        return Config();
    }

    bool dragging = false;
    // A program outside the helper's own path, ended at the end.
    std::wstring otherExe;
};

} // namespace

// Drops on Tollwick or on the desktop add nothing (a monitored program's
// second drop is refused by the program table).
TEST_F(PickerTest, ADragOntoAProgramOutlinesItAndAddsItWithItsFactsOnce)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Picked"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside());
    ASSERT_NE(Overlay(), nullptr);
    int before = Brightness(OwnPoint());
    ASSERT_GT(before, 150);

    ASSERT_TRUE(PressAndMove(Centre(window)));
    RECT frame;
    GetWindowRect(window, &frame);
    // The rest shows the overlay: everything but the target dimmed, the
    // target outlined in red.
    EXPECT_TRUE(WaitFor([&] { return Dimmed(before); }, 3000));
    EXPECT_TRUE(IsWindowVisible(Overlay()));
    EXPECT_GT(Brightness({frame.left + 60, frame.bottom - 30}), 150) << "the target is not dimmed";
    EXPECT_TRUE(IsRed(FramePoint(window)));
    EXPECT_EQ(Rows(ProgramList()), 0) << "nothing is added before the drop";
    ASSERT_TRUE(Release());
    EXPECT_FALSE(IsWindowVisible(Overlay()));
    // What lay under the overlay is drawn again when the X server exposes
    // it, which under load takes a few seconds.
    EXPECT_TRUE(WaitFor([&] { return Brightness(OwnPoint()) > 150; }, 6000));
    ASSERT_EQ(Rows(ProgramList()), 1);
    std::wstring info = InfoText();
    EXPECT_NE(info.find(L"进程ID  ：" + std::to_wstring(helper.Id()) +
                        L"\r\n窗口标题：Picked\r\n窗口类名：TollwickHelperWnd\r\n进程名称：tollwick_helper.exe\r\n"
                        L"程序路径：" +
                        HelperPath() + L"\r\n"),
              std::wstring::npos)
        << Narrow(info);

    ASSERT_TRUE(DragTo(OwnPoint()));
    ASSERT_TRUE(DragTo({GetSystemMetrics(SM_CXSCREEN) - 20, GetSystemMetrics(SM_CYSCREEN) - 20}));
    EXPECT_EQ(Rows(ProgramList()), 1) << "Tollwick and the desktop are no programs";
    EXPECT_EQ(InfoText(), info);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", nullptr), nullptr) << "a refused drop says nothing";

    std::string config = ConfigAfterMonitoring();
    for (std::wstring fact : {L"procpath=\"" + HelperPath() + L"\"", std::wstring(L"errflag=\"Tollwick 测试助手\""),
                              std::wstring(L"title=\"Picked\"")})
        EXPECT_NE(config.find(Narrow(fact)), std::string::npos) << Narrow(fact) << " in " << config;
}

// The build without a version resource has no file description. A title with
// an unpaired surrogate (Windows takes it, GB18030 has no form for it) is told
// when its program is added.
TEST_F(PickerTest, ADropOnAChildControlPicksItsTopLevelWindowAndTextsTheFileCannotHoldAreTold)
{
    HelperProcess plain, lone;
    ASSERT_TRUE(plain.Start(L"--title Parent --child", HelperPath(false)));
    ASSERT_TRUE(lone.Start(L"--title Lone\xD800 --at 360 40"));
    HWND window = plain.WaitForWindow(), loneWindow = lone.WaitForWindow();
    ASSERT_TRUE(window && loneWindow);
    HWND child = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (child = FindWindowExW(window, nullptr, L"button", L"child")) != nullptr; }, 3000));
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(child)));
    ASSERT_EQ(Rows(ProgramList()), 1);
    EXPECT_NE(
        InfoText().find(L"窗口标题：Parent\r\n窗口类名：TollwickHelperWnd\r\n进程名称：tollwick_helper_plain.exe\r\n"),
        std::wstring::npos)
        << Narrow(InfoText());

    ASSERT_TRUE(DragTo(Centre(loneWindow)));
    EXPECT_EQ(Rows(ProgramList()), 2) << "the program is still added";
    HWND box = Dialog(L"无法完整保存");
    std::wstring said;
    ASSERT_TRUE(WaitFor([&] { return !(said = DialogText(box)).empty(); }, 3000));
    EXPECT_NE(said.find(L"窗口标题：Lone\xD800\r\n"), std::wstring::npos) << Narrow(said);
    EXPECT_EQ(said.find(L"程序路径："), std::wstring::npos) << "the path is kept";
    ASSERT_TRUE(Press(box, IDOK));

    std::string config = ConfigAfterMonitoring();
    size_t at = config.rfind('<', config.find("tollwick_helper_plain.exe"));
    std::string plainEntry = config.substr(at, config.find("/>", at) - at);
    size_t errflag = plainEntry.find("errflag=\"");
    EXPECT_TRUE(errflag == std::string::npos || plainEntry.compare(errflag, 10, "errflag=\"\"") == 0) << config;
    EXPECT_NE(plainEntry.find("classname=\"TollwickHelperWnd\""), std::string::npos) << config;
}

// A copy of the helper in a folder named with Hangul and Latin letters that
// code page 936 does not have, as a kiosk program may live in. Started again,
// Tollwick marks it (an outline for about three seconds) and starts it when it
// has ended; monitoring disables the finder box, whose picture stays in it.
TEST_F(PickerTest, AProgramOutsideCodePage936IsMarkedAndRestartedAfterTollwickStartsAgain)
{
    const std::wstring folder = dir.Path() + L"\xB370\xBAA8 \x00DCn\x00EF\\";
    const std::wstring exe = otherExe = folder + L"kiosk.exe";
    const std::wstring title = L"\xD55C\xAD6D\xC5B4 \x00DC \U0001F600";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), exe.c_str(), FALSE));
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title \"" + title + L"\"", exe));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(DragTo(Centre(window)));
    ASSERT_EQ(Rows(ProgramList()), 1);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", nullptr), nullptr) << "nothing is lost, nothing to say";
    std::string config = ConfigAfterMonitoring();
    for (std::wstring fact : {L"procpath=\"" + exe + L"\"", L"title=\"" + title + L"\""})
        EXPECT_NE(config.find(tw::ToNarrow(fact.c_str()).c_str()), std::string::npos);

    ASSERT_TRUE(LaunchAside());
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    int before = Brightness(OwnPoint());
    ASSERT_GT(before, 150);
    Command(10420);
    ULONGLONG shown = GetTickCount64();
    ASSERT_TRUE(WaitFor([&] { return Dimmed(before); }, 2000));
    EXPECT_TRUE(IsRed(FramePoint(window)));
    EXPECT_TRUE(IsWindowVisible(Overlay()));
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(Overlay()); }, 6000));
    EXPECT_GE(GetTickCount64() - shown, 2500u);
    EXPECT_TRUE(WaitFor([&] { return Brightness(OwnPoint()) > 150; }, 6000));
    auto darkPixels = [&] {
        RECT r;
        GetWindowRect(Control(kPickerId), &r);
        int dark = 0;
        for (LONG x = r.left + 2; x < r.right - 2; ++x)
            dark += Brightness({x, (r.top + r.bottom) / 2}) < 100;
        return dark;
    };
    ASSERT_TRUE(WaitFor([&] { return darkPixels() > 0; }, 3000)) << "the finder picture is shown";

    helper.Stop();
    SendMessageW(Control(10101), BM_SETCHECK, BST_CHECKED, 0);
    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return Checked(main, 10100); }, 5000))
        << "a box said: " << Narrow(DialogText(FindOwnWindow(app.Id(), L"#32770", nullptr)));
    EXPECT_FALSE(IsWindowEnabled(Control(kPickerId)));
    DWORD restarted = 0;
    EXPECT_TRUE(
        WaitFor([&] { return (restarted = tw::FindProcessRunning(tw::CStrW(exe.c_str()), nullptr, 0)); }, 15000));
    EXPECT_TRUE(WaitFor([&] { return VisibleWindowOf(restarted) != nullptr; }, 5000));
    EXPECT_GT(darkPixels(), 0) << "the picture stays";
}
