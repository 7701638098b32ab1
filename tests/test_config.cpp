// The configuration store: the first run, damaged files, entries, encodings and saves that never half-write.
#include "config/config.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <random>

using tw::CStrA;
using tw::CStrW;
using tw_test::ReadBytes;

namespace {

const char kFirstRunFile[] = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                             "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                             "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\" />\r\n";

const char kThreeEntries[] =
    "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"7\" reboottime=\"\">\n"
    "    <config procname=\"one.exe\" hwnd=\"11\" />\n"
    "    <config procname=\"two.exe\" hwnd=\"22\" />\n"
    "    <config procname=\"three.exe\" hwnd=\"33\" />\n</config>\n";

class ConfigTest : public ::testing::Test {
protected:
    ConfigTest() { CreateDirectoryW(folder.c_str(), nullptr); }
    std::wstring Path() const { return folder + L"config.xml"; }
    bool OpenWith(const std::string& content) { return tw_test::WriteBytes(Path(), content) && Open(); }
    bool Open() { return config.OpenIn(CStrW(folder.c_str())); }
    std::string Kept() const { return ReadBytes(config.KeptFilePath().c_str()); }
    std::string Text(size_t index, const char* key) const { return config.GetText(index, key, CStrA("-")).c_str(); }
    // Reads the file back through a second store.
    std::string Reread(size_t index, const char* key)
    {
        tw::CConfig other;
        EXPECT_TRUE(other.OpenIn(CStrW(folder.c_str())));
        return other.GetText(index, key, CStrA("-")).c_str();
    }

    tw_test::TempDir dir;
    // A folder name outside the ANSI code page, as a Thai Windows may have.
    const std::wstring folder = dir.Path() + L"\x0E01\x0E02\\";
    tw::CConfig config;
};

} // namespace

// Changes reach the file only at a save.
TEST_F(ConfigTest, MissingFileBecomesTheFirstRunFileByteForByte)
{
    ASSERT_TRUE(Open());
    EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
    EXPECT_EQ(tw_test::ListFiles(folder), L"config.xml;");
    config.SetInt(0, "hidetray", 1);
    EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Reread(0, "hidetray"), "1");
}

// An empty value reads like an absent key, text that does not start with a number as 0.
TEST_F(ConfigTest, WellFormedFileIsLoadedAndNotRewrittenAtOpen)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    EXPECT_EQ(ReadBytes(Path()), kThreeEntries);
    EXPECT_EQ(config.EntryCount(), 3u);
    EXPECT_EQ(Text(2, "procname") + Text(0, "reboottime") + Text(9, "hwnd"), "two.exe--");
    EXPECT_TRUE(config.GetRebootTime().IsEmpty());
    config.SetText(0, "word", "abc");
    config.SetText(0, "lead", "12abc");
    EXPECT_EQ(config.GetInt(0, "monitortime", 5) * 10000 + config.GetInt(0, "unresponsetime", 30) * 100 +
                  config.GetInt(0, "word", 8) + config.GetInt(0, "lead", 8),
              73012);
    EXPECT_FALSE(config.RemoveEntry(0) || config.RemoveEntry(4));
    EXPECT_TRUE(config.RemoveEntry(2));
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Reread(2, "procname") + Reread(2, "hwnd"), "three.exe33");
}

// Empty, malformed, rootless: kept aside byte for byte, never over an earlier copy of the same second.
TEST_F(ConfigTest, ADamagedFileIsKeptAsideNeverOverwrittenAndReplaced)
{
    for (const std::string content : {"<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"9\" <broken",
                                      "", "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<!-- nothing -->\n"}) {
        ASSERT_TRUE(OpenWith(content));
        EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
        EXPECT_EQ(Kept(), content);
        EXPECT_NE(std::wstring(config.KeptFilePath().c_str()).find(L"config.xml.bad-"), std::wstring::npos);
    }
    std::wstring files = tw_test::ListFiles(folder);
    EXPECT_EQ(std::count(files.begin(), files.end(), L';'), 4) << "three copies beside the file";
}

