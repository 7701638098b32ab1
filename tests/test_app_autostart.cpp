// Starting with Windows: the real Tollwick.exe, the current user's real
// Run key and the real Task Scheduler. Every test leaves the key as it found
// it, and no task of its Tollwick's folder behind.
#include "monitor/process_query.h"
#include "tests/app_fixture.h"
#include "ui/backstop_task.h"

#include <sddl.h>
#include <taskschd.h>

using namespace tw_app_test;

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kValueName[] = L"Tollwick_TwDev";
constexpr int kBootStartBox = 10104;

// The value as "type|text" (a REG_SZ is "1|..."); empty when there is none.
std::wstring RunValue()
{
    wchar_t data[1024] = {0};
    DWORD bytes = sizeof(data) - sizeof(wchar_t), type = REG_NONE;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValueName, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &bytes) !=
        ERROR_SUCCESS)
        return L"";
    return std::to_wstring(type) + L"|" + data;
}

bool WriteRunValue(DWORD type, const std::wstring& text)
{
    // A multi-string ends with an empty string: two zeros.
    DWORD bytes = static_cast<DWORD>((text.size() + (type == REG_MULTI_SZ ? 2 : 1)) * sizeof(wchar_t));
    return RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName, type, (text + L'\0').c_str(), bytes) ==
           ERROR_SUCCESS;
}

FILETIME RunKeyWriteTime()
{
    FILETIME time = {};
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &time);
        RegCloseKey(key);
    }
    return time;
}

class AutostartTest : public AppTest {
protected:
    void SetUp() override
    {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName);
        tw::DeleteScheduledTask(TaskName(), nullptr);
    }
    void TearDown() override
    {
        AppTest::TearDown();
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName);
        tw::DeleteScheduledTask(TaskName(), nullptr);
    }

    // The backstop task of the Tollwick in the test's folder.
    tw::CStrW TaskName() const { return tw::BackstopTaskNameFor(dir.Path().c_str()); }
    bool TaskRegistered(tw::ScheduledTaskInfo* info = nullptr) const
    {
        tw::ScheduledTaskInfo read;
        bool found = tw::ReadScheduledTask(TaskName(), &read, nullptr);
        if (info)
            *info = read;
        return found;
    }

    HWND Box() const { return GetDlgItem(Panel(), kBootStartBox); }
    // A click on the box, which toggles it and reports the click.
    void ClickBox() const { PostMessageW(Box(), BM_CLICK, 0, 0); }
    // The click report alone, with the box left as it is.
    void ReportClick() const
    {
        SendMessageW(Panel(), WM_COMMAND, MAKEWPARAM(kBootStartBox, BN_CLICKED), reinterpret_cast<LPARAM>(Box()));
    }
    // The value holds Tollwick's path in double quotes and the switch of a
    // start with Windows, as a plain string.
    bool HoldsOwnValue(DWORD timeoutMs = 3000) const
    {
        return WaitFor([&] { return RunValue() == L"1|\"" + dir.File(L"Tollwick.exe") + L"\" /autostart"; }, timeoutMs);
    }
};

} // namespace

// A value in another form is not ours: a multi-string here, our path in
// another case in the log-on test (the log-on runs only plain strings, and the
// comparison is case-sensitive). A clear deletes any value; ticking writes
// ours, which is not written again. bootstart follows the box and writes a
// missing value at start-up.
TEST_F(AutostartTest, TickingWritesTheQuotedPathAndClearingDeletesTheValue)
{
    ASSERT_TRUE(WriteRunValue(REG_MULTI_SZ, dir.File(L"Tollwick.exe")));
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ReportClick();
    EXPECT_EQ(RunValue(), L"");
    ClickBox();
    EXPECT_TRUE(HoldsOwnValue()) << Narrow(RunValue());
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"1\"")) << Config();

    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName);
    ASSERT_TRUE(Launch());
    EXPECT_TRUE(HoldsOwnValue(0)) << Narrow(RunValue());
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    FILETIME before = RunKeyWriteTime();
    Sleep(50);
    ReportClick();
    FILETIME after = RunKeyWriteTime();
    EXPECT_EQ(CompareFileTime(&before, &after), 0) << "a value that is already ours is not written again";
    EXPECT_TRUE(HoldsOwnValue(0));
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return RunValue().empty(); }, 3000));
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"0\"")) << Config();
}

