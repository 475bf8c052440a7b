// The framework as the application uses it: wide strings and their
// formatting, message maps, the window-object maps, dialogs from the
// built-in template, and the application object.
//
// Needs an X display with a window manager (tools/run-tests.sh).
#include <afxwin.h>
#include <gtest/gtest.h>
#include "message_pump.h"

#include "../../res/resource.h"

#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs this thread's messages, the framework's pre-translation first,
// until pred holds or the time is up.
bool run_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kHangTimeout)
{
    return pump_until(pred, timeout, AfxPreTranslateMessage);
}

// Strings ------------------------------------------------------------------------

TEST(CString, FormatTakesWideArgumentsWithSmallSAndNarrowWithCapitalS)
{
    CString s;
    s.Format(L"%s|%S|%d|%08X|%c", L"宽 wide", "narrow ü", -42, 0xBEEFu, L'Ω');
    EXPECT_EQ(s, L"宽 wide|narrow ü|-42|0000BEEF|Ω");

    // Longer than any first guess at the buffer.
    std::wstring big(5000, L'x');
    s.Format(L"[%s]", big.c_str());
    EXPECT_EQ(s.GetLength(), 5002);

    // Narrow text that is not UTF-8 cannot be shown: an empty result, at once.
    s.Format(L"%S", "\xff\xfe");
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, ConvertsBetweenUtf8AndWide)
{
    CStringW wide("关于 Tessaly");
    EXPECT_EQ(wide, L"关于 Tessaly");
    CStringA narrow(L"降噪处理软件");
    EXPECT_STREQ(narrow.GetString(), "降噪处理软件");
    EXPECT_EQ(CStringW(static_cast<const char*>(nullptr)).GetLength(), 0);
}

TEST(CString, LoadStringReadsTheProgramsStringsAndKeepsTheTextWhenMissing)
{
    CString s;
    ASSERT_TRUE(s.LoadString(IDS_ABOUTBOX));
    EXPECT_EQ(s, L"关于 Tessaly(&A)...");

    CString kept(L"kept");
    EXPECT_FALSE(kept.LoadString(4242));
    EXPECT_EQ(kept, L"kept");
}

TEST(CString, PiecesAndBuffersStayInsideTheString)
{
    CString s(L"res/dis.jpg");
    EXPECT_EQ(s.Left(3), L"res");
    EXPECT_EQ(s.Mid(4), L"dis.jpg");
    EXPECT_EQ(s.Mid(4, 3), L"dis");
    EXPECT_EQ(s.Right(3), L"jpg");
    EXPECT_EQ(s.Left(-1), L"");
    EXPECT_EQ(s.Mid(50), L"");
    EXPECT_EQ(s.Right(99), s);
    EXPECT_EQ(s.ReverseFind(L'/'), 3);
    EXPECT_EQ(s.Find(L"dis"), 4);
    EXPECT_EQ(s.Find(L"dis", 5), -1);

    CString b;
    wchar_t* p = b.GetBuffer(16);
    wcscpy(p, L"abc");
    b.ReleaseBuffer();
    EXPECT_EQ(b, L"abc");
    p = b.GetBuffer(16);
    b.ReleaseBuffer(2);
    EXPECT_EQ(b, L"ab");
}

// Message maps ---------------------------------------------------------------------

const UINT g_TestRegistered = ::RegisterWindowMessageW(L"vistamo-framework-test");

