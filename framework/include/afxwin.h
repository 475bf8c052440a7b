// The application-framework subset the program is written against: the
// application and thread objects, windows and dialogs with message maps,
// device contexts, menus, and the small geometry types.
//
// Threads: a CWnd is used on the thread that owns its window, except for
// the calls Win32 allows from any thread (GetDlgItem, GetClientRect,
// GetWindowRect, PostMessage, SendMessage), which go straight to the layer.
// The handle maps (CWnd::FromHandle) are shared and locked inside.
#pragma once

#include <windows.h>

#include "afxstr.h"

#define afx_msg
#define PASCAL
#define AFXAPI

class CWnd;
class CDialog;
class CWinApp;
class CWinThread;
class CDataExchange;

// Geometry -----------------------------------------------------------------

class CPoint : public POINT {
public:
    CPoint() { x = y = 0; }
    CPoint(int ix, int iy) { x = ix; y = iy; }
    CPoint(POINT p) { x = p.x; y = p.y; }
    explicit CPoint(LPARAM lParam) { x = GET_X_LPARAM(lParam); y = GET_Y_LPARAM(lParam); }
    bool operator==(const POINT& p) const { return x == p.x && y == p.y; }
    bool operator!=(const POINT& p) const { return !(*this == p); }
};

class CSize : public SIZE {
public:
    CSize() { cx = cy = 0; }
    CSize(int w, int h) { cx = w; cy = h; }
};

class CRect : public RECT {
public:
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    CRect(const RECT& r) { *static_cast<RECT*>(this) = r; }
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    CSize Size() const { return CSize(Width(), Height()); }
    CPoint TopLeft() const { return CPoint(left, top); }
    CPoint BottomRight() const { return CPoint(right, bottom); }
    bool IsRectEmpty() const { return right <= left || bottom <= top; }
    void SetRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    void SetRectEmpty() { left = top = right = bottom = 0; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
    bool operator==(const RECT& r) const { return left == r.left && top == r.top && right == r.right && bottom == r.bottom; }
    bool operator!=(const RECT& r) const { return !(*this == r); }
};

// Message maps ---------------------------------------------------------------

class CCmdTarget;
typedef LRESULT (*AFX_THUNK)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

// One entry: a message (or, for WM_COMMAND, a notification code and a range
// of command identifiers) and the thunk that calls the handler. Registered
// messages name the variable that holds their number.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    const UINT* pRegistered;
    AFX_THUNK pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                             \
protected:                                                \
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();  \
    const AFX_MSGMAP* GetMessageMap() const override;

// Handlers are reached through captureless lambdas defined inside the class's
// own GetThisMessageMap, so protected handlers stay protected.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                         \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* PASCAL theClass::GetThisMessageMap()                           \
    {                                                                                \
        typedef theClass ThisClass;                                                  \
        typedef baseClass TheBaseClass;                                              \
        static_assert(sizeof(ThisClass) > 0, "complete class");                      \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                          \
    {0, 0, 0, 0, nullptr, nullptr}};                                                               \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
        return &messageMap;                                                                        \
    }

#define AFX_THIS(p) static_cast<ThisClass*>(p)
#define AFX_ENTRY(msg, body) {msg, 0, 0, 0, nullptr, [](CCmdTarget* p, WPARAM wParam, LPARAM lParam) -> LRESULT { \
    (void)wParam; (void)lParam; body }},

