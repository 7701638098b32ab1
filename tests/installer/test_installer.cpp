// The release packages, tried as a user would: the setup exe run silently and
// through its wizard, the installed program started from its shortcut, an
// upgrade over settings, both ways of uninstalling, and the portable zip's
// exe. Everything is checked against the real files, registry and processes
// of the current user, so this runs only in a fresh Wine prefix
// (tools/test-dist.sh), never in ctest.
//
//   installer_tests.exe --setup=PATH --zip-dir=PATH --arch=x64|x86 --version=X.Y.Z
//
// (or TOLLWICK_SETUP, TOLLWICK_ZIP_DIR, TOLLWICK_ARCH, TOLLWICK_VERSION).
#include "core/handle.h"
#include "tests/app_fixture.h"
#include "tests/test_support.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tw_app_test::ConfigWith;
using tw_app_test::Entry;
using tw_app_test::kMainClass;
using tw_app_test::Narrow;
using tw_app_test::TextOf;
using tw_app_test::WaitFor;

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tollwick";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kAutostartValue[] = L"Tollwick_TwDev";
constexpr WPARAM kQuitCommand = 10441;
// The outer NSIS dialog: its buttons, and the placeholder of the pages.
constexpr int kNextButton = 1;
constexpr int kPageArea = 1018;

struct Options {
    std::wstring setup;
    std::wstring zipDir;
    std::wstring arch;
    std::wstring version;
};
Options g_options;

std::wstring Lower(std::wstring s)
{
    CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return Lower(a) == Lower(b);
}

// A process of ours; ended, if still running, when it goes.
class Process {
public:
    Process() = default;
    ~Process() { Kill(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const std::wstring& commandLine, const std::wstring& directory = L"")
    {
        Kill();
        std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
        buffer.push_back(0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
            fprintf(stderr, "could not start %s: error %lu\n", Narrow(commandLine).c_str(), GetLastError());
            return false;
        }
        CloseHandle(info.hThread);
        m_process.Reset(info.hProcess);
        m_id = info.dwProcessId;
        return true;
    }
    // Takes a process that someone else started, found by its window.
    bool Adopt(HWND window)
    {
        Kill();
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        HANDLE process =
            id ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id) : nullptr;
        if (!process)
            return false;
        m_process.Reset(process);
        m_id = id;
        return true;
    }
    bool WaitForExit(DWORD timeoutMs) const
    {
        return !m_process.Get() || WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0;
    }
    bool IsRunning() const { return m_process.Get() && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }
    // The exit code, or -1 while it runs or when it never started.
    long ExitCode() const
    {
        DWORD code = 0;
        if (!m_process.Get() || IsRunning() || !GetExitCodeProcess(m_process.Get(), &code))
            return -1;
        return static_cast<long>(code);
    }
    std::wstring ImagePath() const
    {
        wchar_t path[MAX_PATH * 2] = {0};
        DWORD size = MAX_PATH * 2;
        if (!m_process.Get() || !QueryFullProcessImageNameW(m_process.Get(), 0, path, &size))
            return L"";
        return path;
    }
    void Kill()
    {
        if (IsRunning()) {
            TerminateProcess(m_process.Get(), 1);
            WaitForSingleObject(m_process.Get(), 5000);
        }
        m_process.Reset();
        m_id = 0;
    }
    DWORD Id() const { return m_id; }

private:
    tw::CHandle m_process;
    DWORD m_id = 0;
};

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        return L"";
    return path;
}

std::wstring InstallDir()
{
    return ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Programs\\Tollwick";
}

std::wstring Installed(const wchar_t* name)
{
    return InstallDir() + L"\\" + name;
}

std::wstring ShortcutPath()
{
    return ShellFolder(CSIDL_PROGRAMS) + L"\\Tollwick.lnk";
}

bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring* text)
{
    wchar_t data[2048] = {0};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
        return false;
    *text = data;
    return true;
}

std::wstring UninstallValue(const wchar_t* name)
{
    std::wstring text;
    return ReadString(kUninstallKey, name, &text) ? text : L"<missing>";
}

bool ReadDword(const wchar_t* key, const wchar_t* name, DWORD* value)
{
    DWORD bytes = sizeof(*value);
    return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, value, &bytes) == ERROR_SUCCESS;
}