class BaseWnd : public CWnd {
public:
    std::vector<std::string> seen;

protected:
    afx_msg void OnTimer(UINT_PTR id)
    {
        seen.push_back("base timer " + std::to_string(id));
    }
    afx_msg LRESULT OnPing(WPARAM w, LPARAM) { seen.push_back("base ping"); return static_cast<LRESULT>(w + 1); }
    afx_msg void OnFirst() { seen.push_back("base first"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseWnd, CWnd)
    ON_WM_TIMER()
    ON_MESSAGE(WM_USER + 1, &BaseWnd::OnPing)
    ON_COMMAND(100, &BaseWnd::OnFirst)
END_MESSAGE_MAP()

class DerivedWnd : public BaseWnd {
protected:
    afx_msg LRESULT OnPing(WPARAM w, LPARAM) { seen.push_back("derived ping"); return static_cast<LRESULT>(w * 2); }
    afx_msg LRESULT OnRegistered(WPARAM, LPARAM l) { seen.push_back("registered"); return l; }
    afx_msg void OnSecond() { seen.push_back("derived second"); }
    afx_msg void OnClose() { seen.push_back("close"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedWnd, BaseWnd)
    ON_MESSAGE(WM_USER + 1, &DerivedWnd::OnPing)
    ON_REGISTERED_MESSAGE(g_TestRegistered, &DerivedWnd::OnRegistered)
    ON_BN_CLICKED(101, &DerivedWnd::OnSecond)
    ON_WM_CLOSE()
END_MESSAGE_MAP()

// A plain window made with the layer, handed to a framework object.
HWND plain_window(const wchar_t* title)
{
    static WORD cls = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VistamoFrameworkTest";
        return ::RegisterClassW(&wc);
    }();
    EXPECT_NE(cls, 0);
    return ::CreateWindowExW(0, L"VistamoFrameworkTest", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                             nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

class MessageMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        HWND h = plain_window(L"message map");
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(wnd.SubclassWindow(h));
    }
    void TearDown() override { wnd.DestroyWindow(); }
    DerivedWnd wnd;
};

TEST_F(MessageMap, TheMostDerivedEntryWinsAndBaseEntriesStillApply)
{
    EXPECT_EQ(wnd.SendMessage(WM_USER + 1, 21), 42);
    ::SetTimer(wnd.m_hWnd, 7, 1, nullptr);
    ASSERT_TRUE(run_until([&] { return !wnd.seen.empty() && wnd.seen.back() == "base timer 7"; }));
    ::KillTimer(wnd.m_hWnd, 7);
    EXPECT_EQ(wnd.seen.front(), "derived ping");
}

TEST_F(MessageMap, CommandsGoToTheirIdentifierAtAnyLevel)
{
    wnd.SendMessage(WM_COMMAND, MAKEWPARAM(100, 0));
    wnd.SendMessage(WM_COMMAND, MAKEWPARAM(101, BN_CLICKED));
    wnd.SendMessage(WM_COMMAND, MAKEWPARAM(101, 5));  // another notification: nobody's
    wnd.SendMessage(WM_COMMAND, MAKEWPARAM(102, 0));  // no handler at all
    EXPECT_EQ(wnd.seen, (std::vector<std::string>{"base first", "derived second"}));
}

TEST_F(MessageMap, RegisteredMessagesAreMatchedByTheirNumber)
{
    ASSERT_GE(g_TestRegistered, 0xC000u);
    EXPECT_EQ(wnd.SendMessage(g_TestRegistered, 0, 99), 99);
    EXPECT_EQ(wnd.seen, std::vector<std::string>{"registered"});
}

TEST_F(MessageMap, AHandledCloseLeavesTheWindowAndUnmappedMessagesGetDefaultProcessing)
{
    wnd.SendMessage(WM_CLOSE);
    EXPECT_TRUE(::IsWindow(wnd.m_hWnd));
    EXPECT_EQ(wnd.seen, std::vector<std::string>{"close"});

    wnd.SendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"renamed"));
    CString text;
    wnd.GetWindowText(text);
    EXPECT_EQ(text, L"renamed");
}

// Window objects --------------------------------------------------------------------

TEST(WindowObjects, PermanentObjectsAndWrappersFollowTheirWindow)
{
    HWND h = plain_window(L"objects");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);
    CWnd* wrapper = CWnd::FromHandle(h);
    ASSERT_NE(wrapper, nullptr);
    EXPECT_EQ(CWnd::FromHandle(h), wrapper) << "one wrapper per window";
    EXPECT_EQ(wrapper->m_hWnd, h);
    EXPECT_EQ(CWnd::FromHandle(nullptr), nullptr);

