// Damaged configuration files, made from a fixed seed: every one must load
// without a crash or hang and give either its content or the first-run
// settings with the old file kept byte for byte.
#include "config/config.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

using tw::CConfig;
using tw::CStrA;
using tw::CStrW;

namespace {

const char kFirstRunFile[] = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                             "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                             "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\" />\r\n";

const char kHealthy[] = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n"
                        "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"1\" unresponsetime=\"5\" "
                        "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"1\" hidetray=\"1\">\n"
                        "    <config hwnd=\"66000\" classname=\"Notepad\" procpath=\"C:\\\xB3\xCC\xD0\xF2\\a.exe\" "
                        "procname=\"a.exe\" errflag=\"A &amp; B\" title=\"\xB4\xED\xCE\xF3\" message=\"1024\" />\n"
                        "    <!-- comment -->\n"
                        "    <config hwnd=\"0\" procpath=\"C:\\b.exe\" procname=\"b.exe\" arg=\"x|__#_y\" />\n"
                        "</config>\n";

class Damager {
public:
    explicit Damager(unsigned seed) : m_random(seed) {}

    std::string Next()
    {
        std::string base = kHealthy;
        switch (Pick(8)) {
        case 0:
            return base.substr(0, Pick(base.size()));
        case 1:
            return FlipBytes(base, 1 + Pick(8));
        case 2:
            return InsertHighBytes(base, 1 + Pick(16));
        case 3:
            return DeepNesting(1 + Pick(40000));
        case 4:
            return HugeAttribute(100000 + Pick(900000));
        case 5:
            return RandomBytes(Pick(600));
        case 6:
            return base.substr(Pick(base.size()));
        default:
            return FlipBytes(base.substr(0, Pick(base.size())), Pick(4));
        }
    }

private:
    size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(m_random) : 0; }
    char AnyByte() { return static_cast<char>(Pick(256)); }

    std::string FlipBytes(std::string s, size_t count)
    {
        for (size_t i = 0; i < count && !s.empty(); ++i)
            s[Pick(s.size())] = AnyByte();
        return s;
    }

    std::string InsertHighBytes(std::string s, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            s.insert(Pick(s.size() + 1), 1, static_cast<char>(0x80 + Pick(128)));
        return s;
    }

    std::string DeepNesting(size_t depth)
    {
        std::string s = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config>";
        for (size_t i = 0; i < depth; ++i)
            s += "<config a=\"1\">";
        if (Pick(2)) {
            for (size_t i = 0; i < depth; ++i)
                s += "</config>";
            s += "</config>";
        }
        return s;
    }

    std::string HugeAttribute(size_t length)
    {
        std::string value(length, 'v');
        if (Pick(2))
            value[Pick(length)] = static_cast<char>(0xB4);
        return "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config title=\"" + value + (Pick(2) ? "\" />" : "");
    }

    std::string RandomBytes(size_t length)
    {
        std::string s;
        for (size_t i = 0; i < length; ++i)
            s += AnyByte();
        return s;
    }

    std::mt19937 m_random;
};

} // namespace

TEST(ConfigRobustness, DamagedFilesLoadOrAreKeptAside)
{
    tw_test::TempDir dir;
    const std::wstring path = dir.File(L"config.xml");
    Damager damager(20261206);
    int loaded = 0;
    int replaced = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string content = damager.Next();
        ASSERT_TRUE(tw_test::WriteBytes(path, content));
        CConfig config;
        ASSERT_TRUE(config.OpenIn(CStrW(dir.Path().c_str()))) << "case " << i;
        if (config.KeptFilePath().IsEmpty()) {
            ++loaded;
            ASSERT_EQ(tw_test::ReadBytes(path), content) << "a loaded file is not rewritten, case " << i;
            ASSERT_NE(config.FindNode("@1"), nullptr) << "case " << i;
        } else {
            ++replaced;
            ASSERT_EQ(tw_test::ReadBytes(config.KeptFilePath().c_str()), content) << "case " << i;
            ASSERT_EQ(tw_test::ReadBytes(path), kFirstRunFile) << "case " << i;
            ASSERT_EQ(config.GetInt(0, "monitortime", 0), 5);
        }
        // Whatever was loaded can be read and written without harm.
        config.GetText(1, "procpath", CStrA());
        config.SetText(1, "procpath", "C:\\x.exe");
        dir.Empty();
    }
    EXPECT_GT(loaded, 100);
    EXPECT_GT(replaced, 1000);
    std::printf("damaged files: %d loaded as they were, %d kept aside and replaced\n", loaded, replaced);
}
