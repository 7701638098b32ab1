// The release packages, tried as a user would: the setup run silently and
// through its wizard, the installed program started from its shortcut,
// upgrades over a running Tollwick and over settings, a Tollwick that will
// not quit, both ways of uninstalling, and the portable zip's exe. Checked
// against the real files, registry and processes of the current user, so
// this runs only in a fresh Wine prefix (tools/test-dist.sh), never in ctest.
//
//   installer_tests.exe --setup=PATH --zip-dir=PATH --arch=x64|x86 --version=X.Y.Z
#include "core/path.h"
#include "monitor/process_query.h"
#include "tests/app_fixture.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

using namespace tw_app_test;

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tollwick";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kAutostartValue[] = L"Tollwick_TwDev";
// The NSIS dialog's placeholder of its pages, and its Next/Install/Finish.
constexpr int kPageArea = 1018;
constexpr int kNextButton = 1;

struct Options {
    std::wstring setup, zipDir, arch, version;
} g_options;

std::wstring ShellFolder(int csidl, const wchar_t* tail)
{
    wchar_t path[MAX_PATH] = {0};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path + std::wstring(tail);
}

std::wstring InstallDir()
{
    return ShellFolder(CSIDL_LOCAL_APPDATA, L"\\Programs\\Tollwick");
}

std::wstring Installed(const wchar_t* name)
{
    return InstallDir() + L"\\" + name;
}

// A value of the uninstall entry as text, "<missing>" when absent.
std::wstring UninstallValue(const wchar_t* name)
{
    wchar_t data[2048] = {0};
    DWORD bytes = sizeof(data) - sizeof(wchar_t), number = 0, type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, data, &bytes))
        return L"<missing>";
    memcpy(&number, data, sizeof(number));
    return type == REG_DWORD ? std::to_wstring(number) : data;
}

bool KeyExists(const wchar_t* key, const wchar_t* value = nullptr)
{
    HKEY opened = nullptr;
    bool found = RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) == ERROR_SUCCESS &&
                 (!value || RegQueryValueExW(opened, value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS);
    RegCloseKey(opened);
    return found;
}

struct Shortcut {
    std::wstring target, directory;
};

// Read as the shell reads it, through IShellLinkW.
Shortcut ReadShortcut()
{
    Shortcut shortcut;
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return shortcut;
    wchar_t text[MAX_PATH * 2] = {0};
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk").c_str(), STGM_READ)) &&
        SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) {
        shortcut.target = text;
        link->GetWorkingDirectory(text, MAX_PATH * 2);
        shortcut.directory = text;
    }
    if (file)
        file->Release();
    link->Release();
    return shortcut;
}

void RemoveTree(const std::wstring& folder)
{
    std::wstring from = folder + L'\0';
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

// The build's machine type, which the exe must have: a 32-bit x64 setup
// would be redirected to other folders and keys.
bool OfTheBuildsKind(const std::wstring& exe)
{
    std::string bytes = tw_test::ReadBytes(exe);
    DWORD header = bytes.size() >= 0x40 ? *reinterpret_cast<const DWORD*>(&bytes[0x3C]) : 0;
    WORD wanted = g_options.arch == L"x86" ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    return header && header + 6 <= bytes.size() && bytes.compare(header, 4, std::string("PE\0\0", 4)) == 0 &&
           *reinterpret_cast<const WORD*>(&bytes[header + 4]) == wanted;
}

// A visible dialog of the process (any process for 0): the NSIS wizard, or
// else a message box.
HWND DialogOf(DWORD processId, bool wizard)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); window;
         window = FindWindowExW(nullptr, window, L"#32770", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if ((!processId || owner == processId) && IsWindowVisible(window) &&
            (GetDlgItem(window, kPageArea) != nullptr) == wizard)
            return window;
    }
    return nullptr;
}