bool KeyExists(const wchar_t* key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

bool RunValueExists()
{
    return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

bool WriteRunValue(const std::wstring& exe)
{
    std::wstring data = L"\"" + exe + L"\"";
    return RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue, REG_SZ, data.c_str(),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

struct Shortcut {
    bool loaded = false;
    std::wstring target;
    std::wstring directory;
};

Shortcut ReadShortcut(const std::wstring& path)
{
    Shortcut shortcut;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return shortcut;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH * 2] = {0};
            shortcut.loaded = SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH));
            shortcut.target = text;
            text[0] = 0;
            link->GetWorkingDirectory(text, MAX_PATH * 2);
            shortcut.directory = text;
        }
        file->Release();
    }
    link->Release();
    return shortcut;
}

// The folder with everything in it (the tests' own clean-up).
void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// Names of the files in the folder, sorted as found, joined with ';'.
std::wstring FolderListing(const std::wstring& folder)
{
    std::wstring list;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return L"<no folder>";
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            list += name + L";";
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return list;
}

WORD PeMachine(const std::wstring& path)
{
    std::string bytes = tw_test::ReadBytes(path);
    if (bytes.size() < 0x40)
        return 0;
    DWORD header = *reinterpret_cast<const DWORD*>(&bytes[0x3C]);
    if (header + 6 > bytes.size() || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return *reinterpret_cast<const WORD*>(&bytes[header + 4]);
}

WORD ExpectedMachine()
{
    return g_options.arch == L"x86" ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
}

std::vector<HWND> TopWindows(DWORD processId, const wchar_t* className)
{
    std::vector<HWND> windows;
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window;
         window = FindWindowExW(nullptr, window, className, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (processId == 0 || owner == processId)
            windows.push_back(window);
    }
    return windows;
}

// The visible NSIS wizard of the process (any process for 0).
HWND Wizard(DWORD processId)
{
    for (HWND window : TopWindows(processId, L"#32770")) {
        if (IsWindowVisible(window) && GetDlgItem(window, kPageArea))
            return window;
    }
    return nullptr;
}

// A visible message box of the process: a dialog that is not the wizard.
HWND MessageBoxOf(DWORD processId)
{
    for (HWND window : TopWindows(processId, L"#32770")) {
        if (IsWindowVisible(window) && !GetDlgItem(window, kPageArea))
            return window;
    }
    return nullptr;
}

std::wstring MessageText(HWND box)
{
    std::wstring text;
    for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child;
         child = FindWindowExW(box, child, L"Static", nullptr))
        text += TextOf(child);
    return text;
}

// The page shown in the wizard: its visible inner dialog.
HWND CurrentPage(HWND wizard)
{
    for (HWND child = FindWindowExW(wizard, nullptr, L"#32770", nullptr); child;
         child = FindWindowExW(wizard, child, L"#32770", nullptr)) {
        if (IsWindowVisible(child))
            return child;
    }
    return nullptr;
}

HWND CheckBoxOn(HWND page)
{
    for (HWND child = FindWindowExW(page, nullptr, L"Button", nullptr); child;
         child = FindWindowExW(page, child, L"Button", nullptr)) {
        LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
        if (IsWindowVisible(child) && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX))
            return child;
    }
    return nullptr;
}

// Clicks through an NSIS wizard with window messages, as its keyboard would:
// Next / Install / Finish (button 1) on every page, the finish page's check
// box set as asked, each message box answered with `answer` and its text
// kept. True when the process ended within the time.
struct WizardRun {
    int answer = IDNO;
    bool checkBox = false;
    std::vector<std::wstring> messages;
    std::wstring steps;
};

