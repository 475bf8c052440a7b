// Dialogs from the built-in template, their controls and commands, the
// system menu, and the built-in strings and icons.
#include "window_test_support.h"
#include "resource.h"

namespace {

const wchar_t kAbout[] = L"关于 Tessaly(&A)...";

class DialogTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (HasFatalFailure())
            return;
        g_hook = [this](HWND h, UINT m, WPARAM, LPARAM, LRESULT&) {
            if (m == WM_INITDIALOG) {
                m_items_during_init = GetDlgItem(h, IDC_PICTURE) != nullptr && GetDlgItem(h, 1007) != nullptr;
                m_visible_during_init = IsWindowVisible(h) != FALSE;
            }
            return false;
        };
        m_dlg = CreateDialogParamW(instance(), MAKEINTRESOURCEW(102), nullptr, test_dialog_proc, 0x5151);
        if (m_dlg)
            m_windows.push_back(m_dlg);
    }

    HWND m_dlg = nullptr;
    bool m_items_during_init = false;
    bool m_visible_during_init = true;
};

std::vector<logged> commands(HWND dlg, int id)
{
    std::vector<logged> out;
    for (const auto& e : log_of(WM_COMMAND, dlg))
        if (LOWORD(e.wParam) == id)
            out.push_back(e);
    return out;
}

}  // namespace

TEST_F(DialogTest, CreationRunsInitDialogWithTheInitParameter)
{
    ASSERT_NE(m_dlg, nullptr);
    auto inits = log_of(WM_INITDIALOG);
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_EQ(inits[0].hwnd, m_dlg);
    EXPECT_EQ(inits[0].lParam, 0x5151);
    EXPECT_TRUE(m_items_during_init) << "the controls exist before WM_INITDIALOG";
    EXPECT_FALSE(m_visible_during_init) << "the dialog shows only after WM_INITDIALOG";

    wchar_t caption[64] = {};
    EXPECT_EQ(GetWindowTextW(m_dlg, caption, 64), 14);
    EXPECT_STREQ(caption, L"Vistamo v2.1.9");
    EXPECT_TRUE(IsWindowVisible(m_dlg)) << "the template asks for a visible dialog";
    EXPECT_EQ(GetParent(m_dlg), nullptr);
}

