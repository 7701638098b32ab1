// The foundation: reference-counted strings and their GB18030 forms, checked
// arrays, text operations, and paths compared in one form.
#include "core/array.h"
#include "core/handle.h"
#include "core/path.h"
#include "core/str.h"
#include "core/text_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tw::CStrA;
using tw::CStrW;

namespace {

// Every character from the length up to the capacity is zero.
template <typename Ch> bool TailIsZero(const tw::CStrT<Ch>& s)
{
    for (size_t i = s.Length(); i < s.Capacity(); ++i) {
        if (s.Text()[i] != 0)
            return false;
    }
    return true;
}

} // namespace

// A change never reaches the other holders of a shared record; the last
// holder's release frees it.
TEST(StringSharing, CopiesShareTheRecordUntilOneOfThemChanges)
{
    CStrW a(L"text");
    {
        CStrW b = a, c;
        c = b;
        EXPECT_EQ(a.Record(), c.Record());
        EXPECT_EQ(a.RefCount(), 3);
        c.Release();
        EXPECT_TRUE(c.IsNull());
        EXPECT_EQ(a.RefCount(), 2);
    }
    CStrW appended = a, assigned = a, formatted = a, written = a;
    appended.AppendChars(L" and more", 0);
    assigned.AssignChars(L"other", 0);
    formatted.Format(L"%d", 1);
    written.Buffer()[0] = L'T';
    EXPECT_STREQ(a.Text(), L"text");
    EXPECT_EQ(std::wstring(appended.Text()) + L"|" + assigned.Text() + L"|" + formatted.Text() + L"|" + written.Text(),
              L"text and more|other|1|Text");
    EXPECT_EQ(a.RefCount(), 1);
    CStrW& alias = a;
    a = alias;
    EXPECT_STREQ(a.Text(), L"text") << "self-assignment";
    CStrW null, copy(null);
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(copy.IsNull()) << "a copy of a null string has a record of its own";
}

// A null string stays null when nothing is appended; assigned nothing, it is
// empty. Reserve keeps the text; SetLength zeroes past the length, as after
// a system call that reported writing fewer characters than it did.
TEST(StringCapacity, NullEmptyAndTheBufferBeyondTheLength)
{
    CStrW s;
    s.AppendChars(L"", 0);
    s.AppendChars(nullptr, 0);
    EXPECT_TRUE(s.IsNull());
    s.AssignChars(nullptr, 0);
    EXPECT_FALSE(s.IsNull());
    EXPECT_STREQ(s.Text(), L"");
    CStrA narrow;
    EXPECT_TRUE(narrow.IsEmpty());
    narrow.Reserve(4)[1] = 'x';
    EXPECT_TRUE(narrow.IsEmpty()) << "a zero first character";

    wchar_t* buffer = s.Reserve(32);
    wcscpy(buffer, L"hello world");
    s.SetLength(5);
    EXPECT_STREQ(s.Text(), L"hello");
    EXPECT_TRUE(TailIsZero(s));
    s.Reserve(100);
    EXPECT_GE(s.Capacity(), 101u);
    EXPECT_STREQ(s.Text(), L"hello");
    s.AssignChars(L"ab", 0);
    EXPECT_TRUE(TailIsZero(s));
    s.SetLength(200);
    EXPECT_EQ(s.Length(), 200u) << "beyond the capacity it grows first";
}

TEST(StringAppend, OwnTextAcrossARegrowAndNumbersInFixedPatterns)
{
    CStrW s(L"abc");
    s.AppendChars(s.Text(), 0);
    EXPECT_STREQ(s.Text(), L"abcabc");
    CStrW w;
    w.AppendInt64(-9223372036854775807LL - 1);
    w.AppendChars(L"|", 1);
    w.AppendUInt32(4294967295UL);
    w.AppendChars(L"|", 1);
    w.AppendUInt64(18446744073709551615ULL);
    EXPECT_STREQ(w.Text(), L"-9223372036854775808|4294967295|18446744073709551615");
    CStrA a;
    a.AppendInt64(0);
    EXPECT_STREQ(a.Text(), "0");
}

// Microsoft's conventions (%s is the string's own width); output is cut at
// 259 characters with -1; the string's own text may be an argument.
TEST(StringFormat, FollowsTheMicrosoftConventionsAndCutsAt259)
{
    CStrW s;
    EXPECT_EQ(s.Format(L"[%s] %s %lld %lu", L"运行程序", L"进程", -5LL, 7UL), 14);
    EXPECT_STREQ(s.Text(), L"[运行程序] 进程 -5 7");
    EXPECT_EQ(s.Format(L"%s", std::wstring(300, L'x').c_str()), -1);
    EXPECT_EQ(std::wstring(s.Text()), std::wstring(259, L'x'));
    CStrA a;
    EXPECT_EQ(a.Format("%s", std::string(300, 'y').c_str()), -1);
    EXPECT_EQ(a.Length(), 259u);
    CStrW own(L"abc");
    own.Format(L"%s-%s", own.Text(), own.Text());
    EXPECT_STREQ(own.Text(), L"abc-abc");
    EXPECT_TRUE(TailIsZero(own));
    wchar_t wide[8];
    EXPECT_EQ(tw::FormatToBuffer(wide, 8, L"%s", L"0123456789"), -1);
    EXPECT_STREQ(wide, L"0123456");
}