// Clicks through an NSIS wizard with window messages, as its keyboard would:
// button 1 on every page, the finish page's check box set as asked, each
// message box answered with `answer` and its text kept. True when the
// process ended within the time.
struct WizardRun {
    int answer = IDNO;
    bool checkBox = false;
    std::vector<std::wstring> messages;
    std::wstring steps;
};

bool DriveWizard(const HelperProcess& process, WizardRun* run, DWORD timeoutMs)
{
    for (ULONGLONG start = GetTickCount64(); process.IsRunning(); Sleep(50)) {
        if (GetTickCount64() - start > timeoutMs)
            return false;
        if (HWND box = DialogOf(process.Id(), false)) {
            std::wstring text = DialogText(box);
            if (!text.empty()) {
                run->messages.push_back(text);
                run->steps += L"[message: " + text + L"] ";
                Press(box, run->answer);
            }
            continue;
        }
        HWND wizard = DialogOf(process.Id(), true);
        HWND next = GetDlgItem(wizard, kNextButton);
        HWND page = nullptr;
        for (HWND child = FindWindowExW(wizard, nullptr, L"#32770", nullptr); child && !page;
             child = FindWindowExW(wizard, child, L"#32770", nullptr))
            page = IsWindowVisible(child) ? child : nullptr;
        if (!page || !IsWindowEnabled(next) || !IsWindowVisible(next))
            continue;
        for (HWND box = FindWindowExW(page, nullptr, L"Button", nullptr); box;
             box = FindWindowExW(page, box, L"Button", nullptr)) {
            LONG type = GetWindowLongW(box, GWL_STYLE) & BS_TYPEMASK;
            if (IsWindowVisible(box) && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX)) {
                SendMessageW(box, BM_SETCHECK, run->checkBox ? BST_CHECKED : BST_UNCHECKED, 0);
                run->steps += L"[" + TextOf(box) + (run->checkBox ? L": on] " : L": off] ");
            }
        }
        run->steps += TextOf(next) + L" ";
        PostMessageW(wizard, WM_COMMAND, MAKEWPARAM(kNextButton, BN_CLICKED), reinterpret_cast<LPARAM>(next));
        // One press, one page: the next page, a question or the end first.
        WaitFor([&] { return !process.IsRunning() || DialogOf(process.Id(), false) || !IsWindowVisible(page); }, 20000);
    }
    return true;
}

