// The configuration store: the first run, damaged files kept aside, entries
// and comments, the encodings config.xml is read and written in, and saves
// that never leave a half-written or replaced file behind.
#include "config/config.h"
#include "core/text_ops.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <random>
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

std::string Text(const CStrA& s)
{
    return s.c_str();
}

class ConfigTest : public ::testing::Test {
protected:
    std::wstring Path() const { return dir.File(L"config.xml"); }
    bool OpenWith(const std::string& content) { return WriteBytes(Path(), content) && OpenFresh(); }
    bool OpenFresh() { return config.OpenIn(CStrW(dir.Path().c_str())); }
    std::string Kept() const { return ReadBytes(config.KeptFilePath().c_str()); }
    // Reads the file back through a second store.
    std::string Reread(size_t index, const char* key)
    {
        CConfig other;
        EXPECT_TRUE(other.OpenIn(CStrW(dir.Path().c_str())));
        return Text(other.GetText(index, key, CStrA("<absent>")));
    }

    tw_test::TempDir dir;
    CConfig config;
};

} // namespace

// A missing file is simply the first run; changes reach the file only at a
// save.
TEST_F(ConfigTest, MissingFileBecomesTheFirstRunFileByteForByte)
{
    ASSERT_TRUE(OpenFresh());
    EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
    EXPECT_TRUE(config.KeptFilePath().IsEmpty());
    EXPECT_EQ(tw_test::ListFiles(dir.Path()), L"config.xml;");
    EXPECT_EQ(config.EntryCount(), 0u);
    EXPECT_STREQ(config.Path().c_str(), tw::ToNarrow(Path().c_str()).c_str());
    config.SetInt(0, "hidetray", 1);
    EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Reread(0, "hidetray"), "1");
}

// An empty value reads like an absent key; text that does not start with a
// number reads as 0.
TEST_F(ConfigTest, WellFormedFileIsLoadedAndNotRewrittenAtOpen)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    EXPECT_EQ(ReadBytes(Path()), kThreeEntries);
    EXPECT_EQ(config.GetInt(0, "monitortime", 5), 7);
    EXPECT_EQ(config.EntryCount(), 3u);
    EXPECT_EQ(Text(config.GetText(2, "procname", CStrA())), "two.exe");
    EXPECT_TRUE(config.GetRebootTime().IsEmpty());
    EXPECT_EQ(Text(config.GetText(0, "reboottime", CStrA("dflt"))), "dflt");
    EXPECT_EQ(config.GetInt(0, "unresponsetime", 30), 30);
    EXPECT_EQ(config.GetInt(9, "hwnd", 4), 4) << "an entry beyond the last";
    config.SetText(0, "word", "abc");
    config.SetText(0, "lead", "12abc");
    EXPECT_EQ(config.GetInt(0, "word", 8) * 100 + config.GetInt(0, "lead", 8), 12);

    EXPECT_FALSE(config.RemoveEntry(0));
    EXPECT_FALSE(config.RemoveEntry(4));
    EXPECT_TRUE(config.RemoveEntry(2));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_EQ(config.GetInt(2, "hwnd", 0), 33) << "later entries move up";
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(Reread(2, "procname"), "three.exe");
}

// Empty, malformed, rootless: moved aside byte for byte, never over an
// earlier copy (several in one second), and the first-run file takes its place.
TEST_F(ConfigTest, ADamagedFileIsKeptAsideNeverOverwrittenAndReplaced)
{
    const std::string damaged[] = {"<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"9\" <broken",
                                   "", "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<!-- nothing -->\n"};
    for (const std::string& content : damaged) {
        ASSERT_TRUE(OpenWith(content));
        EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
        EXPECT_EQ(Kept(), content);
        EXPECT_NE(std::wstring(config.KeptFilePath().c_str()).find(L"config.xml.bad-"), std::wstring::npos);
        EXPECT_EQ(config.GetInt(0, "monitortime", 0), 5);
    }
    std::wstring files = tw_test::ListFiles(dir.Path());
    EXPECT_EQ(std::count(files.begin(), files.end(), L';'), 4) << "three copies beside the file";
}

