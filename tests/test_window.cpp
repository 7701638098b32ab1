#include "ui/window.h"

#include <commctrl.h>

#include <gtest/gtest.h>

using tw::CListView;
using tw::CSs;
using tw::CWndBase;

namespace {

WNDPROC SystemProc(const wchar_t* name)
{
    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    return GetClassInfoExW(nullptr, name, &info) ? info.lpfnWndProc : nullptr;
}

// A label that remembers what its handlers saw.
class RecordingLabel : public CSs {
public:
    LRESULT WndProc(WNDPROC base, HWND window, UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_CREATE)
            createParam = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
        ++messages;
        return CSs::WndProc(base, window, message, wParam, lParam);
    }
    void* createParam = nullptr;
    int messages = 0;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_STREQ(tw::RegisterSuperclass(L"static", L"ss"), L"ss");
        parent = CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
    }
    void TearDown() override { DestroyWindow(parent); }

    HWND parent = nullptr;
};

LONG_PTR BoundObject(HWND window)
{
    return GetWindowLongPtrW(window, tw::kWindowObjectIndex);
}

} // namespace

TEST_F(WindowTest, SystemClassesAskedForByTheirOwnNameAreUsedAsTheyAre)
{
    WNDPROC before = SystemProc(L"button");
    EXPECT_STREQ(tw::RegisterSuperclass(L"button", L"button"), L"button");
    EXPECT_STREQ(tw::RegisterSuperclass(L"edit", L"edit"), L"edit");
    EXPECT_EQ(SystemProc(L"button"), before);
    EXPECT_EQ(tw::RegisterSuperclass(L"static", nullptr), nullptr);
}

TEST_F(WindowTest, ASuperclassIsRegisteredOnceWithTheDispatcher)
{
    EXPECT_STREQ(tw::RegisterSuperclass(L"static", L"ss"), L"ss");
    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"ss", &info));
    EXPECT_EQ(info.lpfnWndProc, tw::DispatchWndProc);
    EXPECT_EQ(info.cbClsExtra, tw::kClassExtraBytes);
    EXPECT_EQ(info.cbWndExtra, tw::kWindowExtraBytes);
    EXPECT_STREQ(tw::RegisterSuperclass(L"button", L"bs"), L"bs");
}

TEST_F(WindowTest, TheWrapperIsBoundAndSeesTheUserParameter)
{
    RecordingLabel label;
    int user = 42;
    HWND window = label.Create(0, L"ss", L"文本", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, 10200, nullptr, &user);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(label.Handle(), window);
    EXPECT_EQ(BoundObject(window), reinterpret_cast<LONG_PTR>(&label));
    EXPECT_EQ(label.createParam, &user) << "handlers see the caller's value, not the creation pair";
    EXPECT_EQ(GetWindowLongPtrW(window, tw::kWindowCreateParamIndex), reinterpret_cast<LONG_PTR>(&user));
    tw::HoverState* hover = tw::GetHoverState(window);
    EXPECT_EQ(hover->window, window);
    EXPECT_EQ(hover->createParam, reinterpret_cast<LPARAM>(&user));
    EXPECT_EQ(GetClassLongPtrW(window, tw::kClassBaseProcIndex), reinterpret_cast<LONG_PTR>(SystemProc(L"static")))
        << "the base procedure is cached in the class";
    wchar_t text[16] = {0};
    GetWindowTextW(window, text, 16);
    EXPECT_STREQ(text, L"文本") << "the base procedure still does the work";
    EXPECT_EQ(GetDlgCtrlID(window), 10200);
}

TEST_F(WindowTest, HoverStateFollowsTheMouse)
{
    CSs label;
    HWND window = label.Create(0, L"ss", L"x", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, 1, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5)), 0);
    tw::HoverState* hover = tw::GetHoverState(window);
    EXPECT_EQ(hover->state, 1);
    EXPECT_EQ(hover->tracking, 1);
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(hover->state, 2);
    SendMessageW(window, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(hover->state, 0);
    EXPECT_EQ(hover->tracking, 0);
}

TEST_F(WindowTest, AWindowWithoutACreationPairIsAPlainSystemControl)
{
    HWND window = CreateWindowExW(0, L"ss", L"plain", WS_CHILD, 0, 0, 50, 20, parent, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(BoundObject(window), 0);
    SetWindowTextW(window, L"changed");
    wchar_t text[16] = {0};
    GetWindowTextW(window, text, 16);
    EXPECT_STREQ(text, L"changed");
}

TEST_F(WindowTest, CreatingAgainUnbindsTheEarlierWindow)
{
    RecordingLabel label;
    HWND first = label.Create(0, L"ss", L"a", WS_CHILD, 0, 0, 50, 20, parent, 1, nullptr, nullptr);
    HWND second = label.Create(0, L"ss", L"b", WS_CHILD, 0, 20, 50, 20, parent, 2, nullptr, nullptr);
    EXPECT_EQ(BoundObject(first), 0);
    EXPECT_EQ(BoundObject(second), reinterpret_cast<LONG_PTR>(&label));
    int before = label.messages;
    SetWindowTextW(first, L"still works");
    EXPECT_EQ(label.messages, before) << "the old window no longer reaches the wrapper";
    {
        CSs shortLived;
        HWND third = shortLived.Create(0, L"ss", L"c", WS_CHILD, 0, 40, 50, 20, parent, 3, nullptr, nullptr);
        EXPECT_NE(BoundObject(third), 0);
        DestroyWindow(third);
    }
    auto* gone = new CSs;
    HWND fourth = gone->Create(0, L"ss", L"d", WS_CHILD, 0, 60, 50, 20, parent, 4, nullptr, nullptr);
    delete gone;
    EXPECT_EQ(BoundObject(fourth), 0) << "a destroyed wrapper unbinds its window";
}

TEST_F(WindowTest, ControlsGetTheProgramFont)
{
    tw::CCheckBox box;
    HWND window = box.Create(0, L"button", L"开始监控程序", WS_CHILD | BS_CHECKBOX, 0, 0, 100, 20, parent, 10100,
                             nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(box.Handle(), window) << "system classes are never bound, but the handle is kept";
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font, tw::LastControlFont());
    LOGFONTW info = {};
    ASSERT_TRUE(GetObjectW(font, sizeof(info), &info));
    EXPECT_STREQ(info.lfFaceName, L"微软雅黑");
    EXPECT_EQ(info.lfHeight, -12);
}

TEST_F(WindowTest, TheReportListIsAnOwnerDataGridAtItsPlace)
{
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    CListView list;
    HWND window = list.CreateReport(parent, 10301);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), 0x40801009u);
    EXPECT_EQ(SendMessageW(window, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x21, 0x21);
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, 1);
    EXPECT_EQ(rect.top, 21);
    EXPECT_EQ(rect.right - rect.left, 360);
    EXPECT_EQ(rect.bottom - rect.top, 210);
    EXPECT_EQ(GetDlgCtrlID(window), 10301);
}

TEST(Tray, IconDataStartsEmptyWithItsSize)
{
    tw::CTray tray;
    EXPECT_EQ(tray.IconData().cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(tray.IconData().hWnd, nullptr);
    EXPECT_EQ(tray.IconData().uID, 0u);
}
