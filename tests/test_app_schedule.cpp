// The real Tollwick.exe: the advanced settings dialog behind "更多配置" and the
// countdown page of the scheduler.
#include "tests/app_fixture.h"

using namespace tw_app_test;

namespace {

class SettingsDialogTest : public AppTest {
protected:
    // Presses "更多配置" as its button does and waits for the dialog. It is
    // shown only after it filled its fields, so a test's edits come after.
    HWND OpenSettings()
    {
        PostMessageW(Panel(), WM_COMMAND, MAKEWPARAM(10003, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(Panel(), 10003)));
        HWND dialog = Dialog(L"高级配置");
        return WaitFor([&] { return IsWindowVisible(dialog) != FALSE; }, 10000) ? dialog : nullptr;
    }
    // Closes the dialog through its title bar's close command, which stores.
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

} // namespace

// An absent hang grace and a period of 0 are both 5 s to the engine: the
// dialog shows and keeps that.
TEST_F(SettingsDialogTest, MoreSettingsOpensTheDialogWithTheStoredFieldsAndTheEnginesValues)
{
    ASSERT_TRUE(StartWatched());
    std::string entries =
        Entry(HelperPath(), "message=\"1234\" command=\"--a b\" arg=\"" + Narrow(L"x|__#_换_行_符__|y") + "\"") +
        Entry(dir.File(L"two.exe"));
    ASSERT_TRUE(Launch(ConfigXml("monitortime=\"0\" timingclosecheck=\"1\" timingclosecheck_everyday=\"1\" "
                                 "timingclose_everyday_time=\"2026-12-01 22:00:00\" "
                                 "timingrun_everyday_time=\"2026-12-01 06:07:08\"",
                                 entries)));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    const std::pair<int, std::wstring> fields[] = {
        {1001, L"5"},         {1002, L"5"},    {1004, L"06:07:08"}, {1003, L"22:00:00"},
        {1013, HelperPath()}, {1011, L"1234"}, {1010, L"--a b"},    {1012, L"x|__#_换_行_符__|y"},
    };
    for (const auto& field : fields)
        EXPECT_EQ(Field(dialog, field.first), field.second) << field.first;
    for (int box : {1005, 1007, 1008, 1009})
        EXPECT_EQ(Checked(dialog, box), box == 1007 || box == 1009) << box;
    HWND combo = GetDlgItem(dialog, 1006);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 2);
    wchar_t entry[2][64] = {};
    for (int i = 0; i < 2; ++i)
        SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry[i]),
                            SMTO_NORMAL, 2000, nullptr);
    EXPECT_EQ(std::wstring(entry[0]) + L";" + entry[1], L"tollwick_helper.exe|Watched;two.exe|")
        << "table order, name|title";
    ASSERT_TRUE(CloseSettings(dialog));
    EXPECT_TRUE(ConfigHas("monitortime=\"5\"") && ConfigHas("unresponsetime=\"5\"")) << Config();
}

TEST_F(SettingsDialogTest, ClosingStoresTheGlobalAndEachProgramsFields)
{
    std::wstring one = dir.File(L"one.exe");
    std::wstring two = dir.File(L"two.exe");
    ASSERT_TRUE(Launch(
        ConfigWith("", Entry(one, "message=\"3\" command=\"--old\" arg=\"old\" stabletime=\"90\"") + Entry(two))));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    // Letters typed into a time field are dropped.
    for (int id : {1003, 1004}) {
        for (wchar_t c : std::wstring(L"1a2:x3-5 b"))
            PostMessageW(GetDlgItem(dialog, id), WM_CHAR, c, 1);
        EXPECT_TRUE(WaitFor([&] { return Field(dialog, id) == L"12:35"; }, 3000)) << Narrow(Field(dialog, id));
    }
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
    size_t second = config.find("two.exe");
    ASSERT_NE(second, std::string::npos) << config;
    for (const char* global : {"monitortime=\"11\"", "unresponsetime=\"13\""})
        EXPECT_NE(config.find(global), std::string::npos) << global << " in " << config;
    // An emptied command line is stored empty; absent recovery keys are
    // stored as for an earlier version's entry.
    for (const wchar_t* first : {L"message=\"77\"", L"command=\"\"", L"arg=\"p1|__#_换_行_符__|p2\"",
                                 L"stabletime=\"90\" backoffmax=\"300\" keepplacement=\"0\" memorylimit=\"512\" "
                                 L"memorycycles=\"3\""})
        EXPECT_LT(config.find(Narrow(first)), second) << Narrow(first) << " in " << config;
    for (const char* last : {"message=\"5\"", "command=\"two-cmd\""})
        EXPECT_NE(config.find(last, second), std::string::npos) << last << " in " << config;
    ASSERT_TRUE(Quit());

    ASSERT_TRUE(Launch());
    dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Field(dialog, 1001), L"11");
    EXPECT_EQ(Field(dialog, 1010), L"") << "the old command line does not come back";
    EXPECT_EQ(Field(dialog, 1011), L"77");
    // Without a caption the system would title a box "Error", whatever it says.
    SetField(dialog, 1003, L"00:00:00");
    PostMessageW(GetDlgItem(dialog, 1007), BM_CLICK, 0, 0);
    HWND box = Dialog(L"Tollwick");
    EXPECT_TRUE(WaitFor([&] { return DialogText(box).find(L"设置的时间不能小于现在的时间\r\n") == 0; }, 3000));
    ASSERT_TRUE(Press(box, IDOK));
    // Period and grace past the engine's longest time are stored as it: a
    // typed one stops at five digits, a set one is beyond any number.
    SetField(dialog, 1001, L"");
    for (wchar_t c : std::wstring(L"99999999999"))
        PostMessageW(GetDlgItem(dialog, 1001), WM_CHAR, c, 1);
    EXPECT_TRUE(WaitFor([&] { return Field(dialog, 1001) == L"99999"; }, 3000)) << Narrow(Field(dialog, 1001));
    SetField(dialog, 1002, L"99999999999");
    ASSERT_TRUE(CloseSettings(dialog));
    EXPECT_TRUE(ConfigHas("monitortime=\"86400\"") && ConfigHas("unresponsetime=\"86400\"")) << Config();
}