// Every text round-trips through the narrow form, GB18030, which keeps code
// page 936's bytes; only an unpaired surrogate is not kept ('?').
TEST(StringConversion, EveryUnicodeTextRoundTripsThroughGb18030)
{
    std::wstring all;
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (unit < 0xD800 || unit > 0xDFFF)
            all += static_cast<wchar_t>(unit);
    }
    for (unsigned point = 0x10000; point <= 0x10FFFF; point += 0x1011)
        all += {static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)),
                static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF))};
    CStrW whole(all.c_str(), all.size());
    EXPECT_TRUE(tw::NarrowKeeps(whole));
    CStrW back = tw::ToWide(tw::ToNarrow(whole));
    EXPECT_TRUE(back.Text() == all);
    EXPECT_TRUE(TailIsZero(back));

    const std::pair<const wchar_t*, const char*> forms[] = {
        {L"错误", "\xB4\xED\xCE\xF3"},       // code page 936's own bytes
        {L"\x00FC", "\xA8\xB9"},             // ü, which code page 936 has
        {L"\x00DC", "\x81\x30\x89\x35"},     // Ü, which it has not
        {L"\xB370", "\x82\x39\x91\x39"},     // Hangul
        {L"\x20AC", "\xA2\xE3"},             // the euro sign
        {L"\xE76C", "\x83\x36\xC7\x39"},     // what 936 keeps at A2 E3
        {L"\x2E81", "\xFE\x50"},             // a radical 936 leaves to Private Use
        {L"\x0080", "\x81\x30\x81\x30"},     // the first four-byte form
        {L"\xFFFF", "\x84\x31\xA4\x39"},     // the last of the first plane
        {L"\U0001F600", "\x94\x39\xFC\x36"}, // an emoji
        {L"\U0010FFFF", "\xE3\x32\x9A\x35"}, // the last character
        {L"\x20AC", "\x80"},                 // code page 936's euro byte reads too
        {L"a\xFFFD"
         L"b\xFFFD",
         "a\xFF"
         "b\x81"}, // no character: U+FFFD
    };
    for (size_t i = 0; i < sizeof(forms) / sizeof(forms[0]); ++i) {
        EXPECT_STREQ(tw::ToWide(CStrA(forms[i].second)).Text(), forms[i].first) << forms[i].second;
        if (i < 11) {
            EXPECT_STREQ(tw::ToNarrow(forms[i].first).Text(), forms[i].second);
        }
    }
    for (const wchar_t* lone : {L"a\xD800z", L"a\xDC00z", L"a\xD83D"}) {
        EXPECT_FALSE(tw::NarrowKeeps(CStrW(lone)));
        EXPECT_EQ(std::string(tw::ToNarrow(lone).Text()).substr(0, 2), "a?") << "replaced, not dropped";
    }
    EXPECT_TRUE(tw::ToNarrow(CStrW()).IsNull());
    EXPECT_TRUE(tw::ToWide(CStrA()).IsNull());
    EXPECT_FALSE(tw::ToNarrow(static_cast<const wchar_t*>(nullptr)).IsNull());
}

TEST(StringConversion, CodePage936FormOnlyForTextItHoldsExactly)
{
    CStrA bytes("unchanged");
    EXPECT_FALSE(tw::ToCodePage936(CStrW(L"C:\\\x00DC\\a.exe"), &bytes)) << "no \"U\" stands in for \"Ü\"";
    EXPECT_FALSE(tw::ToCodePage936(CStrW(L"\xB370"), &bytes));
    EXPECT_STREQ(bytes.Text(), "unchanged");
    ASSERT_TRUE(tw::ToCodePage936(CStrW(L"C:\\程序\\\x00FC \x20AC\xE76C.exe"), &bytes));
    EXPECT_STREQ(bytes.Text(), "C:\\\xB3\xCC\xD0\xF2\\\xA8\xB9 \x80\xA2\xE3.exe");
}

namespace {

struct Row {
    CStrW name;
    unsigned value;
};

std::vector<size_t> g_released;

} // namespace

