// Template 129 of the program's resources, read as the dialog manager reads
// it: the dialog's own style, size and font, then every control in order
// with its id, class, text, style and place in dialog units.
#include "res/resource_ids.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <wchar.h>

namespace {

struct TemplateItem {
    DWORD style;
    int x, y, cx, cy;
    int id;
    std::wstring className;
    std::wstring text;
};

struct DialogTemplate {
    DWORD style = 0;
    int cx = 0, cy = 0;
    int pointSize = 0;
    std::wstring title;
    std::wstring font;
    std::vector<TemplateItem> items;
};

// Reads a DLGTEMPLATEEX; the layout is fixed by the dialog manager.
class TemplateReader {
public:
    TemplateReader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}

    bool Read(DialogTemplate* out)
    {
        if (Word() != 1 || Word() != 0xFFFF)
            return false;
        Dword(); // help id
        Dword(); // extended style
        out->style = Dword();
        int count = Word();
        Word();
        Word();
        out->cx = Word();
        out->cy = Word();
        NameOrOrdinal(); // menu
        NameOrOrdinal(); // class
        out->title = String();
        if (out->style & (DS_SETFONT | DS_SHELLFONT)) {
            out->pointSize = Word();
            Word(); // weight
            Word(); // italic and character set
            out->font = String();
        }
        for (int i = 0; i < count && m_ok; ++i) {
            Align();
            TemplateItem item;
            Dword(); // help id
            Dword(); // extended style
            item.style = Dword();
            item.x = static_cast<short>(Word());
            item.y = static_cast<short>(Word());
            item.cx = static_cast<short>(Word());
            item.cy = static_cast<short>(Word());
            item.id = static_cast<int>(Dword());
            item.className = NameOrOrdinal();
            item.text = NameOrOrdinal();
            m_at += Word(); // creation data
            out->items.push_back(item);
        }
        return m_ok;
    }

private:
    WORD Word()
    {
        if (m_at + 2 > m_size) {
            m_ok = false;
            return 0;
        }
        WORD w = static_cast<WORD>(m_data[m_at] | (m_data[m_at + 1] << 8));
        m_at += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }
    void Align() { m_at = (m_at + 3) & ~static_cast<size_t>(3); }
    std::wstring String()
    {
        std::wstring s;
        while (m_ok) {
            WORD c = Word();
            if (c == 0)
                break;
            s += static_cast<wchar_t>(c);
        }
        return s;
    }
    // A predefined class or resource by ordinal, given by its name here.
    std::wstring NameOrOrdinal()
    {
        WORD first = Word();
        if (first == 0)
            return L"";
        if (first == 0xFFFF) {
            switch (Word()) {
            case 0x80:
                return L"Button";
            case 0x81:
                return L"Edit";
            case 0x82:
                return L"Static";
            case 0x85:
                return L"ComboBox";
            default:
                return L"#ordinal";
            }
        }
        m_at -= 2;
        return String();
    }

    const BYTE* m_data;
    size_t m_size;
    size_t m_at = 0;
    bool m_ok = true;
};

DialogTemplate LoadSettingsTemplate()
{
    DialogTemplate result;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_SETTINGS), MAKEINTRESOURCEW(5)); // RT_DIALOG
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data && !TemplateReader(static_cast<const BYTE*>(data), SizeofResource(module, found)).Read(&result))
        result.items.clear();
    return result;
}

constexpr DWORD kBase = WS_CHILD | WS_VISIBLE;
constexpr DWORD kEdit = kBase | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kCheck = kBase | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kLabel = kBase | SS_LEFT | WS_GROUP;
constexpr DWORD kGroup = kBase | BS_GROUPBOX;
constexpr DWORD kCombo = kBase | CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP;

