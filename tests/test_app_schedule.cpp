// The real Tollwick.exe: the advanced settings dialog behind "更多配置" and the
// countdown page of the scheduler.
#include "tests/app_fixture.h"

#include <time.h>

using namespace tw_app_test;

namespace {

class SettingsDialogTest : public AppTest {
protected:
    // Presses "更多配置" as its button does and waits for the dialog. It is
    // shown only after it filled its fields, so a test's edits come after.
    HWND OpenSettings()
    {
        HWND button = GetDlgItem(Panel(), 10003);
        PostMessageW(Panel(), WM_COMMAND, MAKEWPARAM(10003, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        HWND dialog = Dialog(L"高级配置");
        if (dialog && !WaitFor([&] { return IsWindowVisible(dialog) != FALSE; }, 10000))
            return nullptr;
        return dialog;
    }
    // Closes the dialog through its title bar's close command.
    static bool CloseSettings(HWND dialog)
    {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return WaitFor([&] { return !IsWindow(dialog); }, 5000);
    }
    static std::wstring Field(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }
    static void SetField(HWND dialog, int id, const wchar_t* text)
    {
        SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 2000,
                            nullptr);
    }
    static std::wstring ComboEntry(HWND combo, int index)
    {
        wchar_t text[512] = {0};
        SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text),
                            SMTO_NORMAL, 2000, nullptr);
        return text;
    }
    // Picks an entry as the drop-down list does: it opens (the shown fields
    // are taken), the selection moves, the choice is confirmed.
    static void PickEntry(HWND dialog, int index)
    {
        HWND combo = GetDlgItem(dialog, 1006);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1006, CBN_DROPDOWN), reinterpret_cast<LPARAM>(combo));
        PostMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1006, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
    }
};

// The configuration with one of its root attributes set to another value.
std::string WithAttribute(std::string config, const std::string& key, const std::string& value)
{
    size_t at = config.find(" " + key + "=\"");
    if (at == std::string::npos)
        return config;
    size_t start = at + key.size() + 3;
    config.replace(start, config.find('"', start) - start, value);
    return config;
}

std::string ProgramEntry(const std::wstring& path, const std::string& more)
{
    std::string name = Narrow(path.substr(path.rfind(L'\\') + 1));
    return "<config hwnd=\"0\" procpath=\"" + Narrow(path) + "\" procname=\"" + name + "\" " + more + " />";
}

// A reboot time of day half a day away on the UTC+8 clock: the countdown
// shows, and no test run can reach it.
std::string RebootTimeFarAway()
{
    long long t = (static_cast<long long>(_time64(nullptr)) + 8 * 3600 + 12 * 3600) % 86400;
    char text[16];
    snprintf(text, sizeof(text), "%02d:%02d:%02d", static_cast<int>(t / 3600), static_cast<int>((t / 60) % 60),
             static_cast<int>(t % 60));
    return text;
}

// The row of a key in the README's config.xml reference, "| `key` | ... |".
std::string ReadmeRow(const std::string& key)
{
    std::string readme = tw_test::ReadBytes(tw_test::TestBinaryDirectory() + L"README.md");
    size_t at = readme.find("\n| `" + key + "` |");
    return at == std::string::npos ? std::string() : readme.substr(at + 1, readme.find('\n', at + 1) - at - 1);
}

// A moment as Tollwick stores it, "YYYY-MM-DD hh:mm:ss" on the UTC+8 clock.
std::string Utc8Text(long long moment)
{
    __time64_t shifted = moment + 8 * 3600;
    struct tm parts = {};
    _gmtime64_s(&parts, &shifted);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

} // namespace