// Growth adds whole steps of 100 to the count, new slots are zero records,
// shrinking and removing release elements in ascending order, and access
// outside raises IndexOutOfRange with the index.
TEST(CheckedArray, GrowsShrinksRemovesAndChecksItsIndices)
{
    g_released.clear();
    tw::CArray<Row> rows([](size_t index, void* element) {
        g_released.push_back(index);
        static_cast<Row*>(element)->name.Release();
    });
    EXPECT_EQ(rows.RemoveAt(0), -1) << "no array yet";
    EXPECT_THROW(rows.At(0), tw::IndexOutOfRange);
    for (unsigned i = 0; i < 100; ++i) {
        Row r = {CStrW(L"row"), i};
        ASSERT_TRUE(rows.Append(r));
        EXPECT_TRUE(r.name.IsNull()) << "the record is taken over";
    }
    EXPECT_EQ(rows.Capacity(), 100u);
    EXPECT_EQ(rows.ResizeArray(101), 200u);
    EXPECT_EQ(rows.At(99).value, 99u) << "records move over whole";
    EXPECT_TRUE(rows.At(100).name.IsNull());
    rows.ResizeArray(150);
    EXPECT_EQ(rows.ResizeArray(260), 350u);
    CStrW kept = rows.At(3).name;
    rows.ResizeArray(5);
    EXPECT_EQ(g_released.size(), 255u);
    EXPECT_EQ(g_released.front(), 5u);
    rows.ResizeArray(50);
    EXPECT_TRUE(rows.At(49).name.IsNull()) << "a raised count yields zero records";
    rows.ResizeArray(5);

    g_released.clear();
    EXPECT_EQ(rows.RemoveAt(1), 4);
    EXPECT_EQ(rows.RemoveAt(3), 3) << "the last element is only released";
    EXPECT_EQ(g_released, (std::vector<size_t>{1, 3}));
    EXPECT_EQ(rows.At(0).value * 100 + rows.At(1).value * 10 + rows.At(2).value, 23u);
    EXPECT_EQ(kept.RefCount(), 2);
    EXPECT_EQ(rows.RemoveAt(3), -1);
    try {
        rows.At(3).value = 1;
        FAIL() << "a write past the end";
    } catch (const tw::IndexOutOfRange& e) {
        EXPECT_EQ(e.index, 3u);
    }
    rows.Destroy();
}

TEST(ColonSplit, HoursMinutesSecondsAndMissingParts)
{
    const struct {
        const wchar_t* text;
        const wchar_t* parts; // left|between|after, "-" for a null string
    } cases[] = {{L"01:02:03", L"01|02|03"}, {L"010203", L"-|-|-"}, {L"01:", L"01|-|-"},    {L"01:02", L"01|-|02"},
                 {L"01::03", L"01|-|03"},    {L":02", L"-|-|02"},   {L"1:2:3:4", L"1|2|4"}, {nullptr, L"-|-|-"}};
    for (const auto& c : cases) {
        CStrW text = c.text ? CStrW(c.text) : CStrW();
        std::wstring parts;
        for (const CStrW& part : {tw::LeftOfFirstColon(text), tw::BetweenFirstColons(text), tw::AfterLastColon(text)})
            parts += (parts.empty() ? L"" : L"|") + std::wstring(part.IsNull() ? L"-" : part.c_str());
        EXPECT_EQ(parts, c.parts) << testing::PrintToString(c.text);
    }
    CStrW stamp(L"2026-12-06 05:04:03");
    EXPECT_STREQ(tw::RightChars(stamp, 8).c_str(), L"05:04:03");
    EXPECT_STREQ(tw::RightChars(stamp, 100).c_str(), L"2026-12-06 05:04:03");
    EXPECT_TRUE(tw::RightChars(stamp, 0).IsNull());
}

TEST(TextOps, ReplaceAllAssignAndAppend)
{
    const struct {
        const wchar_t* text;
        const wchar_t* pattern;
        const wchar_t* replacement;
        const wchar_t* result;
    } cases[] = {
        {L"first line\r\nsecond line\r\n", L"\r\n", L" ", L"first line second line "},
        {L"参数一\r\n参数二", L"\r\n", L"|__#_换_行_符__|", L"参数一|__#_换_行_符__|参数二"},
        {L"aaaa AAA", L"aa", L"b", L"bb AAA"},
        {L"x.x", L"x", L"xx", L"xx.xx"}, // replacements are not scanned again
        {L"a-b-c", L"-", nullptr, L"abc"},
        {L"--", L"-", L"", L""},
        {L"abc", L"", L"b", L"abc"},
        {L"abc", L"zz", L"b", L"abc"},
    };
    for (const auto& c : cases) {
        CStrW text(c.text), shared = text;
        tw::ReplaceAll(text, c.pattern, c.replacement);
        EXPECT_STREQ(text.c_str(), c.result);
        EXPECT_STREQ(shared.c_str(), c.text) << "the other holder keeps its text";
    }
    CStrW null;
    EXPECT_EQ(tw::ReplaceAll(null, L"a", L"b"), 0);
    EXPECT_TRUE(null.IsNull());

    CStrW dst(L"old");
    tw::AssignFrom(dst, CStrW(L"new"));
    EXPECT_EQ(dst.RefCount(), 1) << "a copy, not a shared record";
    tw::AssignFrom(dst, dst);
    tw::AppendText(dst, CStrW(L" and more"));
    tw::AppendText(dst, CStrW());
    tw::AppendUInt64(dst, 18446744073709551615ULL);
    EXPECT_STREQ(dst.c_str(), L"new and more18446744073709551615");
}

