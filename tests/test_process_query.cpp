// Live facts about processes and windows, read from real helper processes.
#include "monitor/process_query.h"
#include "tests/helper_process.h"

#include <gtest/gtest.h>

using tw::CStrW;
using tw_test::HelperPath;
using tw_test::HelperProcess;

namespace {

bool SamePathText(const CStrW& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

TEST(DevicePath, ADeviceOwnsOnlyPathsBelowIt)
{
    const wchar_t device[] = L"\\Device\\HarddiskVolume1";
    EXPECT_TRUE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\app\\a.exe", device));
    for (const wchar_t* other :
         {L"\\Device\\HarddiskVolume12\\app\\a.exe", L"\\Device\\HarddiskVolume1", L"\\device\\harddiskvolume1\\a.exe"})
        EXPECT_FALSE(tw::DeviceOwnsPath(other, device)) << testing::PrintToString(other);
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\a.exe", L""));
    EXPECT_FALSE(tw::DeviceOwnsPath(nullptr, device));
}

TEST(ProcessImagePath, IsTheDriveLetterPathOfTheExecutable)
{
    wchar_t own[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    EXPECT_TRUE(SamePathText(tw::GetProcessImagePath(GetCurrentProcess()), own));
    EXPECT_TRUE(tw::GetProcessImagePath(nullptr).IsEmpty());
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--no-window"));
    EXPECT_TRUE(SamePathText(tw::GetProcessIdImagePath(helper.Id()), HelperPath()));
    helper.Stop();
    EXPECT_TRUE(tw::GetProcessIdImagePath(helper.Id()).IsEmpty());
}

TEST(FindProcess, ByNameAndPathSkippingExcludedIdsAndByItsId)
{
    HelperProcess first, second;
    ASSERT_TRUE(first.Start(L"--no-window"));
    ASSERT_TRUE(second.Start(L"--no-window"));
    std::wstring path = HelperPath(), upper = path;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    const wchar_t* name = L"tollwick_helper.exe";
    DWORD found = tw::FindProcessByNameAndPath(name, path.c_str(), nullptr, 0);
    EXPECT_TRUE(found == first.Id() || found == second.Id());
    DWORD both[] = {first.Id(), second.Id()};
    EXPECT_EQ(tw::FindProcessByNameAndPath(L"TOLLWICK_HELPER.EXE", upper.c_str(), both, 1), second.Id());
    EXPECT_EQ(tw::FindProcessByNameAndPath(name, path.c_str(), both, 2), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(name, L"C:\\elsewhere\\tollwick_helper.exe", nullptr, 0), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(nullptr, path.c_str(), nullptr, 0), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(name, nullptr, nullptr, 0), 0u);

    PROCESSENTRY32W entry;
    EXPECT_EQ(tw::FindProcessEntry(first.Id(), &entry), first.Id());
    EXPECT_EQ(_wcsicmp(entry.szExeFile, name), 0);
    first.Stop();
    memset(&entry, 0xAB, sizeof(entry));
    EXPECT_EQ(tw::FindProcessEntry(both[0], &entry), 0u);
    EXPECT_EQ(entry.th32ProcessID + entry.dwSize, 0u) << "the entry is zeroed";
}

TEST(ProcessWindows, CollectedWithTheirTextsWhileTheyLive)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title \"窗口 标题\" --class TollwickQueryTest"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    tw::CWindowList windows;
    tw::CollectProcessWindows(helper.Id(), 0, &windows);
    ASSERT_GE(windows.Count(), 1u);
    EXPECT_EQ(windows.FirstVisibleRootOwner(), window);
    EXPECT_STREQ(tw::GetWindowTextString(window).c_str(), L"窗口 标题");
    EXPECT_STREQ(tw::GetWindowClassString(window).c_str(), L"TollwickQueryTest");
    helper.Stop();
    EXPECT_TRUE(tw::GetWindowTextString(window).IsEmpty()) << "a dead window has no text";
    EXPECT_TRUE(tw::GetWindowClassString(window).IsEmpty());
    EXPECT_TRUE(tw::GetWindowTextString(nullptr).IsEmpty());
}

// Without a wait a late window is not there yet; the wait runs to its end
// once and finds it.
TEST(ProcessWindows, ALateWindowIsFoundOnlyByTheWait)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--show-after 700"));
    Sleep(200);
    tw::CWindowList windows;
    ULONGLONG start = GetTickCount64();
    tw::CollectProcessWindows(helper.Id(), 0, &windows);
    EXPECT_EQ(windows.Count(), 0u);
    EXPECT_LT(GetTickCount64() - start, 500u);
    start = GetTickCount64();
    tw::CollectProcessWindows(helper.Id(), 1000, &windows);
    EXPECT_GE(GetTickCount64() - start, 900u);
    EXPECT_NE(windows.FirstVisibleRootOwner(), nullptr);
}

TEST(KillProcess, EndsOnlyAProcessOfTheExecutableBeforeReturning)
{
    HelperProcess helper, other;
    ASSERT_TRUE(helper.Start(L"--no-window"));
    ASSERT_TRUE(other.Start(L"--no-window", HelperPath(false)));
    EXPECT_TRUE(tw::KillProcessRunning(other.Id(), CStrW(HelperPath().c_str())));
    EXPECT_TRUE(other.IsRunning()) << "an id that runs another executable is left alone";
    EXPECT_TRUE(tw::KillProcessRunning(helper.Id(), CStrW(HelperPath().c_str())));
    EXPECT_TRUE(helper.WaitForExit(0)) << "gone when the call returns";
    EXPECT_TRUE(tw::KillProcessRunning(0, CStrW(HelperPath().c_str())));
}
