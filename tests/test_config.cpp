#include "config/config.h"
#include "core/text_ops.h"
#include "tests/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

using tw::CConfig;
using tw::CStrA;
using tw::CStrW;
using tw_test::ReadBytes;
using tw_test::WriteBytes;

namespace {

const char kFirstRunFile[] = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                             "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                             "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\" />\r\n";

const char kThreeEntries[] = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n"
                             "<config monitortime=\"7\" reboottime=\"\">\n"
                             "    <config procname=\"one.exe\" hwnd=\"11\" />\n"
                             "    <config procname=\"two.exe\" hwnd=\"22\" />\n"
                             "    <config procname=\"three.exe\" hwnd=\"33\" />\n"
                             "</config>\n";

class ConfigTest : public ::testing::Test {
protected:
    std::wstring ConfigPath() const { return dir.File(L"config.xml"); }
    std::string FileText() const { return ReadBytes(ConfigPath()); }

    bool OpenWith(const std::string& content)
    {
        EXPECT_TRUE(WriteBytes(ConfigPath(), content));
        return config.OpenIn(CStrW(dir.Path().c_str()));
    }
    bool OpenFresh() { return config.OpenIn(CStrW(dir.Path().c_str())); }

    // Reads the file back through a second store.
    CStrA Reread(size_t index, const char* key)
    {
        CConfig other;
        EXPECT_TRUE(other.OpenIn(CStrW(dir.Path().c_str())));
        return other.GetText(index, key, CStrA("<absent>"));
    }

    tw_test::TempDir dir;
    CConfig config;
};

std::string Text(const CStrA& s)
{
    return s.c_str();
}

// UTF-16 little-endian bytes with their byte-order mark.
std::string Utf16(const std::wstring& text)
{
    std::string bytes = "\xFF\xFE";
    for (wchar_t unit : text)
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return bytes;
}

} // namespace

TEST_F(ConfigTest, MissingFileBecomesTheFirstRunFileByteForByte)
{
    ASSERT_TRUE(OpenFresh());
    EXPECT_EQ(FileText(), kFirstRunFile);
    EXPECT_TRUE(config.KeptFilePath().IsEmpty());
    EXPECT_EQ(dir.FileCount(), 1) << "a missing file is simply the first run";
    EXPECT_EQ(config.EntryCount(), 0u);
    EXPECT_STREQ(config.Path().c_str(), tw::ToNarrow(ConfigPath().c_str()).c_str());
}

TEST_F(ConfigTest, WellFormedFileIsLoadedAndNotRewrittenAtOpen)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    EXPECT_EQ(FileText(), kThreeEntries);
    EXPECT_EQ(config.GetInt(0, "monitortime", 5), 7);
    EXPECT_EQ(config.EntryCount(), 3u);
    EXPECT_EQ(Text(config.GetText(2, "procname", CStrA())), "two.exe");
}

TEST_F(ConfigTest, MalformedFileIsKeptAsideAndReplaced)
{
    const std::string damaged = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"9\" <broken";
    ASSERT_TRUE(OpenWith(damaged));
    EXPECT_EQ(FileText(), kFirstRunFile);
    ASSERT_FALSE(config.KeptFilePath().IsEmpty());
    EXPECT_EQ(ReadBytes(config.KeptFilePath().c_str()), damaged);
    EXPECT_NE(std::wstring(config.KeptFilePath().c_str()).find(L"config.xml.bad-"), std::wstring::npos);
    EXPECT_EQ(config.GetInt(0, "monitortime", 5), 5);
}

TEST_F(ConfigTest, EmptyFileAndRootlessFileAreKeptAsideToo)
{
    ASSERT_TRUE(OpenWith(""));
    EXPECT_EQ(FileText(), kFirstRunFile);
    EXPECT_EQ(ReadBytes(config.KeptFilePath().c_str()), "");

    const std::string rootless = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<!-- nothing -->\n";
    ASSERT_TRUE(OpenWith(rootless));
    EXPECT_EQ(FileText(), kFirstRunFile);
    EXPECT_EQ(ReadBytes(config.KeptFilePath().c_str()), rootless);
}