std::string PreparedConfig()
{
    return ConfigWith("autostartmonitor=\"0\"", Entry(L"C:\\kiosk\\signage player.exe") + Entry(L"D:\\pos\\till.exe"));
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tw_test::FileExists(g_options.setup)) << "no --setup: " << Narrow(g_options.setup);
        CleanUp();
    }
    void TearDown() override
    {
        for (HelperProcess* process : {&setup, &uninstaller, &tollwick})
            process->Stop();
        CleanUp();
    }
    static void CleanUp()
    {
        // Every Tollwick of the prefix: one started by a wizard is not ours.
        for (HWND main; (main = FindWindowW(kMainClass, nullptr)) != nullptr;) {
            HelperProcess stray;
            if (!stray.Adopt(main))
                break;
            stray.Stop();
        }
        RemoveTree(InstallDir());
        DeleteFileW(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk").c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue);
    }

    // Runs the process with these options and waits for it; its exit code.
    static long Run(HelperProcess& process, const std::wstring& exe, const std::wstring& options, DWORD timeoutMs)
    {
        if (!process.Start(options, exe))
            return -1;
        if (!process.WaitForExit(timeoutMs))
            ADD_FAILURE() << Narrow(exe + L" " + options) << " did not end within " << timeoutMs << " ms";
        return process.ExitCode();
    }
    long RunSetup(DWORD timeoutMs = 60000) { return Run(setup, g_options.setup, L"/S", timeoutMs); }
    // In place (`_?=`), so that the uninstaller can be waited for.
    long UninstallSilently() { return Run(uninstaller, Installed(L"Uninstall.exe"), L"/S _?=" + InstallDir(), 60000); }
    // Started as its shortcut starts it; its main window.
    HWND StartFromShortcut()
    {
        Shortcut shortcut = ReadShortcut();
        EXPECT_TRUE(tw::SamePath(shortcut.target.c_str(), Installed(L"Tollwick.exe").c_str()))
            << Narrow(shortcut.target);
        EXPECT_TRUE(tw::SamePath(shortcut.directory.c_str(), InstallDir().c_str())) << Narrow(shortcut.directory);
        HWND main = tollwick.Start(L"", shortcut.target) ? WaitForMainWindow(tollwick.Id()) : nullptr;
        EXPECT_NE(main, nullptr) << "Tollwick's main window did not appear";
        return main;
    }
    static bool Quit(HWND main, const HelperProcess& process)
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        return process.WaitForExit(15000);
    }
    static void ExpectInstalled(bool installed)
    {
        for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
            EXPECT_EQ(tw_test::FileExists(Installed(name)), installed) << Narrow(name);
        // An uninstaller run in place cannot delete itself.
        EXPECT_TRUE(!installed || tw_test::FileExists(Installed(L"Uninstall.exe")));
        EXPECT_EQ(tw_test::FileExists(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk")), installed);
        EXPECT_EQ(KeyExists(kUninstallKey), installed);
        EXPECT_TRUE(installed || !KeyExists(kRunKey, kAutostartValue));
    }

    HelperProcess setup, uninstaller, tollwick;
};

TEST_F(Package, ASilentInstallPutsTheProgramInTheUsersFolderAndStartsFromItsShortcut)
{
    ASSERT_EQ(RunSetup(), 0);
    ExpectInstalled(true);
    // The settings are the program's to write, on its first start.
    EXPECT_FALSE(tw_test::FileExists(Installed(L"config.xml")));
    for (const std::wstring& exe : {Installed(L"Tollwick.exe"), g_options.setup, Installed(L"Uninstall.exe")})
        EXPECT_TRUE(OfTheBuildsKind(exe)) << Narrow(exe);
    // The very program of the portable zip.
    for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
        EXPECT_TRUE(tw_test::ReadBytes(Installed(name)) == tw_test::ReadBytes(g_options.zipDir + L"\\" + name))
            << Narrow(name) << " differs from the zip's";

    std::wstring dir = InstallDir();
    const std::wstring values[][2] = {
        {L"DisplayName", L"Tollwick (" + g_options.arch + L")"},
        {L"DisplayVersion", g_options.version},
        {L"Publisher", L"Tollwick Developers"},
        {L"InstallLocation", dir},
        {L"UninstallString", L"\"" + dir + L"\\Uninstall.exe\""},
        {L"QuietUninstallString", L"\"" + dir + L"\\Uninstall.exe\" /S"},
        {L"DisplayIcon", dir + L"\\Tollwick.exe,0"},
        {L"NoModify", L"1"},
        {L"NoRepair", L"1"},
    };
    for (const auto& value : values)
        EXPECT_EQ(_wcsicmp(UninstallValue(value[0].c_str()).c_str(), value[1].c_str()), 0)
            << Narrow(value[0]) << ": " << Narrow(UninstallValue(value[0].c_str()));
    // In KB: the exe alone is several hundred.
    EXPECT_GT(_wtoi(UninstallValue(L"EstimatedSize").c_str()), 200);

    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(tw::SamePath(tw::GetProcessIdImagePath(tollwick.Id()).c_str(), Installed(L"Tollwick.exe").c_str()));
    EXPECT_TRUE(WaitFor([] { return tw_test::FileExists(Installed(L"config.xml")); }, 10000)) << "written beside it";
    EXPECT_TRUE(Quit(main, tollwick));
}

TEST_F(Package, AnUpgradeQuitsARunningTollwickAndKeepsTheSettingsByteForByte)
{
    ASSERT_EQ(RunSetup(), 0);
    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(RunSetup(), 0);
    // The setup waited for it to end before replacing its exe.
    EXPECT_FALSE(tollwick.IsRunning());
    EXPECT_TRUE(OfTheBuildsKind(Installed(L"Tollwick.exe")));

    std::string readme = tw_test::ReadBytes(Installed(L"README.md"));
    std::string config = PreparedConfig();
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), config));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000"), "<config"));
    // As an earlier version would have left it.
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"README.md"), "an older readme\n"));
    ASSERT_EQ(RunSetup(), 0);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml.bad-20260101-080000")), "<config");
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"README.md")), readme);
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), g_options.version);
    // And the upgraded program reads those settings.
    main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(Quit(main, tollwick));
    EXPECT_NE(tw_test::ReadBytes(Installed(L"config.xml")).find("signage player.exe"), std::string::npos);
}

