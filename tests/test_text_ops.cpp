#include "core/text_ops.h"

#include <gtest/gtest.h>

using tw::CStrW;

namespace {

// Text of a result, "" for the null string.
const wchar_t* T(const CStrW& s)
{
    return s.c_str();
}

} // namespace

TEST(ColonSplit, HoursMinutesSeconds)
{
    CStrW hms(L"01:02:03");
    EXPECT_STREQ(T(tw::LeftOfFirstColon(hms)), L"01");
    EXPECT_STREQ(T(tw::BetweenFirstColons(hms)), L"02");
    EXPECT_STREQ(T(tw::AfterLastColon(hms)), L"03");
}

TEST(ColonSplit, MissingPartsAreNullStrings)
{
    CStrW none(L"010203");
    EXPECT_TRUE(tw::LeftOfFirstColon(none).IsNull());
    EXPECT_TRUE(tw::BetweenFirstColons(none).IsNull());
    EXPECT_TRUE(tw::AfterLastColon(none).IsNull());

    EXPECT_TRUE(tw::AfterLastColon(CStrW(L"01:")).IsNull());
    EXPECT_TRUE(tw::BetweenFirstColons(CStrW(L"01:")).IsNull());
    EXPECT_TRUE(tw::BetweenFirstColons(CStrW(L"01:02")).IsNull());
    EXPECT_TRUE(tw::BetweenFirstColons(CStrW(L"01::03")).IsNull());
    EXPECT_TRUE(tw::LeftOfFirstColon(CStrW(L":02")).IsNull());
    EXPECT_STREQ(T(tw::AfterLastColon(CStrW(L"1:2:3:4"))), L"4");
    EXPECT_STREQ(T(tw::BetweenFirstColons(CStrW(L"1:2:3:4"))), L"2");
    CStrW null;
    EXPECT_TRUE(tw::LeftOfFirstColon(null).IsNull());
    EXPECT_TRUE(tw::BetweenFirstColons(null).IsNull());
    EXPECT_TRUE(tw::AfterLastColon(null).IsNull());
}

TEST(RightChars, TakesTheTailOrAll)
{
    CStrW s(L"2026-12-06 05:04:03");
    EXPECT_STREQ(T(tw::RightChars(s, 8)), L"05:04:03");
    EXPECT_STREQ(T(tw::RightChars(s, 100)), L"2026-12-06 05:04:03");
    EXPECT_TRUE(tw::RightChars(s, 0).IsNull());
    EXPECT_TRUE(tw::RightChars(CStrW(), 3).IsNull());
}

TEST(AssignAndAppend, CopyAndJoinCountedTexts)
{
    CStrW dst(L"old");
    tw::AssignFrom(dst, CStrW(L"new text"));
    EXPECT_STREQ(T(dst), L"new text");
    EXPECT_EQ(dst.RefCount(), 1) << "a copy, not a shared record";
    tw::AssignFrom(dst, dst);
    EXPECT_STREQ(T(dst), L"new text");
    tw::AppendText(dst, CStrW(L" and more"));
    EXPECT_STREQ(T(dst), L"new text and more");
    tw::AppendText(dst, CStrW());
    EXPECT_STREQ(T(dst), L"new text and more");
    tw::AppendUInt64(dst, 18446744073709551615ULL);
    EXPECT_STREQ(T(dst), L"new text and more18446744073709551615");

    CStrW index;
    tw::AppendUInt64(index, 3);
    EXPECT_STREQ(T(index), L"3");
    EXPECT_EQ(index.Capacity(), 1u + 4096u + 1u);
}

TEST(ReplaceAll, LineBreaksBecomeSpaces)
{
    CStrW s(L"first line\r\nsecond line\r\n");
    EXPECT_EQ(tw::ReplaceAll(s, L"\r\n", L" "), 1);
    EXPECT_STREQ(T(s), L"first line second line ");
    EXPECT_EQ(s.Length(), 23u);
}