    CWnd owner;
    ASSERT_TRUE(owner.Attach(h));
    EXPECT_EQ(CWnd::FromHandlePermanent(h), &owner);
    EXPECT_EQ(CWnd::FromHandle(h), &owner);
    EXPECT_EQ(owner.Detach(), h);
    EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);

    ASSERT_TRUE(owner.SubclassWindow(h));
    owner.DestroyWindow();
    EXPECT_EQ(owner.m_hWnd, nullptr) << "the object lets go of a destroyed window";
    EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);
}

// Dialogs ---------------------------------------------------------------------------

class TemplateDlg : public CDialog {
public:
    explicit TemplateDlg(std::function<void(TemplateDlg&)> init = {}) : CDialog(IDD_TESSALY_DIALOG), m_init(std::move(init)) {}
    CListBox m_list;
    int inits = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, IDC_LIST, m_list);
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        ++inits;
        if (m_init)
            m_init(*this);
        return TRUE;
    }
    std::function<void(TemplateDlg&)> m_init;
};

TEST(Dialogs, DataExchangeBindsTheTemplatesControlOnce)
{
    TemplateDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_TESSALY_DIALOG));
    EXPECT_EQ(dlg.inits, 1);
    HWND list = ::GetDlgItem(dlg.m_hWnd, IDC_LIST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(dlg.m_list.m_hWnd, list);
    EXPECT_EQ(CWnd::FromHandlePermanent(list), &dlg.m_list);
    dlg.UpdateData(FALSE);
    EXPECT_EQ(dlg.m_list.m_hWnd, list);
    EXPECT_EQ(dlg.GetDlgItem(IDC_PICTURE)->m_hWnd, ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE));
    dlg.DestroyWindow();
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(Dialogs, DoModalReturnsWhatEndsIt)
{
    // Ended before its loop starts.
    TemplateDlg early([](TemplateDlg& d) { d.EndDialog(5); });
    EXPECT_EQ(early.DoModal(), 5);
    EXPECT_EQ(early.m_hWnd, nullptr);

    // The default buttons' commands.
    TemplateDlg ok([](TemplateDlg& d) { d.PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)); });
    EXPECT_EQ(ok.DoModal(), IDOK);
    TemplateDlg cancel([](TemplateDlg& d) { d.PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)); });
    EXPECT_EQ(cancel.DoModal(), IDCANCEL);

    // A modal loop ended by a quit hands the quit on.
    TemplateDlg quit([](TemplateDlg&) { ::PostQuitMessage(3); });
    EXPECT_EQ(quit.DoModal(), -1);
    MSG m{};
    ASSERT_TRUE(::PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(m.wParam, 3u);
}

// The application object ---------------------------------------------------------

TEST(Application, IsReachableFromAnywhereWhileItLives)
{
    {
        CWinApp app(L"Test name");
        EXPECT_EQ(AfxGetApp(), &app);
        EXPECT_STREQ(app.m_pszAppName, L"Test name");
        app.SetRegistryKey(L"Some Company");
        EXPECT_STREQ(app.m_pszRegistryKey, L"Some Company");
        EXPECT_EQ(app.m_dwRestartManagerSupportFlags, 0u) << "restart support is the application's to ask for";
    }
    EXPECT_EQ(AfxGetApp(), nullptr);
}

}  // namespace

// A thread object that deletes itself when its thread ends may go before
// CreateThread returns; the creator must not touch it after the start.
TEST(Threads, AnAutoDeletingThreadThatFailsAtOnceIsNotTouchedAfterItGoes)
{
    struct failing_thread : CWinThread {
        BOOL InitInstance() override { return FALSE; }
    };
    for (int i = 0; i < 300; ++i) {
        auto* t = new failing_thread;
        t->m_bAutoDelete = TRUE;
        ASSERT_TRUE(t->CreateThread());
    }
}