// A window of Tollwick's class that ignores the quit command: the helper.
TEST_F(Package, TheSetupGivesUpOnATollwickThatDoesNotQuitAndChangesNothing)
{
    HelperProcess stubborn;
    ASSERT_TRUE(stubborn.Start(L"--title Tollwick --class \"" + std::wstring(kMainClass) + L"\"",
                               tw_test::TestBinaryDirectory() + L"..\\tollwick_helper.exe"));
    ASSERT_NE(stubborn.WaitForWindow(), nullptr);
    ULONGLONG start = GetTickCount64();
    EXPECT_NE(RunSetup(40000), 0);
    // About ten seconds of waiting, not forever and not at once.
    EXPECT_GE(GetTickCount64() - start, 9000u);
    EXPECT_LE(GetTickCount64() - start, 30000u);
    EXPECT_FALSE(tw_test::FileExists(Installed(L"Tollwick.exe")));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_TRUE(stubborn.IsRunning());
}

TEST_F(Package, TheWizardInstallsTheSameAndStartsTollwick)
{
    ASSERT_TRUE(setup.Start(L"", g_options.setup));
    WizardRun run;
    run.checkBox = true;
    ASSERT_TRUE(DriveWizard(setup, &run, 90000)) << "the wizard did not finish; pressed: " << Narrow(run.steps);
    EXPECT_EQ(setup.ExitCode(), 0) << Narrow(run.steps);
    EXPECT_TRUE(run.messages.empty()) << Narrow(run.steps);
    ExpectInstalled(true);
    // The finish page's box started the installed program.
    HWND main = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (main = FindWindowW(kMainClass, nullptr)) && IsWindowVisible(main); }, 20000))
        << "no Tollwick after the finish page; pressed: " << Narrow(run.steps);
    ASSERT_TRUE(tollwick.Adopt(main));
    EXPECT_TRUE(tw::SamePath(tw::GetProcessIdImagePath(tollwick.Id()).c_str(), Installed(L"Tollwick.exe").c_str()));
    EXPECT_TRUE(Quit(main, tollwick));
}

TEST_F(Package, ASilentUninstallQuitsTollwickAndKeepsTheSettingsAndTheUsersFiles)
{
    ASSERT_EQ(RunSetup(), 0);
    ASSERT_NE(StartFromShortcut(), nullptr);
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000"), "<config"));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"错误日志.txt"), "exported\r\n"));
    // As the settings page's "start with Windows" box writes it.
    std::wstring run = L"\"" + Installed(L"Tollwick.exe") + L"\"";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue, REG_SZ, run.c_str(),
                              static_cast<DWORD>((run.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_EQ(UninstallSilently(), 0);
    EXPECT_FALSE(tollwick.IsRunning());
    ExpectInstalled(false);
    EXPECT_EQ(tw_test::ListFiles(InstallDir()),
              L"Uninstall.exe;config.xml;config.xml.bad-20260101-080000;错误日志.txt;");
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"错误日志.txt")), "exported\r\n");

    // Installed again, the kept settings are there as they were.
    std::string config = tw_test::ReadBytes(Installed(L"config.xml"));
    ASSERT_EQ(RunSetup(), 0);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
}