TEST(ReplaceAll, LineBreakMarkerOfTheParameters)
{
    CStrW s(L"参数一\r\n参数二");
    EXPECT_EQ(tw::ReplaceAll(s, L"\r\n", L"|__#_换_行_符__|"), 1);
    EXPECT_STREQ(T(s), L"参数一|__#_换_行_符__|参数二");
}

TEST(ReplaceAll, MatchesAreExactAndDoNotOverlap)
{
    CStrW s(L"aaaa AAA");
    tw::ReplaceAll(s, L"aa", L"b");
    EXPECT_STREQ(T(s), L"bb AAA");
    CStrW grow(L"x.x");
    tw::ReplaceAll(grow, L"x", L"xx");
    EXPECT_STREQ(T(grow), L"xx.xx") << "replacements are not scanned again";
}

TEST(ReplaceAll, EmptyReplacementDeletes)
{
    CStrW s(L"a-b-c");
    tw::ReplaceAll(s, L"-", nullptr);
    EXPECT_STREQ(T(s), L"abc");
    CStrW all(L"--");
    tw::ReplaceAll(all, L"-", L"");
    EXPECT_EQ(all.Length(), 0u);
    EXPECT_STREQ(T(all), L"");
}

TEST(ReplaceAll, NothingToDoWithAnEmptyTextOrPattern)
{
    CStrW null;
    EXPECT_EQ(tw::ReplaceAll(null, L"a", L"b"), 0);
    EXPECT_TRUE(null.IsNull());
    CStrW s(L"abc");
    EXPECT_EQ(tw::ReplaceAll(s, L"", L"b"), 0);
    EXPECT_EQ(tw::ReplaceAll(s, nullptr, L"b"), 0);
    EXPECT_STREQ(T(s), L"abc");
    EXPECT_EQ(tw::ReplaceAll(s, L"zz", L"b"), 1);
    EXPECT_STREQ(T(s), L"abc");
}

TEST(ReplaceAll, SharedRecordIsNotChangedUnderItsOtherHolder)
{
    CStrW original(L"a\r\nb");
    CStrW copy = original;
    tw::ReplaceAll(copy, L"\r\n", L" ");
    EXPECT_STREQ(T(copy), L"a b");
    EXPECT_STREQ(T(original), L"a\r\nb");
}

TEST(CompareText, EmptyAndNullAreEqual)
{
    CStrW empty;
    EXPECT_EQ(tw::CompareText(empty, nullptr, 0), 0);
    EXPECT_EQ(tw::CompareText(empty, L"", 1), 0);
    EXPECT_EQ(tw::CompareText(empty, L"a", 0), 1);
    EXPECT_EQ(tw::CompareText(CStrW(L"a"), nullptr, 0), -1);
}

TEST(CompareText, CaseRuleFollowsTheExactFlag)
{
    EXPECT_EQ(tw::CompareText(CStrW(L"ABC"), L"abc", 0), 0);
    EXPECT_NE(tw::CompareText(CStrW(L"ABC"), L"abc", 1), 0);
    EXPECT_EQ(tw::CompareText(CStrW(L"C:\\App\\Tool.EXE"), L"c:\\app\\tool.exe", 0), 0);
    EXPECT_LT(tw::CompareText(CStrW(L"abc"), L"abd", 1), 0);
    EXPECT_GT(tw::CompareText(CStrW(L"abd"), L"abc", 0), 0);
}

TEST(TextDiffers, ExactCodeUnits)
{
    EXPECT_EQ(tw::TextDiffers(CStrW(), nullptr), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(), L""), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(), L"a"), 1);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"a"), nullptr), 1);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"监控"), L"监控"), 0);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"abc"), L"ABC"), 1);
    EXPECT_EQ(tw::TextDiffers(CStrW(L"abc"), L"abcd"), 1);
}
