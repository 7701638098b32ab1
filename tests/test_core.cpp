// The foundation: shared strings and their GB18030 forms, checked arrays, text operations and paths.
#include "core/array.h"
#include "core/handle.h"
#include "core/path.h"
#include "core/text_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tw::CStrA;
using tw::CStrW;

// The own text may be appended or formatted into the string; SetLength zeroes what lies past the length.
TEST(StringSharing, CopiesShareTheRecordUntilOneOfThemChanges)
{
    CStrW a(L"text"), appended = a, assigned, formatted = a, written = a;
    assigned = a;
    EXPECT_EQ(a.RefCount(), 5);
    appended.AppendChars(appended.Text(), 0);
    assigned.AssignChars(L"other", 0);
    formatted.Format(L"%s-%d", formatted.Text(), 1);
    written.Buffer()[0] = L'T';
    EXPECT_EQ(std::wstring(a.Text()) + L"|" + appended.Text() + L"|" + assigned.Text() + L"|" + formatted.Text() +
                  L"|" + written.Text(),
              L"text|texttext|other|text-1|Text");
    EXPECT_EQ(a.RefCount(), 1);
    CStrW null, copy(null), empty;
    empty.AssignChars(nullptr, 0);
    EXPECT_TRUE(null.IsNull() && !copy.IsNull() && !empty.IsNull() && empty.IsEmpty());
    wcscpy(empty.Reserve(32), L"hello world");
    empty.SetLength(5);
    EXPECT_EQ(std::wstring(empty.Text(), empty.Capacity()), L"hello" + std::wstring(empty.Capacity() - 5, L'\0'));
}

// %s is the string's own width, as Microsoft's runtime has it. A long path
// does not hide the number after it, nor does a long own text taken twice.
TEST(StringFormat, NumbersAndTheMicrosoftConventionsAtAnyLength)
{
    CStrW w;
    w.AppendInt64(-9223372036854775807LL - 1).AppendChars(L"|", 1).AppendUInt64(18446744073709551615ULL);
    EXPECT_STREQ(w.Text(), L"-9223372036854775808|18446744073709551615");
    EXPECT_EQ(w.Format(L"[%s] %s %lld %lu", L"运行程序", L"进程", -5LL, 7UL), 14);
    EXPECT_STREQ(w.Text(), L"[运行程序] 进程 -5 7");
    std::wstring text = L"路径为:" + std::wstring(600, L'x') + L", 错误代码为:1455";
    EXPECT_EQ(w.Format(L"路径为:%s, 错误代码为:%lu", std::wstring(600, L'x').c_str(), 1455UL),
              static_cast<int>(text.size()));
    EXPECT_EQ(std::wstring(w.Text()), text);
    w.Format(L"%s|%s", w.Text(), w.Text());
    EXPECT_EQ(std::wstring(w.Text(), w.Length()), text + L"|" + text);
    CStrA a;
    EXPECT_EQ(a.Format("%s %d", std::string(600, 'y').c_str(), 7), 602);
    EXPECT_EQ(std::string(a.Text(), a.Length()), std::string(600, 'y') + " 7");
}

// GB18030 keeps code page 936's bytes; the 936 form is made only for text that 936 holds exactly.
TEST(StringConversion, EveryUnicodeTextRoundTripsThroughGb18030)
{
    std::wstring all;
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit)
        all += unit < 0xD800 || unit > 0xDFFF ? std::wstring(1, static_cast<wchar_t>(unit)) : L"";
    for (unsigned point = 0x10000; point <= 0x10FFFF; point += 0x1011)
        all += {static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)),
                static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF))};
    EXPECT_TRUE(tw::NarrowKeeps(CStrW(all.c_str(), all.size())));
    EXPECT_TRUE(tw::ToWide(tw::ToNarrow(CStrW(all.c_str(), all.size()))).Text() == all);
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
    };
    for (const auto& form : forms) {
        EXPECT_STREQ(tw::ToNarrow(form.first).Text(), form.second);
        EXPECT_STREQ(tw::ToWide(CStrA(form.second)).Text(), form.first);
    }
    EXPECT_STREQ(tw::ToNarrow(L"a\xD800z").Text(), "a?z") << "replaced, not dropped";
    EXPECT_FALSE(tw::NarrowKeeps(CStrW(L"a\xDC00")));
    EXPECT_STREQ(tw::ToWide(CStrA("\x80|a\xFF|\x81")).Text(), L"\x20AC|a\xFFFD|\xFFFD") << "936's euro; no character";
    CStrA bytes("unchanged");
    EXPECT_FALSE(tw::ToCodePage936(CStrW(L"C:\\\x00DC\\a.exe"), &bytes)) << "no \"U\" stands in for \"Ü\"";
    EXPECT_STREQ(bytes.Text(), "unchanged");
    ASSERT_TRUE(tw::ToCodePage936(CStrW(L"C:\\程序\\\x00FC \x20AC\xE76C.exe"), &bytes));
    EXPECT_STREQ(bytes.Text(), "C:\\\xB3\xCC\xD0\xF2\\\xA8\xB9 \x80\xA2\xE3.exe");
}