bool DriveWizard(const Process& process, WizardRun* run, DWORD timeoutMs)
{
    ULONGLONG start = GetTickCount64();
    auto late = [&] { return GetTickCount64() - start > timeoutMs; };
    while (process.IsRunning()) {
        if (late())
            return false;
        if (HWND box = MessageBoxOf(process.Id())) {
            std::wstring text = MessageText(box);
            if (text.empty()) {
                Sleep(50);
                continue;
            }
            run->messages.push_back(text);
            run->steps += L"[message: " + text + L"] ";
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(run->answer, BN_CLICKED), 0);
            WaitFor([&] { return !IsWindow(box); }, 5000);
            continue;
        }
        HWND wizard = Wizard(process.Id());
        HWND page = wizard ? CurrentPage(wizard) : nullptr;
        HWND next = wizard ? GetDlgItem(wizard, kNextButton) : nullptr;
        if (!page || !next || !IsWindowEnabled(next) || !IsWindowVisible(next)) {
            Sleep(50);
            continue;
        }
        if (HWND box = CheckBoxOn(page)) {
            SendMessageW(box, BM_SETCHECK, run->checkBox ? BST_CHECKED : BST_UNCHECKED, 0);
            run->steps += L"[" + TextOf(box) + (run->checkBox ? L": on] " : L": off] ");
        }
        run->steps += TextOf(next) + L" ";
        PostMessageW(wizard, WM_COMMAND, MAKEWPARAM(kNextButton, BN_CLICKED), reinterpret_cast<LPARAM>(next));
        // One press, one page: wait for the next page (or a question, or
        // the end) before pressing again.
        WaitFor(
            [&] {
                return !process.IsRunning() || MessageBoxOf(process.Id()) || !IsWindow(page) || !IsWindowVisible(page);
            },
            20000);
    }
    return true;
}

// A window of Tollwick's main class, of any process.
HWND TollwickWindow()
{
    return FindWindowW(kMainClass, nullptr);
}

// Ends every Tollwick of this prefix (the tests' clean-up only).
void KillAllTollwick()
{
    for (int i = 0; i < 10; ++i) {
        HWND window = TollwickWindow();
        if (!window)
            return;
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        Process process;
        if (owner == GetCurrentProcessId() || !process.Adopt(window))
            return;
        process.Kill();
    }
}

// Waits for the main window of the given process to be shown.
HWND WaitForMainWindow(DWORD processId, DWORD timeoutMs = 20000)
{
    HWND main = nullptr;
    WaitFor(
        [&] {
            main = tw_app_test::FindOwnWindow(processId, kMainClass, nullptr);
            return main && IsWindowVisible(main);
        },
        timeoutMs);
    return main;
}

// Quits as the tray menu does and waits for the process to end.
bool QuitTollwick(HWND main, const Process& process)
{
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(kQuitCommand, 0), 0);
    return process.WaitForExit(15000);
}

std::string PreparedConfig()
{
    return ConfigWith("autostartmonitor=\"0\"", Entry(L"C:\\kiosk\\signage player.exe") + Entry(L"D:\\pos\\till.exe"));
}

