// CWinApp, the thread object's message loop and the program entry.
#include <afxwin.h>
#include <afxdisp.h>

#include <cstring>
#include <cwchar>

namespace {

CWinApp* g_app = nullptr;

LPWSTR duplicate(LPCWSTR text)
{
    if (!text)
        return nullptr;
    size_t n = std::wcslen(text) + 1;
    auto* copy = new wchar_t[n];
    std::wmemcpy(copy, text, n);
    return copy;
}

}  // namespace

CWinThread::~CWinThread()
{
    if (m_hThread)
        ::CloseHandle(m_hThread);
}

namespace {

// Lives on the creator's stack until the thread has started.
struct thread_startup {
    CWinThread* thread;
    HANDLE go;       // set by the creator once the object knows its thread
    HANDLE started;  // set by the thread once InitInstance has returned
};

}  // namespace

BOOL CWinThread::CreateThread(DWORD, UINT nStackSize, LPSECURITY_ATTRIBUTES)
{
    if (m_hThread)
        return FALSE;
    thread_startup startup{this, ::CreateEventW(nullptr, TRUE, FALSE, nullptr),
                           ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto close_events = [&] {
        if (startup.go)
            ::CloseHandle(startup.go);
        if (startup.started)
            ::CloseHandle(startup.started);
    };
    if (!startup.go || !startup.started) {
        ::OutputDebugStringA("CWinThread::CreateThread: no event to wait for the start on\n");
        close_events();
        return FALSE;
    }
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, nStackSize, ThreadEntry, &startup, 0, &id);
    if (!thread) {
        close_events();
        return FALSE;
    }
    // Written before the thread may run the object's code: an auto-deleting
    // thread whose InitInstance fails at once deletes the object.
    m_hThread = thread;
    m_nThreadID = id;
    ::SetEvent(startup.go);
    // The object is not touched while waiting: it may already have gone.
    ::WaitForSingleObject(startup.started, INFINITE);
    close_events();
    return TRUE;
}

DWORD WINAPI CWinThread::ThreadEntry(LPVOID param)
{
    auto* startup = static_cast<thread_startup*>(param);
    CWinThread* self = startup->thread;
    MSG msg;
    // The queue exists from here on, before anyone learns the thread started.
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ::WaitForSingleObject(startup->go, INFINITE);
    const BOOL ok = self->InitInstance();
    // The last touch of startup: the creator may return as soon as it is set.
    ::SetEvent(startup->started);
    const int code = ok ? self->Run() : self->ExitInstance();
    // Read at the end, as its owner may turn it off after the start.
    if (self->m_bAutoDelete)
        delete self;
    return static_cast<DWORD>(code);
}

BOOL CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return m_nThreadID ? ::PostThreadMessageW(m_nThreadID, message, wParam, lParam) : FALSE;
}

BOOL CWinThread::InitInstance() { return FALSE; }

int CWinThread::ExitInstance() { return m_nExitCode; }

BOOL CWinThread::PreTranslateMessage(MSG* pMsg)
{
    if (!pMsg->hwnd) {
        if (const AFX_MSGMAP_ENTRY* e = FindMessageEntry(pMsg->message, 0, 0)) {
            e->pfn(this, pMsg->wParam, pMsg->lParam);
            return TRUE;
        }
    }
    return AfxPreTranslateMessage(pMsg);
}

int CWinThread::Run()
{
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0)) {
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    m_nExitCode = static_cast<int>(msg.wParam);
    return ExitInstance();
}

CWinApp::CWinApp(LPCWSTR lpszAppName)
{
    m_pszAppName = duplicate(lpszAppName);
    g_app = this;
}

CWinApp::~CWinApp()
{
    delete[] m_pszAppName;
    delete[] m_pszExeName;
    delete[] m_pszRegistryKey;
    if (g_app == this)
        g_app = nullptr;
}

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

BOOL CWinApp::InitInstance() { return TRUE; }

void CWinApp::SetRegistryKey(LPCWSTR lpszRegistryKey)
{
    delete[] m_pszRegistryKey;
    m_pszRegistryKey = duplicate(lpszRegistryKey);
}

void CWinApp::OnHelp() {}

void CWinApp::SetCurrentHandles()
{
    // The executable's file name without directory and extension names the
    // application when its constructor gave no name.
    char path[MAX_PATH + 1] = {0};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    CStringA name(base);
    int dot = name.ReverseFind('.');
    if (dot > 0)
        name = name.Left(dot);
    CStringW wide(name.GetString());
    delete[] m_pszExeName;
    m_pszExeName = duplicate(wide);
    if (!m_pszAppName)
        m_pszAppName = duplicate(wide);
}

CWinApp* AFXAPI AfxGetApp() { return g_app; }
CWinThread* AFXAPI AfxGetThread() { return g_app; }
CWnd* AFXAPI AfxGetMainWnd() { return g_app ? g_app->m_pMainWnd : nullptr; }
HINSTANCE AFXAPI AfxGetInstanceHandle() { return ::GetModuleHandleW(nullptr); }
HINSTANCE AFXAPI AfxGetResourceHandle() { return ::GetModuleHandleW(nullptr); }

void AFXAPI AfxEnableControlContainer() {}

int AFXAPI AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow)
{
    CWinApp* app = AfxGetApp();
    if (!app)
        return -1;
    app->m_hInstance = hInstance;
    app->m_lpCmdLine = lpCmdLine;
    app->m_nCmdShow = nCmdShow;
    app->SetCurrentHandles();
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