const TemplateItem kExpected[] = {
    {kGroup, 7, 7, 232, 87, -1, L"Button", L"监控设置 - 全局, 影响所有程序"},
    {kLabel, 15, 23, 41, 8, -1, L"Static", L"监控频率："},
    {kLabel, 15, 38, 41, 8, -1, L"Static", L"程序卡死："},
    {kEdit, 55, 20, 40, 12, 1001, L"Edit", L""},
    {kEdit, 55, 36, 40, 14, 1002, L"Edit", L""},
    {kLabel, 98, 23, 104, 8, -1, L"Static", L"单位为秒，建议5-60秒的频率"},
    {kLabel, 98, 39, 104, 8, -1, L"Static", L"秒后结束进程，建议5-30秒："},
    {kEdit, 55, 70, 74, 14, 1003, L"Edit", L""},
    {kEdit, 55, 53, 74, 14, 1004, L"Edit", L""},
    {kCheck, 137, 55, 48, 10, 1005, L"Button", L"定时启动"},
    {kCheck, 137, 73, 48, 10, 1007, L"Button", L"定时关闭"},
    {kCheck, 191, 55, 32, 10, 1008, L"Button", L"每天"},
    {kCheck, 191, 73, 32, 10, 1009, L"Button", L"每天"},
    {kGroup, 7, 95, 232, 270, -1, L"Button", L"运行配置 - 单个程序配置,影响指定程序"},
    {kCombo, 18, 110, 215, 13, 1006, L"ComboBox", L""},
    {kLabel, 18, 128, 218, 23, 1013, L"Static", L"Static"},
    {kLabel, 17, 154, 159, 8, -1, L"Static", L"命令行,多个参数以空格分开,为空则无命令行"},
    {kEdit, 15, 167, 221, 12, 1010, L"Edit", L""},
    {kLabel, 15, 184, 216, 28, -1, L"Static",
     L"执行子程序,允许被监控的程序运行后调用一个子程序,子程序地址由发送消息返回,需要在被监控的程序中指定消息值,"
     L"并返回被调用的子程序,详情可以看例子,为空则不处理"},
    {kLabel, 12, 216, 33, 8, -1, L"Static", L"消息值："},
    {kEdit, 46, 215, 31, 14, 1011, L"Edit", L""},
    {kLabel, 81, 213, 152, 17, -1, L"Static",
     L"目标程序运行后会发送这个消息值到目标程序,由目标程序返回被执行的子程序地址"},
    {kLabel, 12, 241, 17, 8, -1, L"Static", L"参数"},
    {kEdit, 46, 233, 188, 34, 1012, L"Edit", L""},
    {kLabel, 23, 270, 208, 8, -1, L"Static", L"参数最多支持10 个,每个参数类型都是文本型,每行一个参数"},
    {kLabel, 14, 55, 38, 8, -1, L"Static", L"时:分:秒："},
    {kLabel, 14, 72, 38, 8, -1, L"Static", L"时:分:秒："},
    {kLabel, 12, 284, 40, 8, -1, L"Static", L"稳定运行："},
    {kEdit | ES_NUMBER, 53, 281, 31, 14, 1014, L"Edit", L""},
    {kLabel, 88, 284, 146, 8, -1, L"Static", L"秒，不足此时长就退出，则延后重启"},
    {kLabel, 12, 301, 40, 8, -1, L"Static", L"最长等待："},
    {kEdit | ES_NUMBER, 53, 298, 31, 14, 1015, L"Edit", L""},
    {kLabel, 88, 301, 146, 8, -1, L"Static", L"秒，延后重启的等待逐次加倍，至多此值"},
    {kLabel, 12, 318, 40, 8, -1, L"Static", L"内存上限："},
    {kEdit | ES_NUMBER, 53, 315, 31, 14, 1016, L"Edit", L""},
    {kLabel, 88, 318, 146, 8, -1, L"Static", L"MB，超出则关闭并重启，0 为不限制"},
    {kLabel, 12, 335, 40, 8, -1, L"Static", L"连续超出："},
    {kEdit | ES_NUMBER, 53, 332, 31, 14, 1017, L"Edit", L""},
    {kLabel, 88, 335, 146, 8, -1, L"Static", L"个周期后才关闭"},
    {kCheck, 12, 350, 222, 10, 1018, L"Button", L"重启后把窗口放回原处（显示器、位置、最大化）"},
};

} // namespace

TEST(SettingsTemplate, TheDialogIsAFixedModalFrameInMsShellDlg)
{
    DialogTemplate t = LoadSettingsTemplate();
    EXPECT_EQ(t.style,
              static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS));
    EXPECT_EQ(t.cx, 249);
    EXPECT_EQ(t.cy, 372);
    EXPECT_EQ(t.title, L"高级配置");
    EXPECT_EQ(t.font, L"MS Shell Dlg");
    EXPECT_EQ(t.pointSize, 8);
}

TEST(SettingsTemplate, EveryControlInOrderWithItsIdClassTextStyleAndPlace)
{
    DialogTemplate t = LoadSettingsTemplate();
    const size_t expected = sizeof(kExpected) / sizeof(kExpected[0]);
    ASSERT_EQ(t.items.size(), expected);
    for (size_t i = 0; i < expected; ++i) {
        const TemplateItem& want = kExpected[i];
        const TemplateItem& got = t.items[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(_wcsicmp(got.className.c_str(), want.className.c_str()), 0);
        EXPECT_TRUE(got.text == want.text);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
    }
}