// A window with Tollwick's class that never quits, in a thread of its own.
class StubbornTollwick {
public:
    StubbornTollwick()
    {
        m_ready.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_thread.Reset(CreateThread(nullptr, 0, &StubbornTollwick::Run, this, 0, nullptr));
        WaitForSingleObject(m_ready.Get(), 5000);
    }
    ~StubbornTollwick()
    {
        if (m_window)
            PostMessageW(m_window, WM_CLOSE, 0, 0);
        WaitForSingleObject(m_thread.Get(), 5000);
    }
    StubbornTollwick(const StubbornTollwick&) = delete;
    StubbornTollwick& operator=(const StubbornTollwick&) = delete;
    HWND Window() const { return m_window; }
    LONG QuitCommandsSeen() const { return m_quitCommands; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<StubbornTollwick*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COMMAND && LOWORD(wParam) == kQuitCommand && self) {
            InterlockedIncrement(&self->m_quitCommands);
            return 0;
        }
        if (message == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    static DWORD WINAPI Run(void* parameter)
    {
        auto* self = static_cast<StubbornTollwick*>(parameter);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &StubbornTollwick::Proc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kMainClass;
        RegisterClassW(&windowClass);
        self->m_window = CreateWindowExW(0, kMainClass, L"Tollwick", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                         nullptr, windowClass.hInstance, nullptr);
        if (self->m_window)
            SetWindowLongPtrW(self->m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        SetEvent(self->m_ready.Get());
        MSG msg;
        while (self->m_window && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        UnregisterClassW(kMainClass, windowClass.hInstance);
        return 0;
    }

    tw::CHandle m_ready;
    tw::CHandle m_thread;
    HWND m_window = nullptr;
    volatile LONG m_quitCommands = 0;
};

// Must run first: the prefix is fresh, or the packages' earlier run (the other
// build's, in the same prefix) left nothing behind.
TEST(Prefix, HoldsNoTollwick)
{
    EXPECT_FALSE(tw_test::FileExists(InstallDir())) << Narrow(FolderListing(InstallDir()));
    EXPECT_FALSE(tw_test::FileExists(ShortcutPath()));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_FALSE(RunValueExists());
    EXPECT_EQ(TollwickWindow(), nullptr);
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(g_options.setup.empty()) << "no --setup";
        ASSERT_TRUE(tw_test::FileExists(g_options.setup)) << Narrow(g_options.setup);
        ASSERT_FALSE(InstallDir().empty());
        CleanUp();
    }
    void TearDown() override
    {
        for (Process* process : {&setup, &uninstaller, &tollwick})
            process->Kill();
        KillAllTollwick();
        CleanUp();
    }
    static void CleanUp()
    {
        KillAllTollwick();
        RemoveTree(InstallDir());
        DeleteFileW(ShortcutPath().c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue);
    }

    // Runs the setup with these options and waits for it; its exit code.
    long RunSetup(const std::wstring& options, DWORD timeoutMs = 60000)
    {
        if (!setup.Start(L"\"" + g_options.setup + L"\" " + options))
            return -1;
        if (!setup.WaitForExit(timeoutMs)) {
            ADD_FAILURE() << "setup " << Narrow(options) << " did not end within " << timeoutMs << " ms";
            setup.Kill();
            return -1;
        }
        return setup.ExitCode();
    }
    void InstallSilently()
    {
        ASSERT_EQ(RunSetup(L"/S"), 0);
        ASSERT_TRUE(tw_test::FileExists(Installed(L"Tollwick.exe")));
    }
    // Starts the installed Tollwick as its shortcut does.
    HWND StartFromShortcut()
    {
        Shortcut shortcut = ReadShortcut(ShortcutPath());
        if (!shortcut.loaded) {
            ADD_FAILURE() << "no shortcut to start";
            return nullptr;
        }
        if (!tollwick.Start(L"\"" + shortcut.target + L"\"", shortcut.directory))
            return nullptr;
        HWND main = WaitForMainWindow(tollwick.Id());
        EXPECT_NE(main, nullptr) << "Tollwick's main window did not appear";
        return main;
    }
    // Uninstalls in place (`_?=`), so that the uninstaller can be waited for.
    long RunUninstallerInPlace(const std::wstring& options, DWORD timeoutMs = 60000)
    {
        std::wstring dir = InstallDir();
        if (!uninstaller.Start(L"\"" + dir + L"\\Uninstall.exe\" " + options + L" _?=" + dir))
            return -1;
        if (!uninstaller.WaitForExit(timeoutMs)) {
            ADD_FAILURE() << "uninstaller did not end within " << timeoutMs << " ms";
            uninstaller.Kill();
            return -1;
        }
        return uninstaller.ExitCode();
    }
    void ExpectProgramGone()
    {
        for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
            EXPECT_FALSE(tw_test::FileExists(Installed(name))) << Narrow(name);
        EXPECT_FALSE(tw_test::FileExists(ShortcutPath()));
        EXPECT_FALSE(KeyExists(kUninstallKey));
        EXPECT_FALSE(RunValueExists());
    }

    Process setup;
    Process uninstaller;
    Process tollwick;
};

TEST_F(Package, SilentInstallPutsTheProgramInTheUsersFolder)
{
    ASSERT_EQ(RunSetup(L"/S"), 0);
    std::wstring dir = InstallDir();
    for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt", L"Uninstall.exe"})
        EXPECT_TRUE(tw_test::FileExists(Installed(name))) << Narrow(name) << " in " << Narrow(FolderListing(dir));
    // The settings are the program's to write, on its first start.
    EXPECT_FALSE(tw_test::FileExists(Installed(L"config.xml")));
    // The program, the setup and its uninstaller are all of the build's own
    // kind: a 32-bit x64 setup would be redirected to other folders and keys.
    for (const std::wstring& exe : {Installed(L"Tollwick.exe"), g_options.setup, Installed(L"Uninstall.exe")})
        EXPECT_EQ(PeMachine(exe), ExpectedMachine()) << Narrow(exe);
    // The very program of the portable zip.
    if (!g_options.zipDir.empty()) {
        for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
            EXPECT_TRUE(tw_test::ReadBytes(Installed(name)) == tw_test::ReadBytes(g_options.zipDir + L"\\" + name))
                << Narrow(name) << " differs from the zip's";
    }

    EXPECT_EQ(Narrow(UninstallValue(L"DisplayName")), "Tollwick (" + Narrow(g_options.arch) + ")");
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), g_options.version);
    EXPECT_EQ(UninstallValue(L"Publisher"), L"Tollwick Developers");
    EXPECT_TRUE(SamePath(UninstallValue(L"InstallLocation"), dir)) << Narrow(UninstallValue(L"InstallLocation"));
    EXPECT_TRUE(SamePath(UninstallValue(L"UninstallString"), L"\"" + dir + L"\\Uninstall.exe\""))
        << Narrow(UninstallValue(L"UninstallString"));
    EXPECT_TRUE(SamePath(UninstallValue(L"QuietUninstallString"), L"\"" + dir + L"\\Uninstall.exe\" /S"))
        << Narrow(UninstallValue(L"QuietUninstallString"));
    EXPECT_TRUE(SamePath(UninstallValue(L"DisplayIcon"), dir + L"\\Tollwick.exe,0"))
        << Narrow(UninstallValue(L"DisplayIcon"));
    DWORD value = 0;
    EXPECT_TRUE(ReadDword(kUninstallKey, L"NoModify", &value) && value == 1);
    EXPECT_TRUE(ReadDword(kUninstallKey, L"NoRepair", &value) && value == 1);
    // In KB: the exe alone is several hundred.
    EXPECT_TRUE(ReadDword(kUninstallKey, L"EstimatedSize", &value) && value > 200) << value;

