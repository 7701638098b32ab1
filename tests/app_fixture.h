// The fixture of the end-to-end suites: the real Tollwick.exe, copied with a
// prepared config.xml into a temporary folder, started and driven only as a
// user or another program could, through window messages to its controls.
#pragma once

#include "monitor/process_query.h"
#include "tests/helper_process.h"
#include "tests/running.h"
#include "tests/test_support.h"
#include "tests/window_wait.h"

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

namespace tw_app_test {

using tw_test::HelperPath;
using tw_test::HelperProcess;

const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";

inline std::string Narrow(const std::wstring& s)
{
    int n = WideCharToMultiByte(936, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(936, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

using tw_test::FindOwnWindow;
using tw_test::TextOf;
using tw_test::WaitFor;

class AppTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        app.Stop();
        KillRestartedHelpers();
    }

    // Instances of the helper that Tollwick started outlive it on purpose;
    // they are ended here so that nothing of a test stays behind.
    static void KillRestartedHelpers() { tw_test::EndAllRunning(HelperPath()); }

    bool Launch(const std::string& config = "")
    {
        std::wstring exe = dir.File(L"Tollwick.exe");
        if (!CopyFileW((tw_test::TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), exe.c_str(), FALSE))
            return false;
        if (!config.empty() && !tw_test::WriteBytes(dir.File(L"config.xml"), config))
            return false;
        if (!app.Start(L"", exe))
            return false;
        // The window exists during its start-up sequence; it is shown after it.
        WaitFor(
            [&] {
                main = FindOwnWindow(app.Id(), kMainClass, nullptr);
                return main && IsWindowVisible(main);
            },
            15000);
        return main != nullptr;
    }

    HWND Control(int id) const { return GetDlgItem(main, id); }
    HWND Tab() const { return Control(10001); }
    HWND Panel() const { return GetDlgItem(Tab(), 10002); }
    bool Checked(HWND parent, int id) const
    {
        return SendMessageW(GetDlgItem(parent, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void Click(int id) const
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
    }
    // Quits as the notification-area menu does and waits for the exit.
    bool Quit()
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        return app.WaitForExit(10000);
    }
    std::string Config() const { return tw_test::ReadBytes(dir.File(L"config.xml")); }
    HWND Dialog(const wchar_t* title, DWORD timeoutMs = 5000) const
    {
        HWND dialog = nullptr;
        WaitFor([&] { return (dialog = FindOwnWindow(app.Id(), L"#32770", title)) != nullptr; }, timeoutMs);
        return dialog;
    }
    // A button of a message box or dialog, pressed as its keyboard would.
    static bool Press(HWND dialog, int button)
    {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return WaitFor([&] { return !IsWindow(dialog); }, 5000);
    }
    // Whether one of the dialog's static controls shows text.
    static bool DialogSays(HWND dialog, const wchar_t* text)
    {
        for (HWND child = dialog ? FindWindowExW(dialog, nullptr, L"Static", nullptr) : nullptr; child;
             child = FindWindowExW(dialog, child, L"Static", nullptr)) {
            if (TextOf(child) == text)
                return true;
        }
        return false;
    }
    HWND ProgramList() const { return GetDlgItem(Tab(), 10004); }
    LRESULT Rows(HWND list) const { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); }
    // Selects a row with a click, the way a user does: list-view messages that
    // carry pointers do not cross processes.
    bool SelectRow(HWND list, int row) const
    {
        RECT header;
        GetWindowRect(reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0)), &header);
        POINT point = {header.left + 20, header.bottom + 4};
        ScreenToClient(list, &point);
        LRESULT height = HIWORD(SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(-1, -1))) -
                         HIWORD(SendMessageW(list, LVM_APPROXIMATEVIEWRECT, 0, MAKELPARAM(-1, -1)));
        point.y += static_cast<LONG>(height > 0 ? height * row : 0);
        LPARAM at = MAKELPARAM(point.x, point.y);
        PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(list, WM_LBUTTONUP, 0, at);
        return WaitFor(
            [&] { return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == row; }, 3000);
    }
    // A screen point on the caption's close button, found by hit-testing.
    bool CloseButtonPoint(POINT* point) const
    {
        RECT frame;
        GetWindowRect(main, &frame);
        for (int y = frame.top; y < frame.top + 40; y += 2) {
            for (int x = frame.right - 1; x > frame.right - 80; x -= 2) {
                if (SendMessageW(main, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
                    *point = {x, y};
                    return true;
                }
            }
        }
        return false;
    }
    // A real click on the caption's close button, in front of every other
    // window (the watched helper may cover the caption).
    void PressCloseButton() const
    {
        SetWindowPos(main, HWND_TOP, 500, 300, 0, 0, SWP_NOSIZE);
        POINT point;
        ASSERT_TRUE(WaitFor([&] { return CloseButtonPoint(&point); }, 2000));
        SetCursorPos(point.x, point.y);
        INPUT clicks[2] = {};
        clicks[0].type = clicks[1].type = INPUT_MOUSE;
        clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, clicks, sizeof(INPUT));
    }

    tw_test::TempDir dir;
    HelperProcess app;
    HWND main = nullptr;
};

inline std::string ConfigWith(const std::string& rootAttributes, const std::string& entries = "")
{
    return "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"1\" closeapp=\"0\" "
           "unresponsetime=\"5\" autoreboot=\"0\" reboottime=\"01:02:03\" " +
           rootAttributes + ">" + entries + "</config>\n";
}

inline std::string Entry(const std::wstring& path)
{
    std::string name = Narrow(path.substr(path.rfind(L'\\') + 1));
    return "<config hwnd=\"0\" procpath=\"" + Narrow(path) + "\" procname=\"" + name + "\" />";
}

inline std::string HelperEntry()
{
    return Entry(HelperPath());
}

} // namespace tw_app_test