#define ON_WM_CREATE() AFX_ENTRY(WM_CREATE, return AFX_THIS(p)->OnCreate(reinterpret_cast<LPCREATESTRUCT>(lParam));)
#define ON_WM_DESTROY() AFX_ENTRY(WM_DESTROY, AFX_THIS(p)->OnDestroy(); return 0;)
#define ON_WM_PAINT() AFX_ENTRY(WM_PAINT, AFX_THIS(p)->OnPaint(); return 0;)
#define ON_WM_CLOSE() AFX_ENTRY(WM_CLOSE, AFX_THIS(p)->OnClose(); return 0;)
#define ON_WM_SIZE() AFX_ENTRY(WM_SIZE, AFX_THIS(p)->OnSize(static_cast<UINT>(wParam), GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;)
#define ON_WM_SYSCOMMAND() AFX_ENTRY(WM_SYSCOMMAND, AFX_THIS(p)->OnSysCommand(static_cast<UINT>(wParam), lParam); return 0;)
#define ON_WM_QUERYDRAGICON() AFX_ENTRY(WM_QUERYDRAGICON, return reinterpret_cast<LRESULT>(AFX_THIS(p)->OnQueryDragIcon());)
#define ON_WM_TIMER() AFX_ENTRY(WM_TIMER, AFX_THIS(p)->OnTimer(static_cast<UINT_PTR>(wParam)); return 0;)
#define ON_WM_MOUSEMOVE() AFX_ENTRY(WM_MOUSEMOVE, AFX_THIS(p)->OnMouseMove(static_cast<UINT>(wParam), CPoint(lParam)); return 0;)
#define ON_WM_LBUTTONDBLCLK() AFX_ENTRY(WM_LBUTTONDBLCLK, AFX_THIS(p)->OnLButtonDblClk(static_cast<UINT>(wParam), CPoint(lParam)); return 0;)
#define ON_WM_DEVICECHANGE() AFX_ENTRY(WM_DEVICECHANGE, return AFX_THIS(p)->OnDeviceChange(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam));)
#define ON_THREAD_MESSAGE(message, memberFxn) AFX_ENTRY(message, (AFX_THIS(p)->*(memberFxn))(wParam, lParam); return 0;)
#define ON_MESSAGE(message, memberFxn) AFX_ENTRY(message, return (AFX_THIS(p)->*(memberFxn))(wParam, lParam);)
#define ON_REGISTERED_MESSAGE(nMessageVariable, memberFxn) \
    {0xC000, 0, 0, 0, &(nMessageVariable), [](CCmdTarget* p, WPARAM wParam, LPARAM lParam) -> LRESULT { \
        return (AFX_THIS(p)->*(memberFxn))(wParam, lParam); }},
#define ON_CONTROL(code, id, memberFxn) \
    {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), nullptr, \
     [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT { (AFX_THIS(p)->*(memberFxn))(); return 0; }},
#define ON_COMMAND(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)

#define ID_HELP 0xE146

// Objects -------------------------------------------------------------------

class CObject {
public:
    virtual ~CObject() = default;
};

class CCmdTarget : public CObject {
public:
    // Routes a command to this object's handler; TRUE if one handled it.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);

protected:
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // The first entry for a message in this object's maps, most derived first.
    const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT message, UINT code, UINT id) const;
};

// Windows -------------------------------------------------------------------

class CMenu : public CObject {
public:
    HMENU m_hMenu = nullptr;
    static CMenu* PASCAL FromHandle(HMENU hMenu);
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCWSTR lpszNewItem = nullptr);
    HMENU GetSafeHmenu() const { return m_hMenu; }
};

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;

    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // The permanent object of a window, or a shared wrapper for one that
    // has none. Wrappers live until their window is gone.
    static CWnd* PASCAL FromHandle(HWND hWnd);
    static CWnd* PASCAL FromHandlePermanent(HWND hWnd);
    BOOL Attach(HWND hWnd);
    HWND Detach();
    // Routes the window's messages to this object from now on.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }

    virtual BOOL DestroyWindow();
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void PostNcDestroy();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    // The message now being handled, passed to the default procedure.
    LRESULT Default();

    CWnd* GetDlgItem(int nID) const;
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    void ScreenToClient(LPPOINT lpPoint) const;
    void ScreenToClient(LPRECT lpRect) const;
    void ClientToScreen(LPPOINT lpPoint) const;
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE);
    BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
    BOOL ShowWindow(int nCmdShow);
    BOOL IsIconic() const;
    BOOL IsZoomed() const;
    BOOL IsWindowVisible() const;
    DWORD GetStyle() const;
    void Invalidate(BOOL bErase = TRUE);
    void UpdateWindow();
    CMenu* GetSystemMenu(BOOL bRevert) const;
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    void SetWindowText(LPCWSTR lpszString);
    void GetWindowText(CString& rString) const;
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer);
    BOOL KillTimer(UINT_PTR nIDEvent);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    static const CWnd wndTop;
    static const CWnd wndTopMost;
    static const CWnd wndNoTopMost;