    Shortcut shortcut = ReadShortcut(ShortcutPath());
    ASSERT_TRUE(shortcut.loaded) << Narrow(ShortcutPath());
    EXPECT_TRUE(SamePath(shortcut.target, Installed(L"Tollwick.exe"))) << Narrow(shortcut.target);
    EXPECT_TRUE(SamePath(shortcut.directory, dir)) << Narrow(shortcut.directory);

    // Started from there it runs, and writes its settings beside itself.
    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(SamePath(tollwick.ImagePath(), Installed(L"Tollwick.exe"))) << Narrow(tollwick.ImagePath());
    EXPECT_TRUE(WaitFor([] { return tw_test::FileExists(Installed(L"config.xml")); }, 10000));
    EXPECT_TRUE(QuitTollwick(main, tollwick));
    EXPECT_NE(tw_test::ReadBytes(Installed(L"config.xml")).find("<config"), std::string::npos);
}

TEST_F(Package, UpgradeKeepsTheSettingsByteForByte)
{
    InstallSilently();
    std::string readme = tw_test::ReadBytes(Installed(L"README.md"));
    std::string config = PreparedConfig();
    std::string damaged = "<config bootstart=\"1\"";
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), config));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000"), damaged));
    // As an earlier version would have left it.
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"README.md"), "an older readme\n"));

    ASSERT_EQ(RunSetup(L"/S"), 0);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml.bad-20260101-080000")), damaged);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"README.md")), readme);
    EXPECT_TRUE(tw_test::FileExists(Installed(L"Tollwick.exe")));
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), g_options.version);

    // And the upgraded program still reads those settings.
    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(QuitTollwick(main, tollwick));
    EXPECT_NE(tw_test::ReadBytes(Installed(L"config.xml")).find("signage player.exe"), std::string::npos);
}

TEST_F(Package, UpgradeQuitsARunningTollwickFirst)
{
    InstallSilently();
    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(RunSetup(L"/S"), 0);
    // The setup waited for it to end before replacing its exe.
    EXPECT_FALSE(tollwick.IsRunning());
    EXPECT_FALSE(IsWindow(main));
    EXPECT_EQ(PeMachine(Installed(L"Tollwick.exe")), ExpectedMachine());
}