// Growth adds whole steps of 100 to the count; released elements go in ascending order.
TEST(CheckedArray, GrowsShrinksRemovesAndChecksItsIndices)
{
    struct Row {
        CStrW name;
        unsigned value;
    };
    static std::vector<size_t> released;
    tw::CArray<Row> rows([](size_t index, void* element) {
        released.push_back(index);
        static_cast<Row*>(element)->name.Release();
    });
    EXPECT_EQ(rows.RemoveAt(0), -1) << "no array yet";
    for (unsigned i = 0; i < 100; ++i) {
        Row r = {CStrW(L"row"), i};
        ASSERT_TRUE(rows.Append(r));
        ASSERT_TRUE(r.name.IsNull()) << "the record is taken over";
    }
    EXPECT_EQ(rows.ResizeArray(101), 200u);
    rows.ResizeArray(150);
    EXPECT_EQ(rows.ResizeArray(260), 350u);
    EXPECT_TRUE(rows.At(99).value == 99 && rows.At(100).name.IsNull());
    CStrW kept = rows.At(3).name;
    rows.ResizeArray(4);
    EXPECT_TRUE(released.size() == 256 && released.front() == 4);
    released.clear();
    EXPECT_EQ(rows.RemoveAt(1), 3);
    EXPECT_EQ(rows.RemoveAt(2), 2) << "the last element is only released";
    EXPECT_EQ(released, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(rows.At(1).value, 2u);
    EXPECT_EQ(kept.RefCount(), 1);
    try {
        rows.At(2).value = 1;
        FAIL() << "a write past the end";
    } catch (const tw::IndexOutOfRange& e) {
        EXPECT_EQ(e.index, 2u);
    }
    rows.Destroy();
}

TEST(ColonSplit, HoursMinutesSecondsAndMissingParts)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"01:02:03", L"01|02|03"}, {L"010203", L"-|-|-"}, {L"01:", L"01|-|-"},    {L"01:02", L"01|-|02"},
        {L"01::03", L"01|-|03"},    {L":02", L"-|-|02"},   {L"1:2:3:4", L"1|2|4"}, {nullptr, L"-|-|-"}};
    for (const auto& c : cases) {
        CStrW text = c.first ? CStrW(c.first) : CStrW();
        std::wstring parts;
        for (const CStrW& part : {tw::LeftOfFirstColon(text), tw::BetweenFirstColons(text), tw::AfterLastColon(text)})
            parts += (parts.empty() ? L"" : L"|") + std::wstring(part.IsNull() ? L"-" : part.c_str());
        EXPECT_EQ(parts, c.second) << testing::PrintToString(c.first);
    }
    CStrW stamp(L"2026-12-06 05:04:03");
    EXPECT_STREQ(tw::RightChars(stamp, 8).c_str(), L"05:04:03");
    EXPECT_STREQ(tw::RightChars(stamp, 100).c_str(), L"2026-12-06 05:04:03");
}

// Replacements are not scanned again, and a shared record is not changed under its other holder.
TEST(TextOps, ReplaceAllAndCompareText)
{
    const wchar_t* cases[][4] = {
        {L"first\r\nsecond\r\n", L"\r\n", L" ", L"first second "},
        {L"参数一\r\n参数二", L"\r\n", L"|__#_换_行_符__|", L"参数一|__#_换_行_符__|参数二"},
        {L"aaaa AAA", L"aa", L"b", L"bb AAA"},
        {L"x.x", L"x", L"xx", L"xx.xx"},
        {L"a-b-c", L"-", nullptr, L"abc"},
        {L"--", L"-", L"", L""},
        {L"abc", L"", L"b", L"abc"},
    };
    for (const auto& c : cases) {
        CStrW text(c[0]), shared = text;
        tw::ReplaceAll(text, c[1], c[2]);
        EXPECT_EQ(std::wstring(text.c_str()) + L"|" + shared.c_str(), std::wstring(c[3]) + L"|" + c[0]);
    }
    CStrW dst(L"new");
    tw::AssignFrom(dst, dst);
    tw::AppendText(dst, CStrW());
    tw::AppendUInt64(dst, 7);
    EXPECT_STREQ(dst.c_str(), L"new7");
    EXPECT_EQ(tw::CompareText(CStrW(), nullptr, 0), 0) << "empty and null are equal";
    EXPECT_EQ(tw::CompareText(CStrW(), L"a", 0) * 10 + tw::CompareText(CStrW(L"a"), nullptr, 0), 9);
    EXPECT_EQ(tw::CompareText(CStrW(L"C:\\App\\Tool.EXE"), L"c:\\app\\tool.exe", 0), 0);
    EXPECT_LT(tw::CompareText(CStrW(L"ABC"), L"abc", 1), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"监控"), L"监控") + tw::TextDiffers(CStrW(), L""), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"abc"), L"ABC") + tw::TextDiffers(CStrW(L"abc"), nullptr), 2);
}