TEST_F(SettingsDialogTest, MoreSettingsOpensTheDialogWithTheStoredFields)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    std::wstring one = HelperPath();
    std::wstring two = dir.File(L"two.exe");
    std::string entries =
        ProgramEntry(one, "message=\"1234\" command=\"--a b\" arg=\"" + Narrow(L"x|__#_换_行_符__|y") + "\"") +
        ProgramEntry(two, "");
    ASSERT_TRUE(Launch(
        WithAttribute(ConfigWith("timingclosecheck=\"1\" "
                                 "timingclosecheck_everyday=\"1\" timingclose_everyday_time=\"2026-12-01 22:00:00\" "
                                 "timingrun_everyday_time=\"2026-12-01 06:07:08\"",
                                 entries),
                      "monitortime", "7")));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Field(dialog, 1001), L"7");
    EXPECT_EQ(Field(dialog, 1002), L"5");
    EXPECT_EQ(Field(dialog, 1004), L"06:07:08");
    EXPECT_EQ(Field(dialog, 1003), L"22:00:00");
    EXPECT_FALSE(Checked(dialog, 1005));
    EXPECT_FALSE(Checked(dialog, 1008));
    EXPECT_TRUE(Checked(dialog, 1007));
    EXPECT_TRUE(Checked(dialog, 1009));

    HWND combo = GetDlgItem(dialog, 1006);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(ComboEntry(combo, 0), L"tollwick_helper.exe|Watched") << "table order, name|title";
    EXPECT_EQ(ComboEntry(combo, 1), L"two.exe|");
    EXPECT_EQ(Field(dialog, 1013), one);
    EXPECT_EQ(Field(dialog, 1011), L"1234");
    EXPECT_EQ(Field(dialog, 1010), L"--a b");
    EXPECT_EQ(Field(dialog, 1012), L"x|__#_换_行_符__|y");
    ASSERT_TRUE(CloseSettings(dialog));
    ASSERT_TRUE(Quit());
}

TEST_F(SettingsDialogTest, ClosingStoresTheGlobalAndEachProgramsFields)
{
    std::wstring one = dir.File(L"one.exe");
    std::wstring two = dir.File(L"two.exe");
    std::string entries =
        ProgramEntry(one, "message=\"3\" command=\"--old\" arg=\"old\" stabletime=\"90\"") + ProgramEntry(two, "");
    ASSERT_TRUE(Launch(ConfigWith("", entries)));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    SetField(dialog, 1001, L"11");
    SetField(dialog, 1002, L"13");
    SetField(dialog, 1010, L"");
    SetField(dialog, 1011, L"77");
    SetField(dialog, 1012, L"p1\r\np2");
    EXPECT_EQ(Field(dialog, 1014), L"90");
    SetField(dialog, 1016, L"512");
    PickEntry(dialog, 1);
    ASSERT_TRUE(WaitFor([&] { return Field(dialog, 1013) == two; }, 10000)) << "the second entry is the second program";
    EXPECT_EQ(Field(dialog, 1010), L"");
    SetField(dialog, 1010, L"two-cmd");
    SetField(dialog, 1011, L"5");
    PickEntry(dialog, 0);
    ASSERT_TRUE(WaitFor([&] { return Field(dialog, 1013) == one; }, 10000));
    EXPECT_EQ(Field(dialog, 1011), L"77") << "the first program kept its edits";
    EXPECT_EQ(Field(dialog, 1012), L"p1|__#_换_行_符__|p2") << "a line break comes back as the marker";
    ASSERT_TRUE(CloseSettings(dialog));

    std::string config = Config();
    EXPECT_NE(config.find("monitortime=\"11\""), std::string::npos) << config;
    EXPECT_NE(config.find("unresponsetime=\"13\""), std::string::npos) << config;
    size_t second = config.find("two.exe");
    ASSERT_NE(second, std::string::npos) << config;
    std::string first = config.substr(0, second);
    std::string last = config.substr(second);
    EXPECT_NE(first.find("message=\"77\""), std::string::npos) << config;
    EXPECT_NE(first.find("command=\"\""), std::string::npos) << "an emptied command line stays empty: " << config;
    EXPECT_NE(first.find("arg=\"" + Narrow(L"p1|__#_换_行_符__|p2") + "\""), std::string::npos) << config;
    EXPECT_NE(
        first.find("stabletime=\"90\" backoffmax=\"300\" keepplacement=\"0\" memorylimit=\"512\" memorycycles=\"3\""),
        std::string::npos)
        << "the recovery keys, absent ones as for an earlier version's entry: " << config;
    EXPECT_NE(last.find("message=\"5\""), std::string::npos) << config;
    EXPECT_NE(last.find("command=\"two-cmd\""), std::string::npos) << config;
    for (const char* key : {"command", "arg"})
        EXPECT_NE(ReadmeRow(key).find("(also when emptied) |"), std::string::npos) << "README: " << ReadmeRow(key);
    for (const char* key : {"stabletime", "backoffmax", "keepplacement", "placement", "memorylimit", "memorycycles"})
        EXPECT_FALSE(ReadmeRow(key).empty()) << "README has no row for " << key;
    ASSERT_TRUE(Quit());

    ASSERT_TRUE(Launch());
    dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Field(dialog, 1010), L"") << "the old command line does not come back";
    EXPECT_EQ(Field(dialog, 1011), L"77");
    ASSERT_TRUE(CloseSettings(dialog));
    ASSERT_TRUE(Quit());
}