// A damaged file that another program holds open without sharing can be
// neither moved nor copied, so it is not replaced either; the next save once
// it is free keeps it aside first.
TEST_F(ConfigTest, UnreadableDamagedFileIsNotOverwrittenUntilItCanBeKept)
{
    ASSERT_TRUE(WriteBytes(Path(), "<damaged"));
    HANDLE lock = CreateFileW(Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(OpenFresh()) << "the program still starts, with first-run settings";
    EXPECT_EQ(config.GetInt(0, "monitortime", 0), 5);
    EXPECT_FALSE(config.Save());
    CloseHandle(lock);
    EXPECT_EQ(ReadBytes(Path()), "<damaged");
    EXPECT_TRUE(config.Save());
    EXPECT_EQ(ReadBytes(Path()), kFirstRunFile);
    EXPECT_EQ(Kept(), "<damaged");
}

// A read-only file is left alone (Windows refuses, Wine would replace it), a
// locked one cannot be replaced; neither leaves a temporary file behind, the
// document stays and the next save tries again.
TEST_F(ConfigTest, SaveOntoAReadOnlyOrLockedFileKeepsTheOldContent)
{
    for (bool readOnly : {true, false}) {
        ASSERT_TRUE(OpenWith(kThreeEntries));
        HANDLE lock = readOnly ? INVALID_HANDLE_VALUE
                               : CreateFileW(Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileAttributesW(Path().c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        config.SetInt(0, "monitortime", 99);
        EXPECT_FALSE(config.Save());
        CloseHandle(lock);
        SetFileAttributesW(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(ReadBytes(Path()), kThreeEntries);
        EXPECT_EQ(tw_test::ListFiles(dir.Path()), L"config.xml;");
        EXPECT_TRUE(config.Save());
        EXPECT_EQ(Reread(0, "monitortime"), "99");
    }
}

TEST_F(ConfigTest, AddressingNamesTheRootAndItsChildNodes)
{
    ASSERT_TRUE(OpenWith(kThreeEntries));
    TiXmlNode* root = config.FindNode("@1");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->Value(), "config");
    EXPECT_EQ(config.FindNode("config"), root) << "the root's own name works too";
    for (const char* none : {"other", "@2", "", "@1/@4", "@1/@4/@1", "@1/missing"})
        EXPECT_EQ(config.FindNode(none), nullptr) << none;
    TiXmlNode* second = config.FindNode("@1/@2");
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->ToElement()->Attribute("procname"), "two.exe");
    EXPECT_EQ(config.FindNode("@1//@2/"), second) << "empty components are skipped";
    EXPECT_EQ(config.FindNode("@1/@0"), config.FindNode("@1/@1")) << "N of 1 or less is the first";
    EXPECT_EQ(config.FindNode("@1/config"), config.FindNode("@1/@1")) << "a name finds the first match";
}

// A new entry goes after the last one, one at most; comments and other
// nodes stay where they are.
TEST_F(ConfigTest, OnlyConfigElementsAreEntriesAndCommentsAreKept)
{
    ASSERT_TRUE(OpenWith("<config>\r\n<!-- before -->\r\n<config a=\"1\" />\r\n<!-- between,\r\ntwo lines -->\r\n"
                         "<other a=\"x\" />text<config a=\"2\" />\r\n<!-- after -->\r\n</config>"));
    EXPECT_EQ(config.EntryCount(), 2u);
    EXPECT_EQ(Text(config.GetText(1, "a", CStrA())) + Text(config.GetText(2, "a", CStrA())), "12");
    EXPECT_FALSE(config.SetText(4, "a", "4"));
    EXPECT_EQ(config.EntryCount(), 3u) << "one entry is appended, whatever the shortfall";
    EXPECT_TRUE(config.SetText(3, "a", "3"));
    EXPECT_TRUE(config.RemoveEntry(1));
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(ReadBytes(Path()), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                                 "<config>\r\n"
                                 "    <!-- before -->\r\n"
                                 "    <!-- between,\r\ntwo lines -->\r\n"
                                 "    <other a=\"x\" />\r\n"
                                 "    text\r\n"
                                 "    <config a=\"2\" />\r\n"
                                 "    <config a=\"3\" />\r\n"
                                 "    <!-- after -->\r\n"
                                 "</config>\r\n");
}

TEST_F(ConfigTest, AttributesKeepTheOrderTheyWereFirstSetInAndTheirKeys)
{
    ASSERT_TRUE(OpenFresh());
    config.SetInt(1, "hwnd", -1);
    config.SetText(1, "procpath", "C:\\a.exe");
    config.SetInt(1, "hwnd", 9223372036854775807LL);
    config.SetBootStart(1);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(ReadBytes(Path()), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                                 "<config bootstart=\"1\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                                 "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\">\r\n"
                                 "    <config hwnd=\"9223372036854775807\" procpath=\"C:\\a.exe\" />\r\n"
                                 "</config>\r\n");
    const std::pair<bool (CConfig::*)(int), const char*> setters[] = {
        {&CConfig::SetMonitorTime, "monitortime"},       {&CConfig::SetCloseApp, "closeapp"},
        {&CConfig::SetUnresponseTime, "unresponsetime"}, {&CConfig::SetAutoStartMonitor, "autostartmonitor"},
        {&CConfig::SetAutoReboot, "autoreboot"},         {&CConfig::SetTimingCloseCheck, "timingclosecheck"},
        {&CConfig::SetTimingRunCheck, "timingruncheck"}};
    for (const auto& setter : setters) {
        (config.*setter.first)(17);
        EXPECT_EQ(config.GetInt(0, setter.second, 0), 17) << setter.second;
    }
    EXPECT_STREQ(config.GetRebootTime().c_str(), L"01:02:03");
    EXPECT_TRUE(config.SetDailyCloseTime(CStrW(L"2026-12-06 05:04:03")));
    EXPECT_TRUE(config.SetDailyRunTime(CStrW(L"2026-12-07 06:00:00")));
    EXPECT_EQ(Text(config.GetText(0, "timingclose_everyday_time", CStrA())), "2026-12-06 05:04:03");
    EXPECT_STREQ(config.GetDailyRunTime().c_str(), L"2026-12-07 06:00:00");
}

// Code page 936's own bytes while it holds every text (its euro sign
// included); GB18030 for the whole file when a text needs more, keeping 936's
// bytes for the rest. Every text reads back as it was.
TEST_F(ConfigTest, TextsComeBackAsTheyWereInCodePage936OrGb18030)
{
    const wchar_t* texts[] = {L"C:\\程序\\记事本\x20AC.exe", L"C:\\kiosk\\\xB370\xBAA8\\kiosk.exe",
                              L"C:\\kiosk\\\x00DCn\x00EF\\kiosk.exe", L"C:\\kiosk\\\U0001F600\\kiosk.exe",
                              L"\xD55C\xAD6D\xC5B4 \x00C4\x00D6\x00DC \U0001F600"};
    for (const wchar_t* text : texts) {
        SCOPED_TRACE(tw::ToNarrow(text).c_str());
        dir.Empty();
        ASSERT_TRUE(OpenFresh());
        config.SetText(1, "procpath", tw::ToNarrow(text));
        config.SetText(2, "procpath", tw::ToNarrow(L"C:\\程序\\a.exe"));
        ASSERT_TRUE(config.Save());
        std::string file = ReadBytes(Path());
        bool in936 = text == texts[0];
        EXPECT_EQ(file.find(in936 ? "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                                  : "<?xml version=\"1.0\" encoding=\"GB18030\" ?>\r\n"),
                  0u);
        EXPECT_NE(file.find("procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\""), std::string::npos) << "936's bytes";
        EXPECT_TRUE(!in936 || file.find("\xBC\xC7\xCA\xC2\xB1\xBE\x80.exe") != std::string::npos) << "its euro too";
        EXPECT_STREQ(tw::ToWide(CStrA(Reread(1, "procpath").c_str())).c_str(), text);
    }
    // Characters that XML or the parameters' line break marker could spoil.
    const char* hostile[] = {"a&b<c>\"d'e", "&amp;&#x41;", "]]>", "\t tab", "--><!--", "第一行|__#_换_行_符__|第二行"};
    ASSERT_TRUE(OpenFresh());
    for (size_t i = 0; i < 6; ++i)
        ASSERT_TRUE(config.SetText(i + 1, "title", tw::ToNarrow(CStrW(tw::ToWide(CStrA(hostile[i]))))));
    ASSERT_TRUE(config.Save());
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(Reread(i + 1, "title"), Text(tw::ToNarrow(tw::ToWide(CStrA(hostile[i])))));
}

// What a technician's editor leaves behind, with "C:\收银系统\pos.exe": read in
// the encoding it really has, written back in the usual form.
TEST_F(ConfigTest, AFileIsReadInTheEncodingItReallyHas)
{
    const std::string path936 = "C:\\\xCA\xD5\xD2\xF8\xCF\xB5\xCD\xB3\\pos.exe";
    const std::string pathUtf8 = "C:\\\xE6\x94\xB6\xE9\x93\xB6\xE7\xB3\xBB\xE7\xBB\x9F\\pos.exe";
    const std::string gb2312 = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n";
    const std::string body = "<config monitortime=\"7\">\r\n    <config procpath=\"";
    const std::string tail = "\" />\r\n</config>\r\n";
    std::string utf16 = "\xFF\xFE";
    for (wchar_t unit : std::wstring(L"<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<config monitortime=\"7\">\r\n"
                                     L"    <config procpath=\"C:\\收银系统\\pos.exe\" />\r\n</config>\r\n"))
        utf16 += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    const std::pair<const char*, std::string> forms[] = {
        {"code page 936", gb2312 + body + path936 + tail},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + gb2312 + body + pathUtf8 + tail},
        {"UTF-8 without one", gb2312 + body + pathUtf8 + tail},
        {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body + pathUtf8 + tail},
        {"UTF-16 with its mark", utf16},
    };
    for (const auto& form : forms) {
        ASSERT_TRUE(OpenWith(form.second)) << form.first;
        EXPECT_TRUE(config.KeptFilePath().IsEmpty()) << form.first;
        EXPECT_STREQ(tw::ToWide(config.GetText(1, "procpath", CStrA())).c_str(), L"C:\\收银系统\\pos.exe")
            << form.first;
        ASSERT_TRUE(config.Save());
        EXPECT_EQ(ReadBytes(Path()), gb2312 + body + path936 + tail) << form.first;
    }
}

TEST_F(ConfigTest, FolderNamesOutsideTheAnsiCodePageWork)
{
    std::wstring sub = dir.Path() + L"\x0E01\x0E02\\";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(config.OpenIn(CStrW(sub.c_str())));
    config.SetInt(0, "closeapp", 1);
    ASSERT_TRUE(config.Save());
    CConfig again;
    ASSERT_TRUE(again.OpenIn(CStrW(sub.c_str())));
    EXPECT_EQ(again.GetInt(0, "closeapp", 0), 1);
    EXPECT_TRUE(again.KeptFilePath().IsEmpty());
    DeleteFileW((sub + L"config.xml").c_str());
    RemoveDirectoryW(sub.c_str());
}

// Damaged files made from a fixed seed: every one loads without a crash or
// hang and gives either its content, untouched, or the first-run settings
// with the old file kept byte for byte; either can be read and written.
TEST_F(ConfigTest, RandomlyDamagedFilesLoadOrAreKeptAside)
{
    const std::string healthy =
        "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"5\" closeapp=\"1\" "
        "unresponsetime=\"5\" autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"1\" hidetray=\"1\">\n"
        "    <config hwnd=\"66000\" classname=\"Notepad\" procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\" procname=\"a.exe\" "
        "errflag=\"A &amp; B\" title=\"\xB4\xED\xCE\xF3\" message=\"1024\" />\n    <!-- comment -->\n"
        "    <config hwnd=\"0\" procpath=\"C:\\b.exe\" procname=\"b.exe\" arg=\"x|__#_y\" />\n</config>\n";
    std::mt19937 random(20261206);
    auto pick = [&](size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0; };
    int loaded = 0, replaced = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string content = healthy;
        switch (pick(7)) {
        case 0: // cut short, or its start cut off
            content = pick(2) ? content.substr(0, pick(content.size())) : content.substr(pick(content.size()));
            break;
        case 1: // bytes changed
            for (size_t n = 1 + pick(8); n > 0; --n)
                content[pick(content.size())] = static_cast<char>(pick(256));
            break;
        case 2: // high bytes put in
            for (size_t n = 1 + pick(16); n > 0; --n)
                content.insert(pick(content.size() + 1), 1, static_cast<char>(0x80 + pick(128)));
            break;
        case 3: { // nested deeply, closed or not
            size_t depth = 1 + pick(40000);
            content = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config>";
            for (size_t n = 0; n < depth; ++n)
                content += "<config a=\"1\">";
            if (pick(2))
                for (size_t n = 0; n <= depth; ++n)
                    content += "</config>";
            break;
        }
        case 4: // one huge attribute
            content = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config title=\"" +
                      std::string(100000 + pick(900000), pick(2) ? 'v' : '\xB4') + (pick(2) ? "\" />" : "");
            break;
        case 5: // noise
            content.assign(pick(600), '\0');
            for (char& c : content)
                c = static_cast<char>(pick(256));
            break;
        default:
            break;
        }
        ASSERT_TRUE(OpenWith(content)) << "case " << i;
        if (config.KeptFilePath().IsEmpty()) {
            ++loaded;
            ASSERT_EQ(ReadBytes(Path()), content) << "a loaded file is not rewritten, case " << i;
            ASSERT_NE(config.FindNode("@1"), nullptr) << "case " << i;
        } else {
            ++replaced;
            ASSERT_EQ(Kept(), content) << "case " << i;
            ASSERT_EQ(ReadBytes(Path()), kFirstRunFile) << "case " << i;
        }
        config.GetText(1, "procpath", CStrA());
        config.SetText(1, "procpath", "C:\\x.exe");
        dir.Empty();
    }
    EXPECT_GT(loaded, 100);
    EXPECT_GT(replaced, 1000);
}
