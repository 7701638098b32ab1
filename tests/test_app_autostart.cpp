// Starting with Windows: the real Tollwick.exe and the current user's real
// Run key. Every test leaves the key as it found it.
#include "tests/app_fixture.h"

#include <sddl.h>

#include <string>

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
    std::wstring data = text + L'\0';
    DWORD bytes = static_cast<DWORD>((data.size() + (type == REG_MULTI_SZ ? 1 : 0)) * sizeof(wchar_t));
    return RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName, type, data.c_str(), bytes) == ERROR_SUCCESS;
}

void DeleteRunValue()
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kValueName);
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

// Makes the Run key read-only for everyone while it lives; the owner may
// always change the key's access list, so the old one comes back.
class DeniedRunKey {
public:
    DeniedRunKey()
    {
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, READ_CONTROL | WRITE_DAC, &m_key) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof(m_saved);
        if (RegGetKeySecurity(m_key, DACL_SECURITY_INFORMATION, m_saved, &size) != ERROR_SUCCESS)
            return;
        PSECURITY_DESCRIPTOR readOnly = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &readOnly,
                                                                  nullptr))
            return;
        m_denied = RegSetKeySecurity(m_key, DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
        LocalFree(readOnly);
    }
    ~DeniedRunKey()
    {
        if (m_denied)
            RegSetKeySecurity(m_key, DACL_SECURITY_INFORMATION, m_saved);
        if (m_key)
            RegCloseKey(m_key);
    }
    DeniedRunKey(const DeniedRunKey&) = delete;
    DeniedRunKey& operator=(const DeniedRunKey&) = delete;
    bool Denied() const { return m_denied; }

private:
    HKEY m_key = nullptr;
    alignas(8) unsigned char m_saved[4096] = {};
    bool m_denied = false;
};

class AutostartTest : public AppTest {
protected:
    void SetUp() override { DeleteRunValue(); }
    void TearDown() override
    {
        AppTest::TearDown();
        DeleteRunValue();
    }

    std::wstring Quoted() const { return L"\"" + dir.File(L"Tollwick.exe") + L"\""; }
    HWND Box() const { return GetDlgItem(Panel(), kBootStartBox); }
    // A click on the box, which toggles it and reports the click.
    void ClickBox() const { PostMessageW(Box(), BM_CLICK, 0, 0); }
    // The click report alone, with the box left as it is.
    void ReportClick() const
    {
        SendMessageW(Panel(), WM_COMMAND, MAKEWPARAM(kBootStartBox, BN_CLICKED), reinterpret_cast<LPARAM>(Box()));
    }
    bool HoldsOwnValue() const
    {
        RunValue value = ReadRunValue();
        return value.present && value.type == REG_SZ && value.text == Quoted();
    }
};

} // namespace

TEST_F(AutostartTest, TickingWritesTheQuotedPathAsAString)
{
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return HoldsOwnValue(); }, 3000)) << Narrow(ReadRunValue().text);
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("bootstart=\"1\""), std::string::npos) << Config();
}

TEST_F(AutostartTest, TickingRewritesOurValueInAnotherCaseOrForm)
{
    std::wstring upper = L"\"" + dir.File(L"TOLLWICK.EXE") + L"\"";
    ASSERT_TRUE(WriteRunValue(REG_SZ, upper));
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox)) << "the comparison is case-sensitive";
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return HoldsOwnValue(); }, 3000)) << Narrow(ReadRunValue().text);
    ASSERT_TRUE(Quit());

    // The unquoted multi-string form: the log-on runs only plain strings.
    ASSERT_TRUE(WriteRunValue(REG_MULTI_SZ, dir.File(L"Tollwick.exe")));
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"")));
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return HoldsOwnValue(); }, 3000)) << ReadRunValue().type;
    ASSERT_TRUE(Quit());
}