// Each program's field shows on its page of the tabs alone and is stored under
// its key; the dialog fits a 1024x768 screen.
TEST_F(SettingsDialogTest, EachProgramFieldIsOnItsPageAndStoredUnderItsKey)
{
    struct Row {
        int page;
        int id;
        const wchar_t* typed; // for the box: ticked
        const char* key;
    };
    const Row rows[] = {
        {0, 1010, L"--go", "command"},
        {0, 1011, L"42", "message"},
        {0, 1012, L"p", "arg"},
        {1, 1014, L"30", "stabletime"},
        {1, 1015, L"120", "backoffmax"},
        {1, 1018, L"1", "keepplacement"},
        {1, 1016, L"256", "memorylimit"},
        {1, 1017, L"4", "memorycycles"},
        {2, 1020, L"%TEMP%\\beat.txt", "heartbeatfile"},
        {2, 1021, L"45", "heartbeattime"},
        {2, 1022, L"tcp://127.0.0.1:8080", "healthurl"},
        {2, 1023, L"150", "cpulimit"},
        {2, 1024, L"7", "cpucycles"},
        {2, 1025, L"20", "healthgrace"},
        {2, 1026, L"5", "healthcycles"},
    };
    ASSERT_TRUE(Launch(ConfigWith("", Entry(dir.File(L"one.exe")))));
    HWND dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    RECT frame;
    GetWindowRect(dialog, &frame);
    EXPECT_LE(frame.bottom - frame.top, 600) << "the whole dialog on a 1024x768 screen";
    HWND tabs = GetDlgItem(dialog, 1019);
    for (const Row& row : rows) {
        // Focusing a tab selects it and tells the dialog, as a click does.
        SendMessageW(tabs, TCM_SETCURFOCUS, static_cast<WPARAM>(row.page), 0);
        for (const Row& other : rows)
            EXPECT_EQ(IsWindowVisible(GetDlgItem(dialog, other.id)) != FALSE, other.page == row.page)
                << other.id << " on page " << row.page;
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, 1006))) << "the program box is above the pages";
        if (row.id == 1018)
            SendMessageW(GetDlgItem(dialog, row.id), BM_SETCHECK, BST_CHECKED, 0);
        else
            SetField(dialog, row.id, row.typed);
    }
    // A field of a hidden page given the focus brings its page up; Ctrl+Tab
    // turns the pages.
    PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, 1010)), TRUE);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(GetDlgItem(dialog, 1010)) != FALSE; }, 3000));
    EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 0);
    INPUT keys[4] = {};
    const WORD pressed[4] = {VK_CONTROL, VK_TAB, VK_TAB, VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = pressed[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    SetForegroundWindow(dialog);
    SendInput(4, keys, sizeof(INPUT));
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(GetDlgItem(dialog, 1014)) != FALSE; }, 3000)) << "Ctrl+Tab";
    ASSERT_TRUE(CloseSettings(dialog));
    for (const Row& row : rows)
        EXPECT_TRUE(ConfigHas(std::string(" ") + row.key + "=\"" + Narrow(row.typed) + "\"")) << row.key << Config();

    ASSERT_TRUE(Quit());
    ASSERT_TRUE(Launch());
    dialog = OpenSettings();
    ASSERT_NE(dialog, nullptr);
    for (const Row& row : rows) {
        if (row.id == 1018)
            EXPECT_TRUE(Checked(dialog, row.id));
        else
            EXPECT_EQ(Field(dialog, row.id), row.typed) << row.key;
    }
    // An emptied path turns its check off; an emptied number keeps its value.
    SetField(dialog, 1020, L"");
    SetField(dialog, 1021, L"");
    ASSERT_TRUE(CloseSettings(dialog));
    EXPECT_TRUE(ConfigHas(" heartbeatfile=\"\" heartbeattime=\"45\"")) << Config();
}