// Opening and closing the dialog must not change what the engine does: an
// absent hang grace and a period of 0 are both 5 s to it.
TEST_F(SettingsDialogTest, TheDialogShowsAndKeepsTheValuesTheEngineUses)
{
    ASSERT_TRUE(Launch("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"0\" />\n"));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Field(dialog, 1001), L"5");
    EXPECT_EQ(Field(dialog, 1002), L"5");
    ASSERT_TRUE(CloseSettings(dialog));
    std::string config = Config();
    EXPECT_NE(config.find("monitortime=\"5\""), std::string::npos) << config;
    EXPECT_NE(config.find("unresponsetime=\"5\""), std::string::npos) << config;
    ASSERT_TRUE(Quit());
}

// Without a caption the system titles a box "Error", whatever it says.
TEST_F(SettingsDialogTest, ItsMessageBoxesAreTitledWithTheProgramsName)
{
    struct {
        std::string entries;
        const wchar_t* text;
    } cases[] = {
        {"", L"未设置需要监控的程序"},
        {ProgramEntry(dir.File(L"one.exe"), ""), L"设置的时间不能小于现在的时间\r\n设置的时间为："},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Launch(ConfigWith("", c.entries)));
        HWND dialog = OpenSettings();
        ASSERT_NE(dialog, nullptr);
        SetField(dialog, 1003, L"00:00:00");
        PostMessageW(GetDlgItem(dialog, 1007), BM_CLICK, 0, 0);
        HWND box = Dialog(L"Tollwick");
        ASSERT_NE(box, nullptr) << Narrow(c.text);
        EXPECT_TRUE(WaitFor(
            [&] {
                for (HWND t = FindWindowExW(box, nullptr, L"Static", nullptr); t;
                     t = FindWindowExW(box, t, L"Static", nullptr)) {
                    if (TextOf(t).find(c.text) == 0)
                        return true;
                }
                return false;
            },
            3000))
            << Narrow(c.text);
        ASSERT_TRUE(Press(box, IDOK));
        ASSERT_TRUE(CloseSettings(dialog));
        ASSERT_TRUE(Quit());
    }
}

TEST_F(SettingsDialogTest, LettersTypedIntoATimeFieldAreDropped)
{
    ASSERT_TRUE(Launch());
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    for (int id : {1003, 1004}) {
        HWND field = GetDlgItem(dialog, id);
        for (wchar_t c : std::wstring(L"1a2:x3-5 b"))
            PostMessageW(field, WM_CHAR, c, 1);
        EXPECT_TRUE(WaitFor([&] { return Field(dialog, id) == L"12:35"; }, 3000)) << Narrow(Field(dialog, id));
    }
    ASSERT_TRUE(CloseSettings(dialog));
    ASSERT_TRUE(Quit());
}

