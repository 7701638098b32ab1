#include "core/handle.h"
#include "core/path.h"

#include <gtest/gtest.h>

namespace {

const tw::PathView kNative = tw::MakePathView(false, L"C:\\Windows");
// What a 32-bit Tollwick on 64-bit Windows sees; the x86 build may not run
// on the machine that runs these tests, so its view is made up here.
const tw::PathView kWow64 = tw::MakePathView(true, L"C:\\Windows");

struct PathCase {
    const wchar_t* in;
    const wchar_t* normalised;
};

} // namespace

TEST(NormalisedPath, OneFormForEveryWayOfNamingAFile)
{
    const PathCase cases[] = {
        {L"C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:/apps/x/prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\apps\\\\x\\\\\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\apps\\x\\.\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\apps\\y\\..\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\..\\..\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\apps\\x\\", L"C:\\apps\\x"},
        {L"\\\\?\\C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"\\??\\C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"\\\\.\\C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"\\\\?\\UNC\\server\\share\\prog.exe", L"\\\\server\\share\\prog.exe"},
        {L"//server/share/../../prog.exe", L"\\\\server\\share\\prog.exe"},
        {L"\\\\server\\share\\a\\..\\prog.exe", L"\\\\server\\share\\prog.exe"},
        {L"\\apps\\.\\prog.exe", L"\\apps\\prog.exe"},
        {L"C:\\数据\\收银系统.exe", L"C:\\数据\\收银系统.exe"},
        {L"", L""},
    };
    for (const PathCase& c : cases)
        EXPECT_STREQ(tw::NormalisedPath(c.in, kNative).c_str(), c.normalised) << testing::PrintToString(c.in);
    EXPECT_TRUE(tw::NormalisedPath(nullptr, kNative).IsEmpty());
}

TEST(SamePath, IgnoresCaseButNotOtherFiles)
{
    EXPECT_TRUE(tw::SamePath(L"c:\\APPS\\X\\Prog.EXE", L"C:\\apps\\x\\.\\prog.exe", kNative));
    EXPECT_TRUE(tw::SamePath(L"C:\\ÄPPS\\prog.exe", L"C:\\äpps\\prog.exe", kNative));
    EXPECT_FALSE(tw::SamePath(L"C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog2.exe", kNative));
    EXPECT_FALSE(tw::SamePath(L"C:\\apps\\x\\prog.exe", L"D:\\apps\\x\\prog.exe", kNative));
    EXPECT_FALSE(tw::SamePath(L"", L"", kNative)) << "no path names no program";
    EXPECT_FALSE(tw::SamePath(nullptr, L"C:\\a.exe", kNative));
}

// A 32-bit watchdog on 64-bit Windows starts a System32 program from the
// redirected SysWOW64 folder and then sees that path: it is the same program,
// not one to start again every period.
TEST(SamePath, Wow64ViewTakesSysWow64AndSysnativeForSystem32)
{
    EXPECT_TRUE(tw::SamePath(L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64\\notepad.exe", kWow64));
    EXPECT_TRUE(tw::SamePath(L"c:\\windows\\sysnative\\notepad.exe", L"C:\\Windows\\System32\\NOTEPAD.exe", kWow64));
    EXPECT_STREQ(tw::NormalisedPath(L"\\\\?\\C:\\WINDOWS\\syswow64\\a\\b.exe", kWow64).c_str(),
                 L"C:\\Windows\\System32\\a\\b.exe");
    EXPECT_FALSE(tw::SamePath(L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64x\\notepad.exe", kWow64));
    EXPECT_FALSE(tw::SamePath(L"C:\\Windows\\System32\\notepad.exe", L"D:\\Windows\\SysWOW64\\notepad.exe", kWow64));
    // A 64-bit process sees both folders as they are.
    EXPECT_FALSE(tw::SamePath(L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64\\notepad.exe", kNative));
}

// Numbers in config.xml's "hwnd" name the same window to both builds.
TEST(StoredWindow, ThirtyTwoSignificantBitsInBothBuilds)
{
    // 0x80001234 as a 64-bit process writes it (sign-extended) and as a
    // reader might have written it (unsigned).
    HWND high = tw::WindowFromStoredValue(-2147478988LL);
    EXPECT_EQ(high, tw::WindowFromStoredValue(0x80001234LL));
    EXPECT_EQ(tw::StoredWindowValue(high), -2147478988LL);
    EXPECT_EQ(tw::StoredWindowValue(tw::WindowFromStoredValue(65846)), 65846);
    EXPECT_EQ(tw::WindowFromStoredValue(0), nullptr);
    // Beyond 32 bits: no window, where x86 would otherwise cut it to another.
    EXPECT_EQ(tw::WindowFromStoredValue(0x100010000LL), nullptr);
    EXPECT_EQ(tw::WindowFromStoredValue(-0x80000001LL), nullptr);
    EXPECT_EQ(tw::WindowFromStoredValue(9223372036854775807LL), nullptr);
}