protected:
    DECLARE_MESSAGE_MAP()

    // Default handling of each message: the window's default procedure.
    afx_msg int OnCreate(LPCREATESTRUCT);
    afx_msg void OnDestroy();
    afx_msg void OnPaint();
    afx_msg void OnClose();
    afx_msg void OnSize(UINT nType, int cx, int cy);
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnMouseMove(UINT nFlags, CPoint point);
    afx_msg void OnLButtonDblClk(UINT nFlags, CPoint point);
    afx_msg BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);

    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT AfxCallWndProc(CWnd*, HWND, UINT, WPARAM, LPARAM);

    WNDPROC m_pfnSuper = nullptr;  // the procedure this object subclassed
    UINT m_nFlags = 0;
    int m_nModalResult = 0;

    enum { WF_CONTINUEMODAL = 0x0080 };
    // Runs messages until EndModalLoop; returns the modal result.
    int RunModalLoop();
    void EndModalLoop(int nResult);

private:
    explicit CWnd(HWND special) : m_hWnd(special) {}
};

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds control nIDC of the dialog to rControl (once).
void AFXAPI DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CListBox : public CWnd {
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // Creates the dialog from its template and runs it until it ends;
    // returns the value given to EndDialog, or -1 if it could not be created.
    virtual INT_PTR DoModal();
    // Creates the dialog without a modal loop of its own.
    virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    void EndDialog(int nResult);
    BOOL PreTranslateMessage(MSG* pMsg) override;

protected:
    DECLARE_MESSAGE_MAP()
    afx_msg LRESULT HandleInitDialog(WPARAM, LPARAM);

    LPCWSTR m_lpszTemplateName;
    CWnd* m_pParentWnd;
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// Device contexts -------------------------------------------------------------

class CDC : public CObject {
public:
    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF clr);
    BOOL DrawIcon(int x, int y, HICON hIcon);
    COLORREF GetPixel(int x, int y) const;
};

// The device context of a WM_PAINT: BeginPaint on construction, EndPaint on
// destruction.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    PAINTSTRUCT m_ps;

protected:
    HWND m_hWnd;
};

// Application and threads ----------------------------------------------------

// A thread with a message queue. The application object is one (its
// thread is the process's first); other objects get a thread of their own
// with CreateThread, which runs InitInstance and then, if that returns TRUE,
// the message loop Run. Thread messages (posted with no window) go to the
// object's message map (ON_THREAD_MESSAGE).
//
// The object must outlive its thread: a class that starts one ends it in its
// own destructor (PostThreadMessage WM_QUIT, then wait on m_hThread), before
// its members go. With m_bAutoDelete the thread deletes the object instead,
// when Run returns.
class CWinThread : public CCmdTarget {
public:
    CWinThread() = default;
    ~CWinThread() override;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    CWnd* m_pMainWnd = nullptr;
    BOOL m_bAutoDelete = TRUE;
    HANDLE m_hThread = nullptr;  // the object's thread, closed with the object
    DWORD m_nThreadID = 0;

    // Starts the thread and returns once it has its message queue and
    // InitInstance has returned, so that messages posted from then on
    // arrive. Creation flags and security are accepted and ignored; a stack
    // size of 0 is the default. FALSE if no thread could be made.
    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
    BOOL PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // The message loop: runs until WM_QUIT, then ExitInstance.
    virtual int Run();
    // Thread messages go to the message map; others to their windows.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

protected:
    int m_nExitCode = 0;

private:
    static DWORD WINAPI ThreadEntry(LPVOID param);
};

#define AFX_RESTART_MANAGER_SUPPORT_RESTART 0x01

class CWinApp : public CWinThread {
public:
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    LPCWSTR m_pszAppName = nullptr;  // the application name (owned)
    LPCWSTR m_pszExeName = nullptr;  // the executable's name without extension (owned)
    LPCWSTR m_pszRegistryKey = nullptr;
    HINSTANCE m_hInstance = nullptr;
    LPWSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = SW_SHOWDEFAULT;
    DWORD m_dwRestartManagerSupportFlags = 0;

    BOOL InitInstance() override;
    // Where the framework would keep settings; nothing is read or written.
    void SetRegistryKey(LPCWSTR lpszRegistryKey);
    afx_msg void OnHelp();

protected:
    DECLARE_MESSAGE_MAP()
    friend int AFXAPI AfxWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);
    void SetCurrentHandles();
};

CWinApp* AFXAPI AfxGetApp();
CWinThread* AFXAPI AfxGetThread();
CWnd* AFXAPI AfxGetMainWnd();
HINSTANCE AFXAPI AfxGetInstanceHandle();
HINSTANCE AFXAPI AfxGetResourceHandle();
int AFXAPI AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);
// Offers a message to the windows it is for, innermost first.
BOOL AFXAPI AfxPreTranslateMessage(MSG* pMsg);