TEST_F(AppTest, TheCountdownPageTicksWhileMonitoringAndFreezesWhenItStops)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    std::string config = ConfigWith("autostartmonitor=\"1\"", HelperEntry());
    config = WithAttribute(WithAttribute(config, "autoreboot", "1"), "reboottime", RebootTimeFarAway());
    ASSERT_TRUE(Launch(config));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    HWND countdown = GetDlgItem(Tab(), 10301);
    ASSERT_TRUE(WaitFor([&] { return TextOf(countdown).find(L"定时重启电脑,剩余:") == 0; }, 5000))
        << Narrow(TextOf(countdown));
    std::wstring shown = TextOf(countdown);
    EXPECT_NE(shown.find(L"秒)\r\n重启时间:"), std::wstring::npos) << Narrow(shown);
    EXPECT_NE(shown.find(L"\r\n现在时间:"), std::wstring::npos) << Narrow(shown);
    EXPECT_EQ(shown.substr(shown.size() - 4), L"\r\n\r\n");
    EXPECT_TRUE(WaitFor([&] { return TextOf(countdown) != shown; }, 5000)) << "it ticks";
    EXPECT_TRUE(WaitFor([&] { return TextOf(Control(10201)) != L"已监控：0天 00:00:00"; }, 5000));

    // Hidden to the tray the clock counts on but draws nothing; shown again,
    // it draws at once what it counted.
    const UINT trayCallback = 0x2DA5;
    SendMessageW(main, trayCallback, 0, WM_LBUTTONDOWN);
    ASSERT_FALSE(IsWindowVisible(main));
    std::wstring hidden = TextOf(Control(10201));
    Sleep(2500);
    EXPECT_EQ(TextOf(Control(10201)), hidden) << "nothing drawn while hidden";
    SendMessageW(main, trayCallback, 0, WM_LBUTTONDOWN);
    ASSERT_TRUE(IsWindowVisible(main));
    std::wstring counted = TextOf(Control(10201));
    EXPECT_GT(counted, hidden) << "the time counted while hidden shows at once";

    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"已取消监控"; }, 10000));
    std::wstring frozen = TextOf(countdown);
    std::wstring uptime = TextOf(Control(10201));
    Sleep(2500);
    EXPECT_EQ(TextOf(countdown), frozen) << "no ticks while monitoring is off";
    EXPECT_EQ(TextOf(Control(10201)), uptime);
    ASSERT_TRUE(Quit());
}

// The tick on which the daily close fires shows the moment it reached; the
// countdown stays there, as monitoring has stopped.
TEST_F(AppTest, TheDailyCloseShowsTheMomentItReachedOnTheTickItFires)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    std::string moment = Utc8Text(static_cast<long long>(_time64(nullptr)) + 6);
    ASSERT_TRUE(Launch(ConfigWith(
        "autostartmonitor=\"1\" timingclosecheck_everyday=\"1\" timingclose_everyday_time=\"" + moment + "\"",
        HelperEntry())));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"已取消监控"; }, 15000)) << "the daily close acted";
    std::wstring shown = TextOf(GetDlgItem(Tab(), 10301));
    const std::wstring label = L"每天定时关闭程序,剩余:";
    ASSERT_EQ(shown.find(label), 0u) << Narrow(shown);
    long long remaining = _wtoi64(shown.c_str() + label.size());
    EXPECT_LE(remaining, 0) << Narrow(shown);
    EXPECT_GT(remaining, -120) << Narrow(shown);
    std::wstring target = L"目标时间：" + std::wstring(moment.begin(), moment.end()) + L"\r\n";
    EXPECT_NE(shown.find(target), std::wstring::npos) << Narrow(shown);
    ASSERT_TRUE(Quit());
}

// A once-only close or run whose moment passed while Tollwick was not running
// (a power cut, a day off) is dropped and logged, not carried out at start-up.
TEST_F(AppTest, AOnceOnlyMomentPassedBeforeTheStartIsDroppedAndLogged)
{
    std::string passed = Utc8Text(static_cast<long long>(_time64(nullptr)) - 600);
    struct {
        std::string keys;
        const wchar_t* status;
        const char* cleared;
    } cases[] = {
        {"autostartmonitor=\"1\" timingclosecheck=\"1\" timingclose_everyday_time=\"" + passed + "\"", L"监控中",
         "timingclosecheck=\"0\""},
        {"timingruncheck=\"1\" timingrun_everyday_time=\"" + passed + "\"", L"未开启监控", "timingruncheck=\"0\""},
    };
    for (const auto& c : cases) {
        HelperProcess helper;
        ASSERT_TRUE(helper.Start(L"--title Watched"));
        ASSERT_NE(helper.WaitForWindow(), nullptr);
        ASSERT_TRUE(Launch(ConfigWith(c.keys, HelperEntry())));
        // A stale moment would act on the first tick, a second after the start.
        Sleep(3000);
        EXPECT_EQ(TextOf(Control(10200)), c.status) << c.keys;
        EXPECT_TRUE(helper.IsRunning()) << c.keys;
        EXPECT_EQ(Rows(GetDlgItem(Tab(), 10005)), &c == cases ? 3 : 7) << "logged (after the earlier run's four lines)";
        ASSERT_TRUE(Quit());
        EXPECT_NE(Config().find(c.cleared), std::string::npos) << Config();
    }
}