TEST_F(ConfigTest, AKeptCopyIsNeverOverwritten)
{
    // Several damaged starts within the same second keep every copy.
    for (int i = 0; i < 3; ++i) {
        std::string damaged = "<config" + std::to_string(i);
        ASSERT_TRUE(OpenWith(damaged));
        EXPECT_EQ(ReadBytes(config.KeptFilePath().c_str()), damaged);
    }
    EXPECT_EQ(dir.FileCount(), 4) << tw_test::FileExists(ConfigPath());
}

TEST_F(ConfigTest, AddressingNamesTheRootAndItsChildNodes)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    TiXmlNode* root = config.FindNode("@1");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->Value(), "config");
    EXPECT_EQ(config.FindNode("config"), root) << "the root's own name works too";
    EXPECT_EQ(config.FindNode("other"), nullptr);
    EXPECT_EQ(config.FindNode("@2"), nullptr);
    EXPECT_EQ(config.FindNode(""), nullptr);

    TiXmlNode* second = config.FindNode("@1/@2");
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->ToElement()->Attribute("procname"), "two.exe");
    EXPECT_EQ(config.FindNode("@1//@2/"), second) << "empty components are skipped";
    EXPECT_EQ(config.FindNode("@1/@0"), config.FindNode("@1/@1")) << "N of 1 or less is the first";
    EXPECT_EQ(config.FindNode("@1/config"), config.FindNode("@1/@1")) << "a name finds the first match";
    EXPECT_EQ(config.FindNode("@1/@4"), nullptr);
    EXPECT_EQ(config.FindNode("@1/@4/@1"), nullptr);
    EXPECT_EQ(config.FindNode("@1/missing"), nullptr);
}

TEST_F(ConfigTest, OnlyConfigElementsAreEntriesAndCommentsAreKept)
{
    ASSERT_TRUE(OpenWith("<config>\r\n<!-- before -->\r\n<config a=\"1\" />\r\n<!-- between,\r\ntwo lines -->\r\n"
                         "<other a=\"x\" />text<config a=\"2\" />\r\n<!-- after -->\r\n</config>"));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_EQ(Text(config.GetText(1, "a", CStrA())), "1");
    EXPECT_EQ(Text(config.GetText(2, "a", CStrA())), "2");
    EXPECT_TRUE(config.SetText(3, "a", "3")) << "a new entry goes after the last one";
    EXPECT_TRUE(config.RemoveEntry(1));
    EXPECT_EQ(config.EntryCount(), 2u);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(FileText(), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                          "<config>\r\n"
                          "    <!-- before -->\r\n"
                          "    <!-- between,\r\ntwo lines -->\r\n"
                          "    <other a=\"x\" />\r\n"
                          "    text\r\n"
                          "    <config a=\"2\" />\r\n"
                          "    <config a=\"3\" />\r\n"
                          "    <!-- after -->\r\n"
                          "</config>\r\n");
    EXPECT_EQ(Text(Reread(1, "a")), "2");
    EXPECT_EQ(Text(Reread(2, "a")), "3");
}

TEST_F(ConfigTest, AbsentAndEmptyValuesGiveTheDefault)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    EXPECT_TRUE(config.GetRebootTime().IsEmpty()) << "reboottime=\"\" reads like an absent key";
    EXPECT_EQ(Text(config.GetText(0, "reboottime", CStrA("dflt"))), "dflt");
    EXPECT_EQ(config.GetInt(0, "unresponsetime", 30), 30);
    EXPECT_EQ(config.GetInt(9, "hwnd", 4), 4) << "an entry beyond the last";
    config.SetText(0, "word", "abc");
    EXPECT_EQ(config.GetInt(0, "word", 8), 0);
    config.SetText(0, "lead", "12abc");
    EXPECT_EQ(config.GetInt(0, "lead", 8), 12);
}