// The Run key read-only for everyone, for as long as the test runs; the
// owner may always change the key's access list, so the old one comes back.
TEST_F(AutostartTest, ADeniedKeySaysSoAndClearsTheBox)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, READ_CONTROL | WRITE_DAC, &key), ERROR_SUCCESS);
    alignas(8) unsigned char saved[4096] = {};
    DWORD size = sizeof(saved);
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved, &size), ERROR_SUCCESS);
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &readOnly, nullptr));
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly), ERROR_SUCCESS);
    LocalFree(readOnly);
    bool launched = Launch();
    ClickBox();
    // The box is found while it may still be building its controls.
    HWND box = nullptr;
    bool said = launched && WaitFor(
                                [&] {
                                    box = FindOwnWindow(app.Id(), L"#32770", nullptr);
                                    return DialogText(box) == L"无权限修改启动项";
                                },
                                5000);
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved);
    RegCloseKey(key);
    ASSERT_TRUE(said);
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    ASSERT_TRUE(Press(box, IDOK));
    EXPECT_TRUE(WaitFor([&] { return !Checked(Panel(), kBootStartBox); }, 3000));
    EXPECT_EQ(RunValue(), L"");
    EXPECT_FALSE(TaskRegistered()) << "no backstop without the Run value";
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"0\"")) << Config();
}

// The quoted path alone, as versions before the switch wrote it, is still
// Tollwick's own: the box stays ticked and the value takes the switch.
TEST_F(AutostartTest, AValueOfTheOlderFormKeepsTheTickAndIsRewritten)
{
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"\"" + dir.File(L"Tollwick.exe") + L"\""));
    ASSERT_TRUE(Launch());
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    EXPECT_TRUE(HoldsOwnValue()) << Narrow(RunValue());
    ASSERT_TRUE(Quit());
}

// The backstop task goes with the box: ticking registers it under the name of
// Tollwick's folder, a start-up with bootstart set registers a missing one
// again, and clearing the box deletes it. Wine keeps the task's settings but
// not its command, which is compared where the system reads it back.
TEST_F(AutostartTest, TickingRegistersTheBackstopTaskAndClearingDeletesIt)
{
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(TaskRegistered());
    ClickBox();
    EXPECT_TRUE(HoldsOwnValue()) << Narrow(RunValue());
    tw::ScheduledTaskInfo info;
    ASSERT_TRUE(WaitFor([&] { return TaskRegistered(&info); }, 15000));
    EXPECT_EQ(info.instancesPolicy, TASK_INSTANCES_IGNORE_NEW);
    EXPECT_STREQ(info.executionTimeLimit.c_str(), L"PT0S");
    if (info.actionCount >= 0) {
        EXPECT_EQ(std::wstring(info.command.c_str()), dir.File(L"Tollwick.exe"));
        EXPECT_STREQ(info.arguments.c_str(), L"/backstop");
    }
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"1\"")) << Config();

    ASSERT_TRUE(tw::DeleteScheduledTask(TaskName(), nullptr));
    ASSERT_TRUE(Launch());
    EXPECT_TRUE(WaitFor([&] { return TaskRegistered(); }, 15000)) << "bootstart registers it at start-up";
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return RunValue().empty(); }, 3000));
    EXPECT_TRUE(WaitFor([&] { return !TaskRegistered(); }, 15000));
    ASSERT_TRUE(Quit());
}

TEST_F(AutostartTest, TheLogOnStartsTollwickFromTheValue)
{
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"\"" + dir.File(L"TOLLWICK.EXE") + L"\""));
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ClickBox();
    ASSERT_TRUE(HoldsOwnValue());
    ASSERT_TRUE(Quit());
    // Without options wineboot runs the current user's Run key as a log-on
    // does, skipping values that are not plain strings.
    HelperProcess boot, started;
    ASSERT_TRUE(boot.Start(L"", L"C:\\windows\\system32\\wineboot.exe"));
    EXPECT_TRUE(WaitFor(
        [&] {
            for (HWND w = FindWindowW(kMainClass, nullptr); w; w = FindWindowExW(nullptr, w, kMainClass, nullptr)) {
                DWORD id = 0;
                GetWindowThreadProcessId(w, &id);
                if (_wcsicmp(tw::GetProcessIdImagePath(id).c_str(), dir.File(L"Tollwick.exe").c_str()) == 0)
                    return started.Adopt(w);
            }
            return false;
        },
        20000));
    boot.WaitForExit(20000);
    PostMessageW(FindOwnWindow(started.Id(), kMainClass, nullptr), WM_COMMAND, MAKEWPARAM(10441, 0), 0);
    started.WaitForExit(10000);
}