// A 32-bit Tollwick on 64-bit Windows (made up here: the x86 build may not run on this machine) starts
// a System32 program from SysWOW64 and must see that path as the same program.
TEST(SamePath, OneFormForEveryWayOfNamingAFileWithoutOtherFiles)
{
    const tw::PathView native = tw::MakePathView(false, L"C:\\Windows");
    const tw::PathView wow64 = tw::MakePathView(true, L"C:\\Windows");
    const std::pair<const wchar_t*, const wchar_t*> forms[] = {
        {L"C:/apps//x\\\\\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\apps\\y\\..\\x\\.\\prog.exe", L"C:\\apps\\x\\prog.exe"},
        {L"C:\\..\\..\\apps\\x\\", L"C:\\apps\\x"},
        {L"\\\\?\\C:\\a.exe", L"C:\\a.exe"},
        {L"\\??\\C:\\a.exe", L"C:\\a.exe"},
        {L"\\\\.\\C:\\a.exe", L"C:\\a.exe"},
        {L"\\\\?\\UNC\\server\\share\\a.exe", L"\\\\server\\share\\a.exe"},
        {L"//server/share/../../a.exe", L"\\\\server\\share\\a.exe"},
        {L"\\\\server\\share\\a\\..\\a.exe", L"\\\\server\\share\\a.exe"},
        {L"\\apps\\.\\a.exe", L"\\apps\\a.exe"},
        {L"C:\\数据\\收银系统.exe", L"C:\\数据\\收银系统.exe"},
        {L"", L""},
    };
    for (const auto& form : forms)
        EXPECT_STREQ(tw::NormalisedPath(form.first, native).c_str(), form.second) << testing::PrintToString(form.first);
    const struct {
        const wchar_t *a, *b;
        bool wow64, same;
    } pairs[] = {
        {L"c:\\APPS\\ÄX\\Prog.EXE", L"C:\\apps\\äx\\.\\prog.exe", false, true},
        {L"C:\\apps\\x\\prog.exe", L"C:\\apps\\x\\prog2.exe", false, false},
        {L"C:\\apps\\x\\prog.exe", L"D:\\apps\\x\\prog.exe", false, false},
        {L"", L"", false, false}, // no path names no program
        {nullptr, L"C:\\a.exe", false, false},
        {L"C:\\Windows\\System32\\n.exe", L"C:\\Windows\\SysWOW64\\n.exe", true, true},
        {L"c:\\windows\\sysnative\\n.exe", L"\\\\?\\C:\\WINDOWS\\System32\\N.exe", true, true},
        {L"C:\\Windows\\System32\\n.exe", L"C:\\Windows\\SysWOW64x\\n.exe", true, false},
        {L"C:\\Windows\\System32\\n.exe", L"D:\\Windows\\SysWOW64\\n.exe", true, false},
        {L"C:\\Windows\\System32\\n.exe", L"C:\\Windows\\SysWOW64\\n.exe", false, false}, // 64-bit: as they are
    };
    for (const auto& p : pairs)
        EXPECT_EQ(tw::SamePath(p.a, p.b, p.wow64 ? wow64 : native), p.same) << testing::PrintToString(p.b);
}

// config.xml's "hwnd" has 32 significant bits, sign-extended or not; beyond them x86 would cut it to another.
TEST(StoredWindow, ThirtyTwoSignificantBitsInBothBuilds)
{
    HWND high = tw::WindowFromStoredValue(-2147478988LL);
    EXPECT_EQ(high, tw::WindowFromStoredValue(0x80001234LL));
    EXPECT_EQ(tw::StoredWindowValue(high), -2147478988LL);
    EXPECT_EQ(tw::StoredWindowValue(tw::WindowFromStoredValue(65846)), 65846);
    for (long long none : {0LL, 0x100010000LL, -0x80000001LL, 9223372036854775807LL})
        EXPECT_EQ(tw::WindowFromStoredValue(none), nullptr) << none;
}