TEST_F(ConfigTest, SetTextCreatesOnlyTheNextEntry)
{
    ASSERT_TRUE(OpenWith("<config><config /></config>"));
    EXPECT_FALSE(config.SetText(3, "procname", "far.exe"));
    EXPECT_EQ(config.EntryCount(), 2u) << "one entry is appended, whatever the shortfall";
    ASSERT_TRUE(OpenWith("<config><config /></config>"));
    EXPECT_TRUE(config.SetText(2, "procname", "next.exe"));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_STREQ(config.FindNode("@1/@2")->Value(), "config");
    EXPECT_EQ(Text(config.GetText(2, "procname", CStrA())), "next.exe");
}

TEST_F(ConfigTest, AttributesKeepTheOrderTheyWereFirstSetIn)
{
    ASSERT_TRUE(OpenFresh());
    config.SetInt(1, "hwnd", -1);
    config.SetText(1, "procpath", "C:\\a.exe");
    config.SetInt(1, "hwnd", 9223372036854775807LL);
    config.SetBootStart(1);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(FileText(), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                          "<config bootstart=\"1\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                          "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\">\r\n"
                          "    <config hwnd=\"9223372036854775807\" procpath=\"C:\\a.exe\" />\r\n"
                          "</config>\r\n");
}

TEST_F(ConfigTest, RemoveEntryMovesLaterEntriesUp)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    EXPECT_FALSE(config.RemoveEntry(0));
    EXPECT_FALSE(config.RemoveEntry(4));
    EXPECT_TRUE(config.RemoveEntry(2));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_EQ(Text(config.GetText(2, "procname", CStrA())), "three.exe");
    EXPECT_EQ(config.GetInt(2, "hwnd", 0), 33);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Text(Reread(2, "procname")), "three.exe");
}

TEST_F(ConfigTest, CodePage936BytesAreKeptAsTheyAre)
{
    ASSERT_TRUE(OpenFresh());
    config.SetText(1, "procpath", tw::ToNarrow(L"C:\\程序\\记事本\x20AC.exe"));
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(FileText().find("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"), 0u);
    EXPECT_NE(FileText().find("procpath=\"C:\\\xB3\xCC\xD0\xF2\\\xBC\xC7\xCA\xC2\xB1\xBE\x80.exe\""), std::string::npos)
        << "code page 936's own bytes, its euro sign included";
    EXPECT_STREQ(tw::ToWide(Reread(1, "procpath")).c_str(), L"C:\\程序\\记事本\x20AC.exe");
}

TEST_F(ConfigTest, TextsOutsideCodePage936ComeBackAsTheyWere)
{
    const wchar_t* texts[] = {L"C:\\kiosk\\\xB370\xBAA8\\kiosk.exe", L"C:\\kiosk\\\x00DCn\x00EF\\kiosk.exe",
                              L"C:\\kiosk\\\U0001F600\\kiosk.exe", L"\xD55C\xAD6D\xC5B4 \x00C4\x00D6\x00DC \U0001F600"};
    for (const wchar_t* text : texts) {
        ASSERT_TRUE(OpenFresh());
        config.SetText(1, "procpath", tw::ToNarrow(text));
        config.SetText(1, "title", tw::ToNarrow(text));
        config.SetText(2, "procpath", tw::ToNarrow(L"C:\\程序\\a.exe"));
        ASSERT_TRUE(config.Save());
        std::string file = FileText();
        EXPECT_EQ(file.find("<?xml version=\"1.0\" encoding=\"GB18030\" ?>\r\n"), 0u) << file;
        EXPECT_NE(file.find("procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\""), std::string::npos) << "936's bytes stay";
        EXPECT_STREQ(tw::ToWide(Reread(1, "procpath")).c_str(), text);
        EXPECT_STREQ(tw::ToWide(Reread(1, "title")).c_str(), text);
        EXPECT_STREQ(tw::ToWide(Reread(2, "procpath")).c_str(), L"C:\\程序\\a.exe");
        dir.Empty();
    }
}