TEST(TextOps, CompareTextAndTextDiffers)
{
    EXPECT_EQ(tw::CompareText(CStrW(), nullptr, 0), 0) << "empty and null are equal";
    EXPECT_EQ(tw::CompareText(CStrW(), L"a", 0), 1);
    EXPECT_EQ(tw::CompareText(CStrW(L"a"), nullptr, 0), -1);
    EXPECT_EQ(tw::CompareText(CStrW(L"C:\\App\\Tool.EXE"), L"c:\\app\\tool.exe", 0), 0);
    EXPECT_NE(tw::CompareText(CStrW(L"ABC"), L"abc", 1), 0);
    EXPECT_LT(tw::CompareText(CStrW(L"abc"), L"abd", 1), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(), L""), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"监控"), L"监控"), 0);
    for (const wchar_t* other : {L"ABC", L"abcd", static_cast<const wchar_t*>(nullptr)})
        EXPECT_EQ(tw::TextDiffers(CStrW(L"abc"), other), 1);
}

namespace {

const tw::PathView kNative = tw::MakePathView(false, L"C:\\Windows");
// What a 32-bit Tollwick on 64-bit Windows sees; the x86 build may not run
// on the machine that runs these tests, so its view is made up here.
const tw::PathView kWow64 = tw::MakePathView(true, L"C:\\Windows");

} // namespace

TEST(NormalisedPath, OneFormForEveryWayOfNamingAFile)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
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
    for (const auto& c : cases)
        EXPECT_STREQ(tw::NormalisedPath(c.first, kNative).c_str(), c.second) << testing::PrintToString(c.first);
    EXPECT_TRUE(tw::NormalisedPath(nullptr, kNative).IsEmpty());
}

// Case is ignored, other files are not; a 32-bit watchdog on 64-bit Windows
// starts a System32 program from the redirected SysWOW64 folder and sees that
// path: it is the same program, not one to start again every period.
TEST(SamePath, IgnoresCaseAndTheWow64FoldersButNotOtherFiles)
{
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool wow64;
        bool same;
    } cases[] = {
        {L"c:\\APPS\\X\\Prog.EXE", L"C:\\apps\\x\\.\\prog.exe", false, true},
        {L"C:\\ÄPPS\\prog.exe", L"C:\\äpps\\prog.exe", false, true},
        {L"C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog2.exe", false, false},
        {L"C:\\apps\\x\\prog.exe", L"D:\\apps\\x\\prog.exe", false, false},
        {L"", L"", false, false}, // no path names no program
        {nullptr, L"C:\\a.exe", false, false},
        {L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64\\notepad.exe", true, true},
        {L"c:\\windows\\sysnative\\notepad.exe", L"C:\\Windows\\System32\\NOTEPAD.exe", true, true},
        {L"\\\\?\\C:\\WINDOWS\\syswow64\\a\\b.exe", L"C:\\Windows\\System32\\a\\b.exe", true, true},
        {L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64x\\notepad.exe", true, false},
        {L"C:\\Windows\\System32\\notepad.exe", L"D:\\Windows\\SysWOW64\\notepad.exe", true, false},
        // A 64-bit process sees both folders as they are.
        {L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\SysWOW64\\notepad.exe", false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tw::SamePath(c.a, c.b, c.wow64 ? kWow64 : kNative), c.same) << testing::PrintToString(c.b);
}

// Numbers in config.xml's "hwnd" name the same window to both builds: 32
// significant bits; beyond them no window, where x86 would cut it to another.
TEST(StoredWindow, ThirtyTwoSignificantBitsInBothBuilds)
{
    // 0x80001234 as a 64-bit process writes it (sign-extended) and as a
    // reader might have written it (unsigned).
    HWND high = tw::WindowFromStoredValue(-2147478988LL);
    EXPECT_EQ(high, tw::WindowFromStoredValue(0x80001234LL));
    EXPECT_EQ(tw::StoredWindowValue(high), -2147478988LL);
    EXPECT_EQ(tw::StoredWindowValue(tw::WindowFromStoredValue(65846)), 65846);
    for (long long none : {0LL, 0x100010000LL, -0x80000001LL, 9223372036854775807LL})
        EXPECT_EQ(tw::WindowFromStoredValue(none), nullptr) << none;
}