TEST_F(DialogTest, ControlsArePlacedFromTheTemplate)
{
    ASSERT_NE(m_dlg, nullptr);
    HWND picture = GetDlgItem(m_dlg, IDC_PICTURE);
    HWND list = GetDlgItem(m_dlg, 1007);
    ASSERT_NE(picture, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(GetParent(picture), m_dlg);
    EXPECT_EQ(GetDlgCtrlID(picture), IDC_PICTURE);
    EXPECT_EQ(GetDlgCtrlID(list), 1007);
    EXPECT_EQ(GetDlgItem(m_dlg, 4242), nullptr);

    RECT rc{};
    ASSERT_TRUE(GetClientRect(picture, &rc));
    EXPECT_EQ(sides(rc), sides(RECT{0, 0, 863, 565}));
    EXPECT_TRUE(IsWindowVisible(picture));

    RECT wr{};
    ASSERT_TRUE(GetWindowRect(list, &wr));
    POINT origin{wr.left, wr.top};
    ASSERT_TRUE(ScreenToClient(m_dlg, &origin));
    EXPECT_EQ(origin.x, 408);
    EXPECT_EQ(origin.y, 522);
    EXPECT_EQ(wr.right - wr.left, 219);
    EXPECT_EQ(wr.bottom - wr.top, 40);
    EXPECT_FALSE(IsWindowVisible(list)) << "the list box has no WS_VISIBLE in the template";
    EXPECT_FALSE(GetWindowLongW(list, GWL_STYLE) & WS_VISIBLE);

    // The dialog's client area holds the template's size.
    ASSERT_TRUE(GetClientRect(m_dlg, &rc));
    EXPECT_EQ(sides(rc), sides(RECT{0, 0, 863, 565}));
}

TEST_F(DialogTest, MapDialogRectUsesTheTemplateFontsBaseUnits)
{
    ASSERT_NE(m_dlg, nullptr);
    RECT r{4, 8, 4, 8};
    ASSERT_TRUE(MapDialogRect(m_dlg, &r));
    EXPECT_EQ(sides(r), sides(RECT{7, 14, 7, 14}));
    RECT big{0, 0, 493, 323};
    ASSERT_TRUE(MapDialogRect(m_dlg, &big));
    EXPECT_EQ(sides(big), sides(RECT{0, 0, 863, 565}));
    // Only dialogs have base units.
    HWND plain = create_top(L"not a dialog");
    RECT other{4, 8, 4, 8};
    EXPECT_FALSE(MapDialogRect(plain, &other));
}

TEST_F(DialogTest, CloseBecomesCancelAndLeavesTheDialog)
{
    ASSERT_NE(m_dlg, nullptr);
    clear_log();
    SendMessageW(m_dlg, WM_CLOSE, 0, 0);
    ASSERT_TRUE(pump_until([&] { return !commands(m_dlg, IDCANCEL).empty(); }, kWait));
    auto cancel = commands(m_dlg, IDCANCEL);
    ASSERT_EQ(cancel.size(), 1u);
    EXPECT_EQ(HIWORD(cancel[0].wParam), 0);
    EXPECT_TRUE(IsWindow(m_dlg)) << "the dialog procedure decides; WM_CLOSE alone does not destroy a dialog";
}

TEST_F(DialogTest, MessageResultComesFromDwlpMsgResult)
{
    ASSERT_NE(m_dlg, nullptr);
    g_hook = [](HWND h, UINT m, WPARAM, LPARAM, LRESULT& r) {
        if (m != WM_USER + 30)
            return false;
        SetWindowLongPtrW(h, DWLP_MSGRESULT, 99);
        r = TRUE;
        return true;
    };
    EXPECT_EQ(SendMessageW(m_dlg, WM_USER + 30, 0, 0), 99);
}

TEST_F(DialogTest, IsDialogMessageTurnsEscapeAndReturnIntoCommands)
{
    ASSERT_NE(m_dlg, nullptr);
    clear_log();
    MSG esc{m_dlg, WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
    EXPECT_TRUE(IsDialogMessageW(m_dlg, &esc));
    EXPECT_EQ(commands(m_dlg, IDCANCEL).size(), 1u);

    // Keys on a control of the dialog count for the dialog too.
    MSG ret{GetDlgItem(m_dlg, IDC_PICTURE), WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_TRUE(IsDialogMessageW(m_dlg, &ret));
    EXPECT_EQ(commands(m_dlg, IDOK).size(), 1u);
    EXPECT_EQ(commands(m_dlg, IDCANCEL).size(), 1u);

    // Not for this dialog: left to the caller.
    HWND other = create_top(L"outside the dialog");
    MSG foreign{other, WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
    EXPECT_FALSE(IsDialogMessageW(m_dlg, &foreign));
    EXPECT_EQ(commands(m_dlg, IDCANCEL).size(), 1u);
}

TEST_F(DialogTest, SystemMenuItemsCanBeAddedAndReadBack)
{
    ASSERT_NE(m_dlg, nullptr);
    ASSERT_TRUE(GetWindowLongW(m_dlg, GWL_STYLE) & WS_SYSMENU);
    HMENU menu = GetSystemMenu(m_dlg, FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetSystemMenu(m_dlg, FALSE), menu) << "the same menu each time";

    const int before = GetMenuItemCount(menu);
    ASSERT_GE(before, 0);
    EXPECT_TRUE(AppendMenuW(menu, MF_SEPARATOR, 0, nullptr));
    EXPECT_TRUE(AppendMenuW(menu, MF_STRING, 0x0010, kAbout));
    ASSERT_EQ(GetMenuItemCount(menu), before + 2);

    EXPECT_EQ(GetMenuItemID(menu, before + 1), 0x0010u);
    EXPECT_TRUE(GetMenuState(menu, static_cast<UINT>(before), MF_BYPOSITION) & MF_SEPARATOR);

    wchar_t text[64] = {};
    EXPECT_EQ(GetMenuStringW(menu, 0x0010, text, 64, MF_BYCOMMAND), static_cast<int>(wcslen(kAbout)));
    EXPECT_STREQ(text, kAbout);
    std::fill(std::begin(text), std::end(text), L'\0');
    EXPECT_EQ(GetMenuStringW(menu, static_cast<UINT>(before + 1), text, 64, MF_BYPOSITION),
              static_cast<int>(wcslen(kAbout)));
    EXPECT_STREQ(text, kAbout);

    // A short buffer gets what fits and a zero.
    wchar_t small[3] = {L'x', L'x', L'x'};
    EXPECT_EQ(GetMenuStringW(menu, 0x0010, small, 3, MF_BYCOMMAND), 2);
    EXPECT_EQ(small[0], kAbout[0]);
    EXPECT_EQ(small[1], kAbout[1]);
    EXPECT_EQ(small[2], L'\0');
    EXPECT_EQ(GetMenuStringW(menu, 0x7777, text, 64, MF_BYCOMMAND), 0) << "no such item";

    // A window without WS_SYSMENU has no system menu.
    HWND bare = create_top(L"no system menu", WS_POPUP);
    EXPECT_EQ(GetSystemMenu(bare, FALSE), nullptr);
}

TEST(Resources, LoadStringReadsTheBuiltInText)
{
    wchar_t buf[64];
    EXPECT_EQ(LoadStringW(instance(), 101, buf, 64), static_cast<int>(wcslen(kAbout)));
    EXPECT_STREQ(buf, kAbout);

    // Truncated to the buffer, always terminated.
    wchar_t small[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(LoadStringW(instance(), 101, small, 4), 3);
    EXPECT_EQ(std::wstring(small), std::wstring(kAbout, 3));

    // A zero-sized buffer receives a read-only pointer to the resource.
    const wchar_t* direct = nullptr;
    EXPECT_EQ(LoadStringW(instance(), 101, reinterpret_cast<LPWSTR>(&direct), 0), static_cast<int>(wcslen(kAbout)));
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::wstring(direct, wcslen(kAbout)), kAbout);

    wchar_t missing[8] = L"junk";
    EXPECT_EQ(LoadStringW(instance(), 9999, missing, 8), 0);
    EXPECT_EQ(missing[0], L'\0');
    EXPECT_EQ(LoadStringW(instance(), 102, missing, 8), 0) << "102 is a dialog, not a string";
}

TEST(Resources, LoadIconGivesSharedHandlesForBuiltInIcons)
{
    HICON main_icon = LoadIconW(instance(), MAKEINTRESOURCEW(128));
    HICON app_icon = LoadIconW(instance(), MAKEINTRESOURCEW(130));
    EXPECT_NE(main_icon, nullptr);
    EXPECT_NE(app_icon, nullptr);
    EXPECT_EQ(LoadIconW(instance(), MAKEINTRESOURCEW(128)), main_icon);
    EXPECT_EQ(LoadIconW(instance(), MAKEINTRESOURCEW(130)), app_icon);
    EXPECT_EQ(LoadIconW(instance(), MAKEINTRESOURCEW(131)), nullptr);
    EXPECT_EQ(LoadIconW(instance(), MAKEINTRESOURCEW(102)), nullptr) << "102 is a dialog, not an icon";
    // The system's own icon comes without an instance.
    EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(128)), nullptr);
}