TEST_F(Package, SetupStopsWhenTollwickDoesNotQuit)
{
    StubbornTollwick stubborn;
    ASSERT_NE(stubborn.Window(), nullptr);
    ULONGLONG start = GetTickCount64();
    long code = RunSetup(L"/S", 40000);
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_NE(code, 0);
    EXPECT_GE(stubborn.QuitCommandsSeen(), 1);
    // About ten seconds of waiting, not forever and not at once.
    EXPECT_GE(took, 9000u);
    EXPECT_LE(took, 30000u);
    EXPECT_FALSE(tw_test::FileExists(Installed(L"Tollwick.exe"))) << Narrow(FolderListing(InstallDir()));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_TRUE(IsWindow(stubborn.Window()));
}

TEST_F(Package, WizardInstallsTheSameAndStartsTollwick)
{
    ASSERT_TRUE(setup.Start(L"\"" + g_options.setup + L"\""));
    WizardRun run;
    run.checkBox = true;
    bool ended = DriveWizard(setup, &run, 90000);
    ASSERT_TRUE(ended) << "the wizard did not finish; pressed: " << Narrow(run.steps);
    EXPECT_EQ(setup.ExitCode(), 0) << Narrow(run.steps);
    EXPECT_TRUE(run.messages.empty()) << Narrow(run.steps);
    for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt", L"Uninstall.exe"})
        EXPECT_TRUE(tw_test::FileExists(Installed(name))) << Narrow(name);
    EXPECT_TRUE(KeyExists(kUninstallKey));
    Shortcut shortcut = ReadShortcut(ShortcutPath());
    EXPECT_TRUE(shortcut.loaded && SamePath(shortcut.target, Installed(L"Tollwick.exe"))) << Narrow(shortcut.target);

    // The finish page's box started the installed program.
    HWND main = nullptr;
    WaitFor([&] { return (main = TollwickWindow()) != nullptr && IsWindowVisible(main); }, 20000);
    ASSERT_NE(main, nullptr) << "no Tollwick after the finish page; pressed: " << Narrow(run.steps);
    ASSERT_TRUE(tollwick.Adopt(main));
    EXPECT_TRUE(SamePath(tollwick.ImagePath(), Installed(L"Tollwick.exe"))) << Narrow(tollwick.ImagePath());
    EXPECT_TRUE(QuitTollwick(main, tollwick));
}

TEST_F(Package, SilentUninstallKeepsTheSettingsAndTheUsersFiles)
{
    InstallSilently();
    std::string config = PreparedConfig();
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), config));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000"), "<config"));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"错误日志.txt"), "exported\r\n"));
    // As the settings page's "start with Windows" box writes it.
    ASSERT_TRUE(WriteRunValue(Installed(L"Tollwick.exe")));

    ASSERT_EQ(RunUninstallerInPlace(L"/S"), 0);
    ExpectProgramGone();
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
    EXPECT_TRUE(tw_test::FileExists(Installed(L"config.xml.bad-20260101-080000")));
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"错误日志.txt")), "exported\r\n");

    // Installed again, the kept settings are there as they were.
    DeleteFileW(Installed(L"Uninstall.exe").c_str());
    ASSERT_EQ(RunSetup(L"/S"), 0);
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
}

TEST_F(Package, UninstallQuitsARunningTollwickFirst)
{
    InstallSilently();
    HWND main = StartFromShortcut();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(RunUninstallerInPlace(L"/S"), 0);
    EXPECT_FALSE(tollwick.IsRunning());
    ExpectProgramGone();
    // Tollwick's own settings, written on its start, stay.
    EXPECT_TRUE(tw_test::FileExists(Installed(L"config.xml")));
}

// Through the registry's UninstallString, as Windows' settings start it: the
// uninstaller runs from a copy in the temporary folder, found by its window.
class WizardUninstall : public Package {
protected:
    void Uninstall(int answer, WizardRun* run)
    {
        std::wstring command = UninstallValue(L"UninstallString");
        ASSERT_TRUE(uninstaller.Start(command)) << Narrow(command);
        HWND wizard = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (wizard = Wizard(0)) != nullptr; }, 30000)) << "no uninstall wizard";
        Process copy;
        ASSERT_TRUE(copy.Adopt(wizard));
        run->answer = answer;
        bool ended = DriveWizard(copy, run, 90000);
        if (!ended)
            copy.Kill();
        ASSERT_TRUE(ended) << "the uninstall wizard did not finish; pressed: " << Narrow(run->steps);
        EXPECT_EQ(copy.ExitCode(), 0);
        EXPECT_TRUE(uninstaller.WaitForExit(5000));
    }
};

