#include "core/str.h"

#include <gtest/gtest.h>

#include <string.h>
#include <wchar.h>

#include <string>

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

TEST(StringCapacity, ReserveGrowsToExactlyNPlusOneAndKeepsTheText)
{
    CStrW s;
    ASSERT_NE(s.Reserve(5), nullptr);
    EXPECT_EQ(s.Capacity(), 6u);
    EXPECT_EQ(s.Length(), 0u);
    EXPECT_EQ(s.RefCount(), 1);
    s.AssignChars(L"abc", 0);
    s.Reserve(100);
    EXPECT_EQ(s.Capacity(), 101u);
    EXPECT_EQ(s.Length(), 3u);
    EXPECT_STREQ(s.Text(), L"abc");
    EXPECT_TRUE(TailIsZero(s));
    s.Reserve(10);
    EXPECT_EQ(s.Capacity(), 101u) << "a smaller request never shrinks";
}

TEST(StringCapacity, RecordAndTextAreOneBlock)
{
    CStrW s(L"x");
    const auto* rec = s.Record();
    EXPECT_EQ(reinterpret_cast<const void*>(rec->text), reinterpret_cast<const void*>(rec + 1));
}

TEST(StringCapacity, AppendGrowsByAFixedSlack)
{
    CStrW s;
    s.Reserve(10);
    s.AssignChars(L"a", 1);
    ASSERT_EQ(s.Capacity(), 11u);
    s.AppendChars(L"0123456789", 10);
    EXPECT_EQ(s.Capacity(), 1u + 10u + 4096u + 1u);
    EXPECT_STREQ(s.Text(), L"a0123456789");

    CStrW fresh;
    fresh.AppendChars(L"abc", 0);
    EXPECT_EQ(fresh.Capacity(), 3u + 4096u + 1u);
    // Within the slack nothing moves.
    const wchar_t* before = fresh.Text();
    fresh.AppendChars(L"def", 0);
    EXPECT_EQ(fresh.Text(), before);
    EXPECT_STREQ(fresh.Text(), L"abcdef");
}

TEST(StringCapacity, AppendingNothingLeavesANullStringNull)
{
    CStrW s;
    s.AppendChars(L"", 0);
    EXPECT_TRUE(s.IsNull());
    s.AppendChars(nullptr, 0);
    EXPECT_TRUE(s.IsNull());
    s.AppendInt64(0);
    EXPECT_STREQ(s.Text(), L"0") << "a number always has digits";
}

TEST(StringCapacity, AssigningNullGivesAnEmptyStringWithARecord)
{
    CStrW s;
    s.AssignChars(nullptr, 0);
    EXPECT_FALSE(s.IsNull());
    EXPECT_EQ(s.Length(), 0u);
    EXPECT_GE(s.Capacity(), 1u);
    EXPECT_STREQ(s.Text(), L"");
}

TEST(StringCapacity, AssignZeroesTheWholeBuffer)
{
    CStrA s("a long piece of text");
    s.AssignChars("ab", 0);
    EXPECT_EQ(s.Length(), 2u);
    EXPECT_TRUE(TailIsZero(s));
}

TEST(StringCapacity, SetLengthZeroesUpToTheCapacity)
{
    CStrW s;
    wchar_t* buffer = s.Reserve(32);
    wcscpy(buffer, L"hello world");
    buffer[5] = L'X';
    // A system call that reported writing fewer characters than it did.
    s.SetLength(5);
    EXPECT_EQ(s.Length(), 5u);
    EXPECT_STREQ(s.Text(), L"hello");
    EXPECT_TRUE(TailIsZero(s));
}

TEST(StringCapacity, SetLengthBeyondTheCapacityGrowsFirst)
{
    CStrW s;
    s.Reserve(3);
    ASSERT_EQ(s.Capacity(), 4u);
    s.SetLength(10);
    EXPECT_EQ(s.Capacity(), 4u + 4096u + 1u);
    EXPECT_EQ(s.Length(), 10u);
}

TEST(StringSharing, CopiesShareTheRecordAndReleaseFreesAtTheLastReference)
{
    CStrW a(L"shared");
    {
        CStrW b = a;
        EXPECT_EQ(a.Record(), b.Record());
        EXPECT_EQ(a.RefCount(), 2);
        CStrW c;
        c = b;
        EXPECT_EQ(a.RefCount(), 3);
        c.Release();
        EXPECT_TRUE(c.IsNull());
        EXPECT_EQ(a.RefCount(), 2);
    }
    EXPECT_EQ(a.RefCount(), 1);
    EXPECT_STREQ(a.Text(), L"shared");
}