TEST_F(ConfigTest, AFileIsReadInTheEncodingItReallyHas)
{
    // What a technician's editor leaves behind, with "C:\收银系统\pos.exe".
    const std::string path936 = "C:\\\xCA\xD5\xD2\xF8\xCF\xB5\xCD\xB3\\pos.exe";
    const std::string pathUtf8 = "C:\\\xE6\x94\xB6\xE9\x93\xB6\xE7\xB3\xBB\xE7\xBB\x9F\\pos.exe";
    const std::string gb2312 = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n";
    const std::string body = "<config monitortime=\"7\">\r\n    <config procpath=\"";
    const std::string tail = "\" />\r\n</config>\r\n";
    const struct {
        const char* form;
        std::string file;
    } forms[] = {
        {"code page 936", gb2312 + body + path936 + tail},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + gb2312 + body + pathUtf8 + tail},
        {"UTF-8 without one", gb2312 + body + pathUtf8 + tail},
        {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body + pathUtf8 + tail},
        {"UTF-16 with its mark", Utf16(L"<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<config monitortime=\"7\">\r\n"
                                       L"    <config procpath=\"C:\\收银系统\\pos.exe\" />\r\n</config>\r\n")},
    };
    for (const auto& form : forms) {
        ASSERT_TRUE(OpenWith(form.file)) << form.form;
        EXPECT_TRUE(config.KeptFilePath().IsEmpty()) << form.form;
        EXPECT_STREQ(tw::ToWide(config.GetText(1, "procpath", CStrA())).c_str(), L"C:\\收银系统\\pos.exe") << form.form;
        ASSERT_TRUE(config.Save());
        EXPECT_EQ(FileText(), gb2312 + body + path936 + tail) << form.form << ": written in the usual form";
    }
}

TEST_F(ConfigTest, HostileTextsRoundTrip)
{
    ASSERT_TRUE(OpenFresh());
    const char* texts[] = {"a&b<c>\"d'e", "&amp;&#x41;", "]]>", "\t tab", "--><!--"};
    size_t entry = 1;
    for (const char* text : texts)
        ASSERT_TRUE(config.SetText(entry++, "title", text));
    ASSERT_TRUE(config.Save());
    entry = 1;
    for (const char* text : texts)
        EXPECT_EQ(Text(Reread(entry++, "title")), text);
}

TEST_F(ConfigTest, LineBreakMarkerIsTheStoredForm)
{
    ASSERT_TRUE(OpenFresh());
    CStrW parameters(L"第一行\r\n第二行");
    tw::ReplaceAll(parameters, L"\r\n", L"|__#_换_行_符__|");
    config.SetText(1, "arg", tw::ToNarrow(parameters));
    ASSERT_TRUE(config.Save());
    EXPECT_STREQ(tw::ToWide(Reread(1, "arg")).c_str(), L"第一行|__#_换_行_符__|第二行");
}

TEST_F(ConfigTest, TypedAccessorsUseTheirKeys)
{
    ASSERT_TRUE(OpenFresh());
    EXPECT_STREQ(config.GetRebootTime().c_str(), L"01:02:03");
    EXPECT_TRUE(config.SetDailyCloseTime(CStrW(L"2026-12-06 05:04:03")));
    EXPECT_TRUE(config.SetDailyRunTime(CStrW(L"2026-12-07 06:00:00")));
    config.SetMonitorTime(12);
    config.SetCloseApp(1);
    config.SetUnresponseTime(9);
    config.SetAutoStartMonitor(1);
    config.SetAutoReboot(1);
    config.SetTimingCloseCheck(1);
    config.SetTimingRunCheck(0);
    EXPECT_STREQ(config.GetDailyCloseTime().c_str(), L"2026-12-06 05:04:03");
    EXPECT_STREQ(config.GetDailyRunTime().c_str(), L"2026-12-07 06:00:00");
    EXPECT_EQ(Text(config.GetText(0, "timingclose_everyday_time", CStrA())), "2026-12-06 05:04:03");
    EXPECT_EQ(config.GetInt(0, "monitortime", 0), 12);
    EXPECT_EQ(config.GetInt(0, "closeapp", 0), 1);
    EXPECT_EQ(config.GetInt(0, "unresponsetime", 0), 9);
    EXPECT_EQ(config.GetInt(0, "autostartmonitor", 0), 1);
    EXPECT_EQ(config.GetInt(0, "autoreboot", 0), 1);
    EXPECT_EQ(config.GetInt(0, "timingclosecheck", 0), 1);
    EXPECT_EQ(Text(config.GetText(0, "timingruncheck", CStrA())), "0");
}

