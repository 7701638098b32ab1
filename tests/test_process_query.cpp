#include "core/text_ops.h"
#include "monitor/process_query.h"
#include "tests/helper_process.h"

#include <gtest/gtest.h>

#include <string>

using tw::CStrW;
using tw_test::HelperPath;
using tw_test::HelperProcess;

namespace {

bool SameText(const CStrW& a, const std::wstring& b)
{
    return tw::CompareText(a, b.c_str(), 0) == 0;
}

const wchar_t* FileName(const std::wstring& path)
{
    return path.c_str() + path.rfind(L'\\') + 1;
}

} // namespace

TEST(DevicePath, ADeviceOwnsOnlyPathsBelowIt)
{
    EXPECT_TRUE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\app\\a.exe", L"\\Device\\HarddiskVolume1"));
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume12\\app\\a.exe", L"\\Device\\HarddiskVolume1"));
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1", L"\\Device\\HarddiskVolume1"));
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\device\\harddiskvolume1\\a.exe", L"\\Device\\HarddiskVolume1"));
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\a.exe", L""));
    EXPECT_FALSE(tw::DeviceOwnsPath(nullptr, L"\\Device\\HarddiskVolume1"));
}

TEST(ProcessImagePath, IsTheDriveLetterPathOfTheExecutable)
{
    wchar_t own[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    CStrW path = tw::GetProcessImagePath(GetCurrentProcess());
    EXPECT_TRUE(SameText(path, own)) << tw::ToNarrow(path).c_str();
    ASSERT_GE(path.Length(), 3u);
    EXPECT_EQ(path.c_str()[1], L':');
    EXPECT_EQ(path.c_str()[2], L'\\');
    EXPECT_TRUE(tw::GetProcessImagePath(nullptr).IsEmpty());
}

TEST(ProcessImagePath, OfARunningHelper)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--no-window"));
    EXPECT_TRUE(SameText(tw::GetProcessIdImagePath(helper.Id()), HelperPath()));
    helper.Stop();
    EXPECT_TRUE(tw::GetProcessIdImagePath(0).IsEmpty());
}

TEST(FindProcess, ByNameAndPathSkippingExcludedIds)
{
    HelperProcess first;
    HelperProcess second;
    ASSERT_TRUE(first.Start(L"--no-window"));
    ASSERT_TRUE(second.Start(L"--no-window"));
    std::wstring path = HelperPath();
    DWORD found = tw::FindProcessByNameAndPath(FileName(path), path.c_str(), nullptr, 0);
    EXPECT_TRUE(found == first.Id() || found == second.Id());

    DWORD excludeFirst[] = {first.Id()};
    std::wstring upperPath = path;
    for (wchar_t& c : upperPath)
        c = static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(tw::FindProcessByNameAndPath(L"TOLLWICK_HELPER.EXE", upperPath.c_str(), excludeFirst, 1), second.Id());
    DWORD excludeBoth[] = {first.Id(), second.Id()};
    EXPECT_EQ(tw::FindProcessByNameAndPath(FileName(path), path.c_str(), excludeBoth, 2), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(FileName(path), L"C:\\elsewhere\\tollwick_helper.exe", nullptr, 0), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(nullptr, path.c_str(), nullptr, 0), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(FileName(path), nullptr, nullptr, 0), 0u);
}

TEST(FindProcess, EntryOfAnId)
{
    PROCESSENTRY32W entry;
    memset(&entry, 0xAB, sizeof(entry));
    EXPECT_EQ(tw::FindProcessEntry(0, &entry), 0u);
    EXPECT_EQ(entry.th32ProcessID, 0u) << "the entry is zeroed";
    EXPECT_EQ(entry.dwSize, 0u);

    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--no-window"));
    EXPECT_EQ(tw::FindProcessEntry(helper.Id(), &entry), helper.Id());
    EXPECT_EQ(_wcsicmp(entry.szExeFile, L"tollwick_helper.exe"), 0);
    helper.Stop();
    EXPECT_EQ(tw::FindProcessEntry(helper.Id(), &entry), 0u);
}

TEST(ProcessWindows, CollectedInZOrderWithTheirTexts)
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

TEST(ProcessWindows, WithoutAWaitALateWindowIsNotThereYet)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--show-after 3000"));
    Sleep(200);
    DWORD start = GetTickCount();
    tw::CWindowList windows;
    tw::CollectProcessWindows(helper.Id(), 0, &windows);
    EXPECT_EQ(windows.Count(), 0u);
    EXPECT_LT(GetTickCount() - start, 500u);
}

TEST(ProcessWindows, TheWaitRunsToItsEndAndFindsALateWindow)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--show-after 300"));
    DWORD start = GetTickCount();
    tw::CWindowList windows;
    tw::CollectProcessWindows(helper.Id(), 1000, &windows);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(windows.Count(), 1u);
    EXPECT_NE(windows.FirstVisibleRootOwner(), nullptr);
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 3000u);
}

TEST(ProcessWindows, RootOwnerOfAWindowOwnedByAHiddenOne)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--owned"));
    HWND visible = helper.WaitForWindow();
    ASSERT_NE(visible, nullptr);
    tw::CWindowList windows;
    tw::CollectProcessWindows(helper.Id(), 0, &windows);
    HWND root = windows.FirstVisibleRootOwner();
    ASSERT_NE(root, nullptr);
    EXPECT_NE(root, visible);
    EXPECT_FALSE(IsWindowVisible(root));
    EXPECT_STREQ(tw::GetWindowClassString(root).c_str(), L"TollwickHelperOwner");
}

TEST(KillProcess, EndsARunningProgramBeforeReturning)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--no-window"));
    EXPECT_TRUE(tw::KillProcessRunning(helper.Id(), CStrW(HelperPath().c_str())));
    EXPECT_TRUE(helper.WaitForExit(0)) << "gone when the call returns";
    EXPECT_EQ(tw::FindProcessEntry(helper.Id(), nullptr), 0u);
}

TEST(KillProcess, AnIdThatRunsAnotherExecutableIsLeftAlone)
{
    HelperProcess other;
    ASSERT_TRUE(other.Start(L"--no-window", HelperPath(false)));
    EXPECT_TRUE(tw::KillProcessRunning(other.Id(), CStrW(HelperPath().c_str())));
    EXPECT_TRUE(other.IsRunning());
    EXPECT_TRUE(tw::KillProcessRunning(0, CStrW(HelperPath().c_str())));
}