// The countdown ticks while monitoring and stands still when it stops.
// Once-only moments that passed while Tollwick was not running (a power cut,
// a day off) are dropped and logged, not carried out at start-up.
TEST_F(AppTest, TheCountdownTicksWhileMonitoringAndMomentsPassedBeforeTheStartAreDropped)
{
    ASSERT_TRUE(StartWatched());
    // A reboot time of day about half a day away on the UTC+8 clock.
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    char reboot[16];
    snprintf(reboot, sizeof(reboot), "%02d:00:00", (utc.wHour + 8 + 12) % 24);
    ASSERT_TRUE(Launch(ConfigXml("autostartmonitor=\"1\" autoreboot=\"1\" reboottime=\"" + std::string(reboot) +
                                     "\" timingclosecheck=\"1\" timingclose_everyday_time=\"2026-01-01 00:00:00\" "
                                     "timingruncheck=\"1\" timingrun_everyday_time=\"2026-01-01 00:00:00\"",
                                 Entry(HelperPath()))));
    ASSERT_TRUE(Status(L"监控中"));
    HWND countdown = GetDlgItem(Tab(), 10301);
    ASSERT_TRUE(WaitFor([&] { return TextOf(countdown).find(L"定时重启电脑,剩余:") == 0; }, 5000))
        << Narrow(TextOf(countdown));
    std::wstring shown = TextOf(countdown);
    for (const wchar_t* part : {L"秒)\r\n重启时间:", L"\r\n现在时间:"})
        EXPECT_NE(shown.find(part), std::wstring::npos) << Narrow(shown);
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
    EXPECT_TRUE(watched.IsRunning());
    EXPECT_EQ(Rows(ErrorList()), 4) << "the start, two dropped moments and monitoring";

    Click(10100);
    ASSERT_TRUE(Status(L"已取消监控", 10000));
    std::wstring frozen = TextOf(countdown) + TextOf(Control(10201));
    Sleep(2500);
    EXPECT_EQ(TextOf(countdown) + TextOf(Control(10201)), frozen) << "no ticks while monitoring is off";
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(ConfigHas("timingclosecheck=\"0\"") && ConfigHas("timingruncheck=\"0\"")) << Config();
}

// A daily run that falls due while the daily close still gives a program
// that refuses to close its grace waits for the close: monitoring starts
// only once that program has been ended, and then starts it again.
TEST_F(AppTest, ARunDueWhileTheTimedCloseStillWaitsComesAfterTheClose)
{
    ASSERT_TRUE(watched.Start(L"--title Watched --answer 16 0") && watched.WaitForWindow());
    long long today = (_time64(nullptr) + 8 * 3600) % 86400;
    if (today > 86400 - 60)
        GTEST_SKIP() << "too close to midnight on the UTC+8 clock";
    auto moment = [&](long long ahead) {
        long long t = today + ahead;
        char text[32];
        snprintf(text, sizeof(text), "2026-01-01 %02d:%02d:%02d", static_cast<int>(t / 3600),
                 static_cast<int>(t / 60 % 60), static_cast<int>(t % 60));
        return std::string(text);
    };
    // The hang grace is 5 s: the run falls due 2 s into the close.
    ASSERT_TRUE(Launch(
        ConfigWith("autostartmonitor=\"1\" timingclosecheck_everyday=\"1\" timingclose_everyday_time=\"" + moment(8) +
                       "\" timingruncheck_everyday=\"1\" timingrun_everyday_time=\"" + moment(10) + "\"",
                   Entry(HelperPath()))));
    ASSERT_TRUE(Status(L"监控中"));
    ASSERT_TRUE(Status(L"已取消监控", 15000)) << "the close";
    bool ranWhileClosing = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            // The status first: a run that follows the end at once must not
            // look early.
            bool monitoring = TextOf(Control(10200)) == L"监控中";
            bool closing = watched.IsRunning();
            ranWhileClosing = ranWhileClosing || (monitoring && closing);
            return !closing;
        },
        20000))
        << "the refuser is ended after the grace";
    EXPECT_FALSE(ranWhileClosing) << "the run waited for the close";
    EXPECT_TRUE(Status(L"监控中", 10000)) << "and came once it was done";
    EXPECT_TRUE(WaitFor([] { return CountRunning(HelperPath()) == 1; }, 10000)) << "starting the program again";
}