TEST_F(ConfigTest, ChangesReachTheFileOnlyAtASave)
{
    ASSERT_TRUE(OpenFresh());
    config.SetInt(0, "hidetray", 1);
    EXPECT_EQ(FileText(), kFirstRunFile);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Text(Reread(0, "hidetray")), "1");
}

TEST_F(ConfigTest, SaveOntoAReadOnlyFileKeepsTheOldContent)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    ASSERT_TRUE(SetFileAttributesW(ConfigPath().c_str(), FILE_ATTRIBUTE_READONLY));
    config.SetInt(0, "monitortime", 99);
    EXPECT_FALSE(config.Save());
    EXPECT_EQ(FileText(), kThreeEntries);
    EXPECT_EQ(dir.FileCount(), 1) << "no temporary file is left behind: " << tw_test::FileExists(ConfigPath());
    EXPECT_EQ(config.GetInt(0, "monitortime", 5), 99) << "the document stays in memory";

    // The next save point tries again.
    SetFileAttributesW(ConfigPath().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(config.Save());
    EXPECT_EQ(Text(Reread(0, "monitortime")), "99");
}

TEST_F(ConfigTest, SaveOntoALockedFileKeepsTheOldContent)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    HANDLE lock = CreateFileW(ConfigPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    config.SetInt(0, "monitortime", 99);
    EXPECT_FALSE(config.Save());
    CloseHandle(lock);
    EXPECT_EQ(FileText(), kThreeEntries);
    EXPECT_EQ(dir.FileCount(), 1);
}

TEST_F(ConfigTest, UnreadableDamagedFileIsNotOverwrittenUntilItCanBeKept)
{
    // A damaged file that another program holds open without sharing: it can
    // be neither moved nor copied, so it must not be replaced either.
    ASSERT_TRUE(WriteBytes(ConfigPath(), "<damaged"));
    HANDLE lock = CreateFileW(ConfigPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(OpenFresh()) << "the program still starts, with first-run settings";
    EXPECT_EQ(config.GetInt(0, "monitortime", 0), 5);
    EXPECT_FALSE(config.Save());
    CloseHandle(lock);
    EXPECT_EQ(FileText(), "<damaged");

    // Once it is free, the next save keeps it aside first.
    EXPECT_TRUE(config.Save());
    EXPECT_EQ(FileText(), kFirstRunFile);
    ASSERT_FALSE(config.KeptFilePath().IsEmpty());
    EXPECT_EQ(ReadBytes(config.KeptFilePath().c_str()), "<damaged");
}

TEST_F(ConfigTest, FolderNamesOutsideTheAnsiCodePageWork)
{
    std::wstring sub = dir.Path() + L"\x0E01\x0E02\\";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    {
        CConfig local;
        ASSERT_TRUE(local.OpenIn(CStrW(sub.c_str())));
        local.SetInt(0, "closeapp", 1);
        ASSERT_TRUE(local.Save());
    }
    CConfig again;
    ASSERT_TRUE(again.OpenIn(CStrW(sub.c_str())));
    EXPECT_EQ(again.GetInt(0, "closeapp", 0), 1);
    EXPECT_TRUE(again.KeptFilePath().IsEmpty());
    DeleteFileW((sub + L"config.xml").c_str());
    RemoveDirectoryW(sub.c_str());
}
