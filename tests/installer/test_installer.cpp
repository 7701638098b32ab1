// The release packages, tried as a user would, against the current user's real files, registry and processes:
// so only in a fresh Wine prefix (tools/test-dist.sh), never in ctest.
//   installer_tests.exe [gtest options] SETUP.exe ZIP-FOLDER x64|x86 VERSION
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
// The NSIS dialog's placeholder of its pages; its Next/Install/Finish is IDOK.
constexpr int kPageArea = 1018;

struct Options {
    std::wstring setup, zipDir, arch, version;
} g_options;

std::wstring ShellFolder(int csidl, const wchar_t* tail)
{
    wchar_t path[MAX_PATH] = {0};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path + std::wstring(tail);
}

const std::wstring g_installDir = ShellFolder(CSIDL_LOCAL_APPDATA, L"\\Programs\\Tollwick");

std::wstring Installed(const std::wstring& name)
{
    return g_installDir + L"\\" + name;
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

// The Start-menu shortcut's target and working folder, read as the shell reads them.
std::pair<std::wstring, std::wstring> ReadShortcut()
{
    wchar_t target[MAX_PATH] = {0}, directory[MAX_PATH] = {0};
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk").c_str(), STGM_READ))) {
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        link->GetWorkingDirectory(directory, MAX_PATH);
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    return {target, directory};
}

// A visible dialog of the process (any process for 0): the NSIS wizard, or else a message box.
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

// Clicks through an NSIS wizard with window messages, as its keyboard would: IDOK on every page (the finish
// page's box to start Tollwick left as it comes, on), each message box answered with `answer`. It must end with 0
// within 90 s after that many boxes. Returns what was pressed and read, for failure messages.
std::wstring DriveWizard(const HelperProcess& process, int answer, int boxes)
{
    std::wstring steps;
    int asked = 0;
    for (ULONGLONG start = GetTickCount64(); process.IsRunning() && GetTickCount64() - start < 90000; Sleep(50)) {
        if (HWND box = DialogOf(process.Id(), false)) {
            std::wstring text = DialogText(box);
            if (!text.empty()) {
                asked++;
                steps += L"[message: " + text + L"] ";
                Press(box, answer);
            }
            continue;
        }
        HWND wizard = DialogOf(process.Id(), true);
        HWND next = GetDlgItem(wizard, IDOK);
        // The page shown: NSIS destroys each page's dialog as the next comes.
        HWND page = FindWindowExW(wizard, nullptr, L"#32770", nullptr);
        if (!IsWindowVisible(page) || !IsWindowEnabled(next) || !IsWindowVisible(next))
            continue;
        steps += TextOf(next) + L" ";
        PostMessageW(wizard, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(next));
        // One press, one page: the next page, a question or the end first.
        WaitFor([&] { return !process.IsRunning() || DialogOf(process.Id(), false) || !IsWindowVisible(page); }, 20000);
    }
    EXPECT_EQ(process.ExitCode(), 0) << "the wizard did not finish; pressed: " << Narrow(steps);
    EXPECT_EQ(asked, boxes) << Narrow(steps);
    return steps;
}

std::string PreparedConfig()
{
    return ConfigWith("autostartmonitor=\"0\"", Entry(L"C:\\kiosk\\signage player.exe") + Entry(L"D:\\pos\\till.exe"));
}

// Tollwick, as `app`, is the installed one.
class Package : public AppTest {
protected:
    void TearDown() override
    {
        setup.Stop();
        uninstaller.Stop();
        AppTest::TearDown();
        CleanUp();
    }
    static void CleanUp()
    {
        // One that a wizard started is not ours.
        EndAllRunning(Installed(L"Tollwick.exe"));
        // With the folders Tollwick made in it; a list of one, ended by a second null.
        std::wstring folder = g_installDir + L'\0';
        SHFILEOPSTRUCTW removal = {};
        removal.wFunc = FO_DELETE;
        removal.pFrom = folder.c_str();
        removal.fFlags = FOF_NO_UI;
        SHFileOperationW(&removal);
        DeleteFileW(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk").c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue);
    }

    // Runs the process with these options and waits for it; its exit code.
    static long Run(HelperProcess& process, const std::wstring& exe, const std::wstring& options, DWORD timeoutMs)
    {
        if (process.Start(options, exe) && !process.WaitForExit(timeoutMs))
            ADD_FAILURE() << Narrow(exe + L" " + options) << " did not end within " << timeoutMs << " ms";
        return process.ExitCode();
    }
    long RunSetup(DWORD timeoutMs = 60000) { return Run(setup, g_options.setup, L"/S", timeoutMs); }
    // Started as its shortcut starts it; its main window.
    HWND StartFromShortcut()
    {
        auto [target, directory] = ReadShortcut();
        EXPECT_TRUE(tw::SamePath(target.c_str(), Installed(L"Tollwick.exe").c_str())) << Narrow(target);
        EXPECT_TRUE(tw::SamePath(directory.c_str(), g_installDir.c_str())) << Narrow(directory);
        main = app.Start(L"", target) ? WaitForMainWindow(app.Id()) : nullptr;
        EXPECT_NE(main, nullptr) << "Tollwick's main window did not appear";
        return main;
    }
    static void ExpectInstalled(bool installed)
    {
        for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
            EXPECT_EQ(FileExists(Installed(name)), installed) << Narrow(name);
        // An uninstaller run in place cannot delete itself.
        EXPECT_TRUE(!installed || FileExists(Installed(L"Uninstall.exe")));
        EXPECT_EQ(FileExists(ShellFolder(CSIDL_PROGRAMS, L"\\Tollwick.lnk")), installed);
        EXPECT_EQ(UninstallValue(L"DisplayName") != L"<missing>", installed);
        EXPECT_TRUE(installed ||
                    RegGetValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue, RRF_RT_ANY, nullptr, nullptr, nullptr));
    }

    HelperProcess setup, uninstaller;
};

// A user's way through the silent setup: the install, a start from the shortcut, upgrades over the running
// program and over its settings, and the uninstall, which quits Tollwick and keeps the settings and user's files.
TEST_F(Package, ASilentInstallUpgradeAndUninstall)
{
    ASSERT_EQ(RunSetup(), 0);
    ExpectInstalled(true);
    // The settings are the program's to write, on its first start.
    EXPECT_FALSE(FileExists(Installed(L"config.xml")));
    // Of the build's bitness: a 32-bit x64 setup would be redirected to other folders and keys.
    DWORD kind = 0, wanted = g_options.arch == L"x86" ? SCS_32BIT_BINARY : SCS_64BIT_BINARY;
    for (const std::wstring& exe : {Installed(L"Tollwick.exe"), g_options.setup, Installed(L"Uninstall.exe")})
        EXPECT_TRUE(GetBinaryTypeW(exe.c_str(), &kind) && kind == wanted) << Narrow(exe);
    // The very program of the portable zip.
    for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
        EXPECT_TRUE(ReadBytes(Installed(name)) == ReadBytes(g_options.zipDir + L"\\" + name))
            << Narrow(name) << " differs from the zip's";

    const std::wstring values[][2] = {
        {L"DisplayName", L"Tollwick (" + g_options.arch + L")"},
        {L"DisplayVersion", g_options.version},
        {L"Publisher", L"Tollwick Developers"},
        {L"InstallLocation", g_installDir},
        {L"UninstallString", L"\"" + Installed(L"Uninstall.exe") + L"\""},
        {L"QuietUninstallString", L"\"" + Installed(L"Uninstall.exe") + L"\" /S"},
        {L"DisplayIcon", Installed(L"Tollwick.exe,0")},
        {L"NoModify", L"1"},
        {L"NoRepair", L"1"},
    };
    for (const auto& value : values)
        EXPECT_EQ(_wcsicmp(UninstallValue(value[0].c_str()).c_str(), value[1].c_str()), 0)
            << Narrow(value[0]) << ": " << Narrow(UninstallValue(value[0].c_str()));
    // In KB: the exe alone is several hundred.
    EXPECT_GT(_wtoi(UninstallValue(L"EstimatedSize").c_str()), 200);

    ASSERT_NE(StartFromShortcut(), nullptr);
    ASSERT_EQ(RunSetup(), 0);
    // The setup waited for it to end before replacing its exe.
    EXPECT_FALSE(app.IsRunning());

    std::string readme = ReadBytes(Installed(L"README.md")), config = PreparedConfig();
    ASSERT_TRUE(WriteBytes(Installed(L"config.xml"), config));
    ASSERT_TRUE(WriteBytes(Installed(L"config.xml.bad-20260101-080000"), "<config"));
    // As an earlier version would have left it.
    ASSERT_TRUE(WriteBytes(Installed(L"README.md"), "an older readme\n"));
    ASSERT_EQ(RunSetup(), 0);
    EXPECT_EQ(ReadBytes(Installed(L"config.xml")), config);
    EXPECT_EQ(ReadBytes(Installed(L"config.xml.bad-20260101-080000")), "<config");
    EXPECT_EQ(ReadBytes(Installed(L"README.md")), readme);

    ASSERT_NE(StartFromShortcut(), nullptr);
    ASSERT_TRUE(WriteBytes(Installed(L"错误日志.txt"), "exported\r\n"));
    // As the settings page's "start with Windows" box writes it.
    std::wstring run = L"\"" + Installed(L"Tollwick.exe") + L"\" /autostart";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue, REG_SZ, run.c_str(),
                              static_cast<DWORD>((run.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    // In place (`_?=`), so that the uninstaller can be waited for.
    ASSERT_EQ(Run(uninstaller, Installed(L"Uninstall.exe"), L"/S _?=" + g_installDir, 60000), 0);
    EXPECT_FALSE(app.IsRunning());
    ExpectInstalled(false);
    EXPECT_EQ(ListFiles(g_installDir), L"Uninstall.exe;config.xml;config.xml.bad-20260101-080000;错误日志.txt;");
}

// A window of Tollwick's class that ignores the quit command: the helper.
TEST_F(Package, TheSetupGivesUpOnATollwickThatDoesNotQuitAndChangesNothing)
{
    HelperProcess stubborn;
    ASSERT_TRUE(stubborn.Start(L"--title Tollwick --class \"" + std::wstring(kMainClass) + L"\"",
                               TestBinaryDirectory() + L"..\\tollwick_helper.exe"));
    ASSERT_NE(stubborn.WaitForWindow(), nullptr);
    ULONGLONG start = GetTickCount64();
    EXPECT_NE(RunSetup(40000), 0);
    // About ten seconds of waiting, not forever and not at once.
    EXPECT_GE(GetTickCount64() - start, 9000u);
    EXPECT_LE(GetTickCount64() - start, 30000u);
    EXPECT_FALSE(FileExists(Installed(L"Tollwick.exe")));
    EXPECT_EQ(UninstallValue(L"DisplayName"), L"<missing>");
    EXPECT_TRUE(stubborn.IsRunning());
}

TEST_F(Package, TheWizardInstallsTheSameAndStartsTollwick)
{
    ASSERT_TRUE(setup.Start(L"", g_options.setup));
    std::wstring steps = DriveWizard(setup, IDNO, 0);
    ExpectInstalled(true);
    // The finish page's box started the installed program.
    ASSERT_TRUE(WaitFor([&] { return (main = FindWindowW(kMainClass, nullptr)) && IsWindowVisible(main); }, 20000))
        << "no Tollwick after the finish page; pressed: " << Narrow(steps);
    ASSERT_TRUE(app.Adopt(main));
    EXPECT_TRUE(tw::SamePath(tw::GetProcessIdImagePath(app.Id()).c_str(), Installed(L"Tollwick.exe").c_str()));
}

// Through the registry's UninstallString, as Windows' settings start it: the uninstaller runs from a copy in the
// temporary folder, found by its window. Yes deletes the settings, and the folder when nothing else is left in it.
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
            ASSERT_TRUE(WriteBytes(Installed(name), PreparedConfig()));
        std::wstring command = UninstallValue(L"UninstallString");
        ASSERT_TRUE(uninstaller.Start(L"", command.substr(1, command.size() - 2)));
        HWND wizard = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (wizard = DialogOf(0, true)) != nullptr; }, 30000)) << "no uninstall wizard";
        HelperProcess copy;
        ASSERT_TRUE(copy.Adopt(wizard));
        DriveWizard(copy, c.answer, 1);
        ExpectInstalled(false);
        EXPECT_EQ(FileExists(g_installDir), c.left != nullptr);
        EXPECT_EQ(ListFiles(g_installDir), c.left ? c.left : L"");
    }
}

// The portable zip's exe, in the temporary folder it was extracted to (its files and bitness are the installed
// ones: the test above and tools/dist.sh check them).
using PortableZip = AppTest;
TEST_F(PortableZip, RunsFromAWritableFolder)
{
    ASSERT_TRUE(app.Start(L"", g_options.zipDir + L"\\Tollwick.exe"));
    EXPECT_NE(WaitForMainWindow(app.Id()), nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 5) {
        fwprintf(stderr, L"usage: installer_tests [gtest options] SETUP.exe ZIP-FOLDER x64|x86 VERSION\n");
        return 2;
    }
    g_options = {argv[1], argv[2], argv[3], argv[4]};
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return RUN_ALL_TESTS();
}