TEST_F(AutostartTest, OurValueTicksTheBoxAtStartUpAndIsLeftUntouched)
{
    ASSERT_TRUE(WriteRunValue(REG_SZ, Quoted()));
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"")));
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    FILETIME before = RunKeyWriteTime();
    Sleep(50);
    ReportClick();
    FILETIME after = RunKeyWriteTime();
    EXPECT_EQ(CompareFileTime(&before, &after), 0) << "a value that is already ours is not written again";
    EXPECT_TRUE(HoldsOwnValue());
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("bootstart=\"1\""), std::string::npos) << Config();
}

TEST_F(AutostartTest, ClearingDeletesTheValueWhateverItHolds)
{
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"\"C:\\Other\\other.exe\""));
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ReportClick();
    EXPECT_FALSE(ReadRunValue().present);

    ClickBox();
    ASSERT_TRUE(WaitFor([&] { return HoldsOwnValue(); }, 3000));
    ClickBox();
    EXPECT_TRUE(WaitFor([&] { return !ReadRunValue().present; }, 3000));
    EXPECT_FALSE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("bootstart=\"0\""), std::string::npos) << Config();
}

TEST_F(AutostartTest, BootstartWritesTheMissingValueAtStartUp)
{
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"")));
    ASSERT_TRUE(Quit());
    std::string config = Config();
    size_t at = config.find("bootstart=\"0\"");
    ASSERT_NE(at, std::string::npos);
    config.replace(at, 13, "bootstart=\"1\"");
    ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"), config));

    ASSERT_TRUE(Launch());
    EXPECT_TRUE(HoldsOwnValue()) << Narrow(ReadRunValue().text);
    EXPECT_TRUE(Checked(Panel(), kBootStartBox));
    ASSERT_TRUE(Quit());
}

TEST_F(AutostartTest, ADeniedKeySaysSoAndClearsTheBox)
{
    DeniedRunKey denied;
    ASSERT_TRUE(denied.Denied());
    ASSERT_TRUE(Launch());
    ClickBox();
    // The box is found while it may still be building its controls.
    HWND box = nullptr;
    auto saysIt = [&] {
        box = FindOwnWindow(app.Id(), L"#32770", nullptr);
        return DialogSays(box, L"无权限修改启动项");
    };
    ASSERT_TRUE(WaitFor(saysIt, 5000));
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    ASSERT_TRUE(Press(box, IDOK));
    EXPECT_TRUE(WaitFor([&] { return !Checked(Panel(), kBootStartBox); }, 3000));
    EXPECT_FALSE(ReadRunValue().present);
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("bootstart=\"0\""), std::string::npos) << Config();
}

TEST_F(AutostartTest, TheLogOnStartsTollwickFromTheValue)
{
    ASSERT_TRUE(Launch());
    ClickBox();
    ASSERT_TRUE(WaitFor([&] { return HoldsOwnValue(); }, 3000));
    ASSERT_TRUE(Quit());

    // Without options wineboot runs the current user's Run key as a log-on
    // does, skipping values that are not plain strings.
    HelperProcess boot;
    ASSERT_TRUE(boot.Start(L"", L"C:\\windows\\system32\\wineboot.exe"));
    std::wstring exe = dir.File(L"Tollwick.exe");
    HWND started = nullptr;
    EXPECT_TRUE(WaitFor(
        [&] {
            for (HWND w = FindWindowW(kMainClass, nullptr); w; w = FindWindowExW(nullptr, w, kMainClass, nullptr)) {
                DWORD id = 0;
                GetWindowThreadProcessId(w, &id);
                if (_wcsicmp(tw::GetProcessIdImagePath(id).c_str(), exe.c_str()) == 0) {
                    started = w;
                    return true;
                }
            }
            return false;
        },
        20000));
    boot.WaitForExit(20000);
    if (started) {
        DWORD id = 0;
        GetWindowThreadProcessId(started, &id);
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
        PostMessageW(started, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        if (process) {
            if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
                TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
}
