// Starting with Windows: the real Tollwick.exe and the current user's real
// Run key. Every test leaves the key as it found it.
#include "monitor/process_query.h"
#include "tests/app_fixture.h"

#include <sddl.h>

using namespace tw_app_test;

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kValueName[] = L"Tollwick_TwDev";
constexpr int kBootStartBox = 10104;

struct RunValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::wstring text;
};

RunValue ReadRunValue()
{
    RunValue value;
    wchar_t data[1024] = {0};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    value.present = RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValueName, RRF_RT_ANY | RRF_NOEXPAND, &value.type, data,
                                 &bytes) == ERROR_SUCCESS;
    value.text = data;
    return value;
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
    void SetUp() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName); }
    void TearDown() override
    {
        AppTest::TearDown();
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName);
    }

    HWND Box() const { return GetDlgItem(Panel(), kBootStartBox); }
    // A click on the box, which toggles it and reports the click.
    void ClickBox() const { PostMessageW(Box(), BM_CLICK, 0, 0); }
    // The click report alone, with the box left as it is.
    void ReportClick() const
    {
        SendMessageW(Panel(), WM_COMMAND, MAKEWPARAM(kBootStartBox, BN_CLICKED), reinterpret_cast<LPARAM>(Box()));
    }
    // The value holds Tollwick's path in double quotes, as a plain string.
    bool HoldsOwnValue(DWORD timeoutMs = 3000) const
    {
        return WaitFor(
            [&] {
                RunValue value = ReadRunValue();
                return value.present && value.type == REG_SZ && value.text == L"\"" + dir.File(L"Tollwick.exe") + L"\"";
            },
            timeoutMs);
    }
};

} // namespace

// Another program's value is deleted by a clear; ticking writes ours, which
// ticks the box at the next start and is not written again; clearing deletes
// it. bootstart follows the box.
TEST_F(AutostartTest, TickingWritesTheQuotedPathAndClearingDeletesTheValue)
{
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"\"C:\\Other\\other.exe\""));
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ReportClick();
    EXPECT_FALSE(ReadRunValue().present);
    ClickBox();
    EXPECT_TRUE(HoldsOwnValue()) << Narrow(ReadRunValue().text);
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"1\"")) << Config();

    ASSERT_TRUE(Launch());
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    FILETIME before = RunKeyWriteTime();
    Sleep(50);
    ReportClick();
    FILETIME after = RunKeyWriteTime();
    EXPECT_EQ(CompareFileTime(&before, &after), 0) << "a value that is already ours is not written again";
    EXPECT_TRUE(HoldsOwnValue(0));
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return !ReadRunValue().present; }, 3000));
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"0\"")) << Config();
}

// The comparison is case-sensitive, and the log-on runs only plain strings.
TEST_F(AutostartTest, TickingRewritesOurValueInAnotherCaseOrForm)
{
    const std::pair<DWORD, std::wstring> forms[] = {{REG_SZ, L"\"" + dir.File(L"TOLLWICK.EXE") + L"\""},
                                                    {REG_MULTI_SZ, dir.File(L"Tollwick.exe")}};
    for (const auto& form : forms) {
        ASSERT_TRUE(WriteRunValue(form.first, form.second));
        ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"")));
        EXPECT_FALSE(Checked(Panel(), kBootStartBox)) << form.first;
        ClickBox();
        EXPECT_TRUE(HoldsOwnValue()) << form.first;
        ASSERT_TRUE(Quit());
    }
}

TEST_F(AutostartTest, BootstartWritesTheMissingValueAtStartUp)
{
    ASSERT_TRUE(Launch(ConfigXml("bootstart=\"1\"")));
    EXPECT_TRUE(HoldsOwnValue(0)) << Narrow(ReadRunValue().text);
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
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
    EXPECT_FALSE(ReadRunValue().present);
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("bootstart=\"0\"")) << Config();
}

TEST_F(AutostartTest, TheLogOnStartsTollwickFromTheValue)
{
    ASSERT_TRUE(Launch());
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