// Through the registry's UninstallString, as Windows' settings start it: the
// uninstaller runs from a copy in the temporary folder, found by its window.
// Yes deletes the settings, and the folder when nothing else is left in it.
TEST_F(Package, TheUninstallWizardAsksWhetherToDeleteTheSettings)
{
    const struct {
        int answer;
        std::vector<const wchar_t*> files;
        const wchar_t* left; // null: the folder is gone
    } cases[] = {
        {IDNO, {L"config.xml"}, L"config.xml;"},
        {IDYES, {L"config.xml", L"config.xml.bad-20260101-080000", L"config.xml.bad-20260101-080000-1"}, nullptr},
        {IDYES, {L"config.xml", L"errors-2026-12-01.txt"}, L"errors-2026-12-01.txt;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer == IDYES ? "Yes" : "No");
        CleanUp();
        ASSERT_EQ(RunSetup(), 0);
        for (const wchar_t* name : c.files)
            ASSERT_TRUE(tw_test::WriteBytes(Installed(name), PreparedConfig()));
        std::wstring command = UninstallValue(L"UninstallString");
        ASSERT_TRUE(uninstaller.Start(L"", command.substr(1, command.size() - 2)));
        HWND wizard = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (wizard = DialogOf(0, true)) != nullptr; }, 30000)) << "no uninstall wizard";
        HelperProcess copy;
        ASSERT_TRUE(copy.Adopt(wizard));
        WizardRun run;
        run.answer = c.answer;
        ASSERT_TRUE(DriveWizard(copy, &run, 90000)) << "the wizard did not finish; pressed: " << Narrow(run.steps);
        EXPECT_EQ(copy.ExitCode(), 0);
        EXPECT_EQ(run.messages.size(), 1u) << Narrow(run.steps);
        ExpectInstalled(false);
        EXPECT_EQ(tw_test::FileExists(InstallDir()), c.left != nullptr);
        EXPECT_EQ(tw_test::ListFiles(InstallDir()), c.left ? c.left : L"");
    }
}

// The portable zip: its exe runs from any writable folder and keeps its
// settings beside itself, whatever the working folder.
TEST(PortableZip, RunsFromAWritableFolder)
{
    std::wstring exe = g_options.zipDir + L"\\Tollwick.exe";
    EXPECT_EQ(tw_test::ListFiles(g_options.zipDir), L"LICENSE.txt;README.md;Tollwick.exe;");
    EXPECT_TRUE(OfTheBuildsKind(exe));
    tw_test::TempDir elsewhere;
    HelperProcess app;
    wchar_t previous[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(elsewhere.Path().c_str());
    ASSERT_TRUE(app.Start(L"", exe));
    SetCurrentDirectoryW(previous);
    HWND main = WaitForMainWindow(app.Id());
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
    EXPECT_TRUE(app.WaitForExit(15000));
    EXPECT_NE(tw_test::ReadBytes(g_options.zipDir + L"\\config.xml").find("<config"), std::string::npos);
    EXPECT_EQ(tw_test::ListFiles(elsewhere.Path()), L"");
    DeleteFileW((g_options.zipDir + L"\\config.xml").c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        for (auto [name, value] : {std::pair<const wchar_t*, std::wstring*>{L"--setup=", &g_options.setup},
                                   {L"--zip-dir=", &g_options.zipDir},
                                   {L"--arch=", &g_options.arch},
                                   {L"--version=", &g_options.version}}) {
            if (a.compare(0, wcslen(name), name) == 0)
                *value = a.substr(wcslen(name));
        }
    }
    while (!g_options.zipDir.empty() && (g_options.zipDir.back() == L'\\' || g_options.zipDir.back() == L'/'))
        g_options.zipDir.pop_back();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