TEST(StringSharing, ChangingASharedStringLeavesTheOtherHoldersAlone)
{
    CStrW directory(L"C:\\app\\");
    CStrW path = directory;
    path.AppendChars(L"config.xml", 0);
    EXPECT_STREQ(directory.Text(), L"C:\\app\\");
    EXPECT_STREQ(path.Text(), L"C:\\app\\config.xml");
    EXPECT_EQ(directory.RefCount(), 1);
    EXPECT_EQ(path.RefCount(), 1);

    CStrW a(L"text");
    CStrW b = a;
    b.AssignChars(L"other", 0);
    CStrW c = a;
    c.Format(L"%d", 1);
    CStrW d = a;
    d.Buffer()[0] = L'T';
    EXPECT_STREQ(a.Text(), L"text");
    EXPECT_STREQ(b.Text(), L"other");
    EXPECT_STREQ(c.Text(), L"1");
    EXPECT_STREQ(d.Text(), L"Text");
    EXPECT_EQ(a.RefCount(), 1);
}

TEST(StringSharing, CopyOfANullStringHasARecordOfItsOwn)
{
    CStrW null;
    CStrW copy(null);
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(copy.IsNull());
    EXPECT_EQ(copy.Length(), 0u);
}

TEST(StringSharing, SelfAssignmentKeepsTheText)
{
    CStrW a(L"self");
    CStrW& alias = a;
    a = alias;
    EXPECT_EQ(a.RefCount(), 1);
    EXPECT_STREQ(a.Text(), L"self");
}

TEST(StringAppend, OwnTextCanBeAppendedAcrossARegrow)
{
    CStrW s(L"abc");
    ASSERT_EQ(s.Capacity(), 4u);
    s.AppendChars(s.Text(), 0);
    EXPECT_STREQ(s.Text(), L"abcabc");
}

TEST(StringAppend, NumbersUseTheirFixedPatterns)
{
    CStrW w;
    w.AppendInt64(-9223372036854775807LL - 1);
    w.AppendChars(L"|", 1);
    w.AppendUInt32(4294967295UL);
    w.AppendChars(L"|", 1);
    w.AppendUInt64(18446744073709551615ULL);
    EXPECT_STREQ(w.Text(), L"-9223372036854775808|4294967295|18446744073709551615");

    CStrA a;
    a.AppendUInt64(42);
    EXPECT_STREQ(a.Text(), "42");
}

TEST(StringFormat, LongOutputIsCutAt259CharactersWithMinusOne)
{
    std::wstring longText(300, L'x');
    CStrW s;
    EXPECT_EQ(s.Format(L"%s", longText.c_str()), -1);
    EXPECT_EQ(s.Length(), 259u);
    EXPECT_EQ(std::wstring(s.Text()), std::wstring(259, L'x'));

    CStrA a;
    std::string narrow(300, 'y');
    EXPECT_EQ(a.Format("%s", narrow.c_str()), -1);
    EXPECT_EQ(a.Length(), 259u);
}

TEST(StringFormat, WideFormatFollowsTheMicrosoftConventions)
{
    CStrW s;
    EXPECT_EQ(s.Format(L"[%s] %s %lld %lu", L"运行程序", L"进程", -5LL, 7UL), 14);
    EXPECT_STREQ(s.Text(), L"[运行程序] 进程 -5 7");
    CStrA a;
    EXPECT_EQ(a.Format("%lld", 9223372036854775807LL), 19);
    EXPECT_STREQ(a.Text(), "9223372036854775807");
}

TEST(StringFormat, SmallBufferIsReplacedByOneOf260KeepingTheCount)
{
    CStrW s(L"ab");
    s.Format(L"%d", 12345);
    EXPECT_EQ(s.Capacity(), 260u);
    EXPECT_STREQ(s.Text(), L"12345");
    EXPECT_TRUE(TailIsZero(s));

    // A buffer of at least 260 is reused.
    const wchar_t* before = s.Text();
    s.Format(L"%s", L"x");
    EXPECT_EQ(s.Text(), before);
    EXPECT_TRUE(TailIsZero(s));
}

TEST(StringFormat, OwnTextMayBeAnArgument)
{
    CStrW s(L"abc");
    s.Format(L"%s-%s", s.Text(), s.Text());
    EXPECT_STREQ(s.Text(), L"abc-abc");
}

