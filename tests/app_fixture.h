// The fixture of the end-to-end suites: the real Tollwick.exe, copied with a
// prepared config.xml into a temporary folder, started and driven only as a
// user or another program could, through window messages to its controls.
#pragma once

#include "tests/helper_process.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

namespace tw_app_test {

using namespace tw_test;

const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";

// Code page 936 bytes, as config.xml holds them and for messages.
inline std::string Narrow(const std::wstring& s)
{
    std::string out(s.size() * 2 + 1, '\0');
    out.resize(static_cast<size_t>(WideCharToMultiByte(936, 0, s.c_str(), static_cast<int>(s.size()), &out[0],
                                                       static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

// The visible main window of that Tollwick process, once its start-up
// sequence has run (it is shown after it); null on time-out.
inline HWND WaitForMainWindow(DWORD processId, DWORD timeoutMs = 15000)
{
    HWND main = nullptr;
    WaitFor([&] { return (main = FindOwnWindow(processId, kMainClass, nullptr)) && IsWindowVisible(main); }, timeoutMs);
    return main;
}

// Without a guardian unless the attributes say selfguard: a test that ends
// Tollwick must not have it brought back.
inline std::string ConfigXml(std::string rootAttributes, const std::string& entries = "")
{
    if (rootAttributes.find("selfguard=") == std::string::npos)
        rootAttributes += " selfguard=\"0\"";
    return "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config " + rootAttributes + ">" + entries + "</config>\n";
}

// The first run's settings but a period of 1 s, and these.
inline std::string ConfigWith(const std::string& rootAttributes, const std::string& entries = "")
{
    return ConfigXml("bootstart=\"0\" monitortime=\"1\" closeapp=\"0\" unresponsetime=\"5\" autoreboot=\"0\" "
                     "reboottime=\"01:02:03\" " +
                         rootAttributes,
                     entries);
}

inline std::string Entry(const std::wstring& path, const std::string& more = "")
{
    return "<config hwnd=\"0\" procpath=\"" + Narrow(path) + "\" procname=\"" +
           Narrow(path.substr(path.rfind(L'\\') + 1)) + "\" " + more + "/>";
}

class AppTest : public ::testing::Test {
protected:
    // Instances of the helper that Tollwick started outlive it on purpose;
    // they are ended here so that nothing of a test stays behind.
    void TearDown() override
    {
        app.Stop();
        // A guardian, and whatever it started again, go too.
        EndAllRunning(dir.File(L"Tollwick.exe"));
        EndAllRunning(HelperPath());
    }

    // Copies Tollwick.exe (and the config, unless empty) into the folder and
    // starts it with these switches.
    bool Launch(const std::string& config = "", const std::wstring& options = L"")
    {
        std::wstring exe = dir.File(L"Tollwick.exe");
        if (!CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), exe.c_str(), FALSE) ||
            (!config.empty() && !WriteBytes(dir.File(L"config.xml"), config)) || !app.Start(options, exe))
            return false;
        return (main = WaitForMainWindow(app.Id())) != nullptr;
    }
    // A helper titled "Watched" started before Tollwick, for its entry.
    bool StartWatched() { return watched.Start(L"--title Watched") && watched.WaitForWindow() != nullptr; }

    // The watched helper, then Tollwick monitoring it (and entries before it)
    // from its start.
    bool LaunchMonitoring(const std::string& attributes = "", const std::string& entries = "")
    {
        return StartWatched() &&
               Launch(ConfigWith("autostartmonitor=\"1\" " + attributes, entries + Entry(HelperPath()))) &&
               Status(L"监控中");
    }

    HWND Control(int id) const { return GetDlgItem(main, id); }
    HWND Tab() const { return Control(10001); }
    HWND Panel() const { return GetDlgItem(Tab(), 10002); }
    HWND ProgramList() const { return GetDlgItem(Tab(), 10004); }
    HWND ErrorList() const { return GetDlgItem(Tab(), 10005); }
    static LRESULT Rows(HWND list) { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); }
    static bool Checked(HWND parent, int id)
    {
        return SendMessageW(GetDlgItem(parent, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    // The status line says text, now or within the time.
    bool Status(const wchar_t* text, DWORD timeoutMs = 5000) const
    {
        return WaitFor([&] { return TextOf(Control(10200)) == text; }, timeoutMs);
    }
    void Click(int id) const
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
    }
    void Command(int id) const { PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    // Quits as the notification-area menu does and waits for the exit.
    bool Quit()
    {
        Command(10441);
        return app.WaitForExit(10000);
    }
    std::string Config() const { return ReadBytes(dir.File(L"config.xml")); }
    bool ConfigHas(const std::string& text) const { return Config().find(text) != std::string::npos; }
    HWND Dialog(const wchar_t* title, DWORD timeoutMs = 5000) const
    {
        HWND dialog = nullptr;
        WaitFor([&] { return (dialog = FindOwnWindow(app.Id(), L"#32770", title)) != nullptr; }, timeoutMs);
        return dialog;
    }
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
        PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(point.x, point.y));
        PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
        return WaitFor(
            [&] { return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == row; }, 3000);
    }
    // A real click on the caption's close button, found by hit-testing, in
    // front of every other window (the watched helper may cover the caption).
    void PressCloseButton() const
    {
        SetWindowPos(main, HWND_TOP, 500, 300, 0, 0, SWP_NOSIZE);
        POINT point = {};
        ASSERT_TRUE(WaitFor(
            [&] {
                // A window that came up meanwhile (a restarted program, say)
                // may cover the button: the click must reach Tollwick.
                SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                RECT frame;
                GetWindowRect(main, &frame);
                for (point.y = frame.top; point.y < frame.top + 40; point.y += 2) {
                    for (point.x = frame.right - 1; point.x > frame.right - 80; point.x -= 2) {
                        if (SendMessageW(main, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y)) == HTCLOSE)
                            return WindowFromPoint(point) == main;
                    }
                }
                return false;
            },
            2000));
        SetCursorPos(point.x, point.y);
        INPUT clicks[2] = {};
        clicks[0].type = clicks[1].type = INPUT_MOUSE;
        clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, clicks, sizeof(INPUT));
    }

    TempDir dir;
    HelperProcess app;
    HelperProcess watched;
    HWND main = nullptr;
};

} // namespace tw_app_test