// Held open without sharing, a damaged file cannot be kept aside, so it is not replaced either.
TEST_F(ConfigTest, UnreadableDamagedFileIsNotOverwrittenUntilItCanBeKept)
{
    ASSERT_TRUE(tw_test::WriteBytes(Path(), "<damaged"));
    HANDLE lock = CreateFileW(Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(Open()) << "the program still starts, with first-run settings";
    EXPECT_EQ(config.GetInt(0, "monitortime", 0), 5);
    EXPECT_FALSE(config.Save());
    CloseHandle(lock);
    EXPECT_EQ(ReadBytes(Path()), "<damaged");
    EXPECT_TRUE(config.Save());
    EXPECT_EQ(ReadBytes(Path()) + Kept(), kFirstRunFile + std::string("<damaged"));
}

// A read-only file is left alone (Windows refuses, Wine would replace it); no temporary file stays behind.
TEST_F(ConfigTest, SaveOntoAReadOnlyOrLockedFileKeepsTheOldContent)
{
    for (bool readOnly : {true, false}) {
        ASSERT_TRUE(OpenWith(kThreeEntries));
        HANDLE lock =
            readOnly ? nullptr : CreateFileW(Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileAttributesW(Path().c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        config.SetInt(0, "monitortime", 99);
        EXPECT_FALSE(config.Save());
        CloseHandle(lock);
        SetFileAttributesW(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(ReadBytes(Path()), kThreeEntries);
        EXPECT_EQ(tw_test::ListFiles(folder), L"config.xml;");
        EXPECT_TRUE(config.Save());
        EXPECT_EQ(Reread(0, "monitortime"), "99");
    }
}

// A new entry goes after the last (one at most); attributes keep the order they were first set in.
TEST_F(ConfigTest, OnlyConfigElementsAreEntriesAndCommentsAreKept)
{
    ASSERT_TRUE(OpenWith("<config>\r\n<!-- before -->\r\n<config a=\"1\" />\r\n<!-- between,\r\ntwo lines -->\r\n"
                         "<other a=\"x\" />text<config a=\"2\" />\r\n<!-- after -->\r\n</config>"));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_EQ(Text(1, "a") + Text(2, "a"), "12");
    EXPECT_FALSE(config.SetText(4, "a", "4"));
    EXPECT_TRUE(config.SetText(3, "b", "3") && config.SetInt(3, "a", 9223372036854775807LL) &&
                config.SetText(3, "b", "4") && config.RemoveEntry(1));
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(ReadBytes(Path()), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<config>\r\n    <!-- before -->\r\n"
                                 "    <!-- between,\r\ntwo lines -->\r\n    <other a=\"x\" />\r\n    text\r\n"
                                 "    <config a=\"2\" />\r\n    <config b=\"4\" a=\"9223372036854775807\" />\r\n"
                                 "    <!-- after -->\r\n</config>\r\n");
}

// GB18030 for the whole file only when a text needs more than 936, whose bytes it keeps for the rest.
TEST_F(ConfigTest, TextsComeBackAsTheyWereInCodePage936OrGb18030)
{
    const wchar_t* texts[] = {L"C:\\程序\\记事本\x20AC.exe", L"C:\\kiosk\\\xB370\xBAA8 \x00DCn\x00EF\\kiosk.exe",
                              L"\xD55C\xAD6D\xC5B4 \x00C4\x00D6\x00DC \U0001F600"};
    for (const wchar_t* text : texts) {
        SCOPED_TRACE(tw::ToNarrow(text).c_str());
        DeleteFileW(Path().c_str());
        ASSERT_TRUE(Open());
        config.SetText(1, "procpath", tw::ToNarrow(text));
        config.SetText(2, "procpath", tw::ToNarrow(L"C:\\程序\\a.exe"));
        ASSERT_TRUE(config.Save());
        std::string file = ReadBytes(Path());
        bool in936 = text == texts[0];
        EXPECT_EQ(file.find(in936 ? "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                                  : "<?xml version=\"1.0\" encoding=\"GB18030\" ?>\r\n"),
                  0u);
        EXPECT_NE(file.find("procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\""), std::string::npos) << "936's bytes";
        EXPECT_TRUE(!in936 || file.find("\xBC\xC7\xCA\xC2\xB1\xBE\x80.exe") != std::string::npos) << "its euro";
        EXPECT_STREQ(tw::ToWide(CStrA(Reread(1, "procpath").c_str())).c_str(), text);
    }
    const wchar_t* hostile[] = {L"a&b<c>\"d'e", L"&amp;&#x41;", L"]]>", L"\t tab", L"--><!--", L"一|__#_换_行_符__|二"};
    for (size_t i = 0; i < 6; ++i)
        ASSERT_TRUE(config.SetText(i + 1, "title", tw::ToNarrow(hostile[i])));
    ASSERT_TRUE(config.Save());
    for (size_t i = 0; i < 6; ++i)
        EXPECT_STREQ(tw::ToWide(CStrA(Reread(i + 1, "title").c_str())).c_str(), hostile[i]);
}

// What a technician's editor leaves behind is written back in the usual form.
TEST_F(ConfigTest, AFileIsReadInTheEncodingItReallyHas)
{
    const std::string path936 = "C:\\\xCA\xD5\xD2\xF8\xCF\xB5\xCD\xB3\\pos.exe";
    const std::string pathUtf8 = "C:\\\xE6\x94\xB6\xE9\x93\xB6\xE7\xB3\xBB\xE7\xBB\x9F\\pos.exe";
    const std::string gb2312 = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n";
    const std::string body = "<config monitortime=\"7\">\r\n    <config procpath=\"", tail = "\" />\r\n</config>\r\n";
    std::string ascii = gb2312 + body + "|" + tail, utf16 = "\xFF\xFE";
    std::wstring wide(ascii.begin(), ascii.end());
    for (wchar_t unit : wide.replace(wide.find(L'|'), 1, L"C:\\收银系统\\pos.exe"))
        utf16 += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    for (const std::string& file : {gb2312 + body + path936 + tail, "\xEF\xBB\xBF" + gb2312 + body + pathUtf8 + tail,
                                    gb2312 + body + pathUtf8 + tail,
                                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body + pathUtf8 + tail, utf16}) {
        ASSERT_TRUE(OpenWith(file)) << file;
        EXPECT_TRUE(config.KeptFilePath().IsEmpty()) << file;
        EXPECT_STREQ(tw::ToWide(config.GetText(1, "procpath", CStrA())).c_str(), L"C:\\收银系统\\pos.exe") << file;
        ASSERT_TRUE(config.Save());
        EXPECT_EQ(ReadBytes(Path()), gb2312 + body + path936 + tail) << "written in the usual form";
    }
}

// From a fixed seed: cut, bytes changed or put in, nested deeply, one huge attribute, noise.
TEST_F(ConfigTest, RandomlyDamagedFilesLoadOrAreKeptAside)
{
    std::mt19937 random(20261206);
    auto pick = [&](size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0; };
    const std::string healthy =
        "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"5\" closeapp=\"1\" "
        "hidetray=\"1\">\n    <config hwnd=\"66000\" procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\" procname=\"a.exe\" "
        "errflag=\"A &amp; B\" title=\"\xB4\xED\xCE\xF3\" message=\"1024\" />\n    <!-- comment -->\n"
        "    <config hwnd=\"0\" procpath=\"C:\\b.exe\" procname=\"b.exe\" arg=\"x|__#_y\" />\n</config>\n";
    int loaded = 0, replaced = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string content = healthy;
        size_t kind = pick(7), depth = 1 + pick(40000);
        if (kind == 0)
            content = pick(2) ? content.substr(0, pick(content.size())) : content.substr(pick(content.size()));
        for (size_t n = kind == 1 ? 1 + pick(8) : 0; n > 0; --n)
            content[pick(content.size())] = static_cast<char>(pick(256));
        for (size_t n = kind == 2 ? 1 + pick(16) : 0; n > 0; --n)
            content.insert(pick(content.size() + 1), 1, static_cast<char>(0x80 + pick(128)));
        if (kind == 3) {
            content = "<config>";
            for (size_t n = 0; n < depth; ++n)
                content += "<config a=\"1\">";
            for (size_t n = pick(2) ? 0 : depth + 1; n > 0; --n)
                content += "</config>";
        }
        if (kind == 4)
            content = "<config title=\"" + std::string(100000 + pick(900000), pick(2) ? 'v' : '\xB4') +
                      (pick(2) ? "\" />" : "");
        if (kind == 5) {
            content.assign(pick(600), '\0');
            for (char& c : content)
                c = static_cast<char>(pick(256));
        }
        ASSERT_TRUE(OpenWith(content)) << "case " << i;
        bool kept = !config.KeptFilePath().IsEmpty();
        ++(kept ? replaced : loaded);
        ASSERT_EQ(ReadBytes(Path()) + (kept ? Kept() : ""), kept ? kFirstRunFile + content : content)
            << (kept ? "kept aside" : "a loaded file is not rewritten") << ", case " << i;
        config.GetText(1, "procpath", CStrA());
        config.SetText(1, "procpath", "C:\\x.exe");
        DeleteFileW(config.KeptFilePath().c_str());
    }
    EXPECT_GT(loaded, 100);
    EXPECT_GT(replaced, 1000);
}