TEST(StringFormat, FormatToBufferCutsAtTheBufferSize)
{
    wchar_t wide[8];
    EXPECT_EQ(tw::FormatToBuffer(wide, 8, L"%s", L"0123456789"), -1);
    EXPECT_STREQ(wide, L"0123456");
    char narrow[8];
    EXPECT_EQ(tw::FormatToBuffer(narrow, 8, "%d", 42), 2);
    EXPECT_STREQ(narrow, "42");
}

TEST(StringNarrow, IsEmptyCoversNullZeroLengthAndZeroFirstCharacter)
{
    CStrA s;
    EXPECT_TRUE(s.IsEmpty());
    s.AssignChars(nullptr, 0);
    EXPECT_TRUE(s.IsEmpty());
    char* buffer = s.Reserve(4);
    buffer[0] = 0;
    buffer[1] = 'x';
    EXPECT_TRUE(s.IsEmpty());
    s.AssignChars("a", 0);
    EXPECT_FALSE(s.IsEmpty());
}

TEST(StringConversion, EveryUnicodeTextRoundTrips)
{
    const wchar_t* texts[] = {L"监视运行状态",
                              L"进程\"记事本.exe\"重启成功, 进程ID为:42",
                              L"|__#_换_行_符__|",
                              L"C:\\kiosk\\\xB370\xBAA8 \x00DCn\x00EF\\kiosk.exe",
                              L"Gr\x00FC\x00DF"
                              L"e \U0001F600 \x0E01 \x20AC \xE76C \x2E81 \xFFFF",
                              L"ascii only"};
    for (const wchar_t* text : texts) {
        CStrA narrow = tw::ToNarrow(CStrW(text));
        CStrW back = tw::ToWide(narrow);
        EXPECT_STREQ(back.Text(), text);
        EXPECT_EQ(back.Length(), wcslen(text));
        EXPECT_TRUE(TailIsZero(back));
        EXPECT_STREQ(tw::ToWide(tw::ToNarrow(text)).Text(), text);
        EXPECT_TRUE(tw::NarrowKeeps(CStrW(text)));
    }
    // Every character of the first plane and a sample of the others.
    std::wstring all;
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (unit < 0xD800 || unit > 0xDFFF)
            all += static_cast<wchar_t>(unit);
    }
    for (unsigned point = 0x10000; point <= 0x10FFFF; point += 0x1011)
        all += {static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)),
                static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF))};
    CStrW whole(all.c_str(), all.size());
    EXPECT_TRUE(tw::ToWide(tw::ToNarrow(whole)).Text() == all);
}

TEST(StringConversion, NarrowFormIsGb18030WithCodePage936sBytes)
{
    const struct {
        const wchar_t* text;
        const char* bytes;
    } forms[] = {
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
        CStrA narrow = tw::ToNarrow(form.text);
        EXPECT_EQ(std::string(narrow.Text(), narrow.Length()), form.bytes) << form.bytes;
        EXPECT_STREQ(tw::ToWide(CStrA(form.bytes)).Text(), form.text) << form.bytes;
    }
    EXPECT_STREQ(tw::ToWide(CStrA("\x80")).Text(), L"\x20AC") << "code page 936's euro byte reads too";
    EXPECT_STREQ(tw::ToWide(CStrA("a\xFF"
                                  "b\x81"))
                     .Text(),
                 L"a\xFFFD"
                 L"b\xFFFD")
        << "no character: U+FFFD";
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

TEST(StringConversion, NullAndEmptyInputs)
{
    EXPECT_TRUE(tw::ToNarrow(CStrW()).IsNull());
    EXPECT_TRUE(tw::ToWide(CStrA()).IsNull());
    CStrA fromNull = tw::ToNarrow(static_cast<const wchar_t*>(nullptr));
    EXPECT_FALSE(fromNull.IsNull());
    EXPECT_EQ(fromNull.Length(), 0u);
    CStrA fromEmpty = tw::ToNarrow(L"");
    EXPECT_FALSE(fromEmpty.IsNull());
    CStrW empty;
    empty.AssignChars(nullptr, 0);
    EXPECT_EQ(tw::ToNarrow(empty).Length(), 0u);
}

TEST(StringConversion, AnUnpairedSurrogateIsTheOnlyTextNotKept)
{
    const wchar_t* texts[] = {L"a\xD800z", L"a\xDC00z", L"a\xD83D"};
    for (const wchar_t* text : texts) {
        EXPECT_FALSE(tw::NarrowKeeps(CStrW(text)));
        CStrA narrow = tw::ToNarrow(text);
        EXPECT_EQ(narrow.Text()[0], 'a');
        EXPECT_EQ(narrow.Text()[1], '?') << "replaced, not dropped";
    }
}