TEST_F(WizardUninstall, YesDeletesTheSettingsAndTheFolder)
{
    InstallSilently();
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), PreparedConfig()));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000"), "<config"));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml.bad-20260101-080000-1"), ""));
    WizardRun run;
    Uninstall(IDYES, &run);
    EXPECT_EQ(run.messages.size(), 1u) << Narrow(run.steps);
    ExpectProgramGone();
    EXPECT_FALSE(tw_test::FileExists(InstallDir())) << Narrow(FolderListing(InstallDir()));
}

TEST_F(WizardUninstall, YesLeavesTheUsersOwnFiles)
{
    InstallSilently();
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), PreparedConfig()));
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"errors-2026-12-01.txt"), "exported\r\n"));
    WizardRun run;
    Uninstall(IDYES, &run);
    ExpectProgramGone();
    EXPECT_FALSE(tw_test::FileExists(Installed(L"config.xml")));
    EXPECT_EQ(FolderListing(InstallDir()), L"errors-2026-12-01.txt;");
}

TEST_F(WizardUninstall, NoKeepsTheSettings)
{
    InstallSilently();
    std::string config = PreparedConfig();
    ASSERT_TRUE(tw_test::WriteBytes(Installed(L"config.xml"), config));
    WizardRun run;
    Uninstall(IDNO, &run);
    EXPECT_EQ(run.messages.size(), 1u) << Narrow(run.steps);
    ExpectProgramGone();
    EXPECT_EQ(tw_test::ReadBytes(Installed(L"config.xml")), config);
    EXPECT_EQ(FolderListing(InstallDir()), L"config.xml;");
}

// The portable zip: its exe runs from any writable folder and keeps its
// settings beside itself, whatever the working folder.
TEST(PortableZip, RunsFromAWritableFolder)
{
    ASSERT_FALSE(g_options.zipDir.empty()) << "no --zip-dir";
    std::wstring exe = g_options.zipDir + L"\\Tollwick.exe";
    for (const wchar_t* name : {L"Tollwick.exe", L"README.md", L"LICENSE.txt"})
        EXPECT_TRUE(tw_test::FileExists(g_options.zipDir + L"\\" + name)) << Narrow(name);
    ASSERT_FALSE(tw_test::FileExists(g_options.zipDir + L"\\config.xml"));
    EXPECT_EQ(PeMachine(exe), ExpectedMachine());

    tw_test::TempDir elsewhere;
    Process app;
    ASSERT_TRUE(app.Start(L"\"" + exe + L"\"", elsewhere.Path()));
    HWND main = WaitForMainWindow(app.Id());
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(WaitFor([&] { return tw_test::FileExists(g_options.zipDir + L"\\config.xml"); }, 10000));
    EXPECT_TRUE(QuitTollwick(main, app));
    EXPECT_NE(tw_test::ReadBytes(g_options.zipDir + L"\\config.xml").find("<config"), std::string::npos);
    EXPECT_EQ(elsewhere.FileCount(), 0);
    DeleteFileW((g_options.zipDir + L"\\config.xml").c_str());
}

std::wstring Option(int argc, wchar_t** argv, const wchar_t* name, const wchar_t* variable)
{
    std::wstring prefix = std::wstring(L"--") + name + L"=";
    for (int i = 1; i < argc; ++i) {
        if (wcsncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    }
    wchar_t value[MAX_PATH * 2] = {0};
    return GetEnvironmentVariableW(variable, value, MAX_PATH * 2) ? value : L"";
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_options.setup = Option(argc, argv, L"setup", L"TOLLWICK_SETUP");
    g_options.zipDir = Option(argc, argv, L"zip-dir", L"TOLLWICK_ZIP_DIR");
    g_options.arch = Option(argc, argv, L"arch", L"TOLLWICK_ARCH");
    g_options.version = Option(argc, argv, L"version", L"TOLLWICK_VERSION");
    if (g_options.arch.empty())
        g_options.arch = sizeof(void*) == 8 ? L"x64" : L"x86";
    while (!g_options.zipDir.empty() && (g_options.zipDir.back() == L'\\' || g_options.zipDir.back() == L'/'))
        g_options.zipDir.pop_back();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
