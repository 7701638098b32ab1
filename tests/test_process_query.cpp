// Live facts about processes and windows where the engine's suites do not
// reach: device paths, a process entry once gone, a dead window's texts, and
// an end that spares a process which now runs another executable.
#include "monitor/process_query.h"
#include "tests/helper_process.h"

#include <gtest/gtest.h>

using tw_test::HelperPath;
using tw_test::HelperProcess;

TEST(ProcessQuery, ADeviceOwnsOnlyPathsBelowIt)
{
    const wchar_t device[] = L"\\Device\\HarddiskVolume1";
    EXPECT_TRUE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\app\\a.exe", device));
    for (const wchar_t* other : {L"\\Device\\HarddiskVolume12\\a.exe", device, L"\\device\\harddiskvolume1\\a.exe"})
        EXPECT_FALSE(tw::DeviceOwnsPath(other, device)) << testing::PrintToString(other);
    EXPECT_FALSE(tw::DeviceOwnsPath(L"\\Device\\HarddiskVolume1\\a.exe", L"") || tw::DeviceOwnsPath(nullptr, device));
}

TEST(ProcessQuery, ProcessesAndWindowsThatHaveGone)
{
    HelperProcess helper, other;
    ASSERT_TRUE(helper.Start(L"--title \"窗口 标题\" --class TollwickQueryTest"));
    ASSERT_TRUE(other.Start(L"--no-window", HelperPath(false)));
    HWND window = helper.WaitForWindow();
    ASSERT_STREQ(tw::GetWindowTextString(window).c_str(), L"窗口 标题");
    PROCESSENTRY32W entry;
    EXPECT_EQ(tw::FindProcessEntry(helper.Id(), &entry), helper.Id());
    EXPECT_EQ(_wcsicmp(entry.szExeFile, L"tollwick_helper.exe"), 0);
    EXPECT_TRUE(tw::KillProcessRunning(other.Id(), tw::CStrW(HelperPath().c_str())));
    EXPECT_TRUE(other.IsRunning()) << "an id that runs another executable is left alone";
    EXPECT_TRUE(tw::KillProcessRunning(helper.Id(), tw::CStrW(HelperPath().c_str())));
    EXPECT_TRUE(helper.WaitForExit(0)) << "gone when the call returns";
    memset(&entry, 0xAB, sizeof(entry));
    EXPECT_EQ(tw::FindProcessEntry(helper.Id(), &entry), 0u);
    EXPECT_EQ(entry.th32ProcessID + entry.dwSize, 0u) << "the entry is zeroed";
    EXPECT_TRUE(tw::GetProcessIdImagePath(helper.Id()).IsEmpty());
    EXPECT_TRUE(tw::GetWindowTextString(window).IsEmpty() && tw::GetWindowClassString(window).IsEmpty());
    EXPECT_TRUE(tw::GetWindowTextString(nullptr).IsEmpty() && tw::KillProcessRunning(0, tw::CStrW(L"C:\\a.exe")));
}
