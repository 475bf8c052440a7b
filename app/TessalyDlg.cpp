#include "TessalyDlg.h"

#include "CaptureDevice.h"

#include "resource.h"

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <cstring>

CTessalyDlg::CTessalyDlg()
    : CDialog(IDD_TESSALY_DIALOG, nullptr), m_ptLastMouse(0, 0), m_hIcon(nullptr), m_bFullScreen(FALSE),
      m_rcRestore(0, 0, 0, 0), m_lStyle(0), m_bDevicePresent(false), m_bStopCapture(FALSE), m_rcClient(0, 0, 0, 0)
{
    // The no-signal picture lives in res/ beside the executable.
    char path[261];
    std::memset(path, 0, sizeof path);
    ::GetModuleFileNameA(nullptr, path, 260);
    char* slash = std::strrchr(path, '/');
    if (slash)
        slash[1] = '\0';
    else
        path[0] = '\0';
    m_strNoSignalImage = path;
    m_strNoSignalImage += "res/dis.jpg";

    m_hIcon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_VISTAMO));
}

void CTessalyDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_LIST, m_listBox);
}

CTessalyDlg::~CTessalyDlg()
{
    // Normally done as the window went; a run that outlived its window (a
    // dialog whose window was never destroyed through it) ends here, before
    // its volume thread is asked to go.
    EndCapture();
    ::SetEvent(m_hVolumeQuit);
    // A thread that saw the count reach 0 before a later one came in may
    // have left m_hVolumeGone set: the count decides, the event only wakes.
    const DWORD start = ::GetTickCount();
    while (::ReadAcquire(&m_nVolumeThreads) > 0) {
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= kVolumeThreadsWait ||
            ::WaitForSingleObject(m_hVolumeGone, kVolumeThreadsWait - waited) == WAIT_FAILED)
            break;
    }
    // A thread still about to set m_hVolumeGone then fails harmlessly: a
    // closed handle is never handed out again.
    ::CloseHandle(m_hVolumeQuit);
    ::CloseHandle(m_hVolumeGone);
}

BEGIN_MESSAGE_MAP(CTessalyDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_DEVICECHANGE()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_COMMAND(1003, &CTessalyDlg::OnStopCapture)
    ON_WM_CLOSE()
    ON_WM_DESTROY()
    ON_WM_SIZE()
    ON_WM_LBUTTONDBLCLK()
    ON_WM_TIMER()
    ON_WM_MOUSEMOVE()
END_MESSAGE_MAP()

BOOL CTessalyDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    CMenu* pSysMenu = GetSystemMenu(FALSE);
    if (pSysMenu) {
        CString strAboutMenu;
        strAboutMenu.LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.IsEmpty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    GetClientRect(&m_rcClient);

    if (!m_capture.isOpened()) {
        if (FindCaptureDevice()) {
            m_bDevicePresent = true;
            m_capture.open(g_CaptureDeviceIndex);
            StartCaptureThread();
        } else {
            SetNoSignal();
        }
    }
    RegisterNotifications();
    return TRUE;
}

void CTessalyDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    // The about item (IDM_ABOUTBOX) too: default processing ignores it.
    CDialog::OnSysCommand(nID, lParam);
}

void CTessalyDlg::OnPaint()
{
    try {
        if (IsIconic()) {
            CPaintDC dc(this);
            SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
            int cxIcon = ::GetSystemMetrics(SM_CXICON);
            int cyIcon = ::GetSystemMetrics(SM_CYICON);
            CRect rect;
            GetClientRect(&rect);
            int x = (rect.Width() - cxIcon + 1) / 2;
            int y = (rect.Height() - cyIcon + 1) / 2;
            dc.DrawIcon(x, y, m_hIcon);
        } else {
            CPaintDC dc(this);
            CRect rect;
            GetClientRect(&rect);
            dc.FillSolidRect(rect, 0);
            CDialog::OnPaint();
            // Rebuilt on every paint: nothing else redraws the control while
            // no video runs or none comes.
            if (!m_capture.isOpened() || m_bSignalLost)
                SetNoSignal();
        }
    } catch (const cv::Exception&) {
        ::OutputDebugStringA("OnPaint error\n");
    }
}

HCURSOR CTessalyDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CTessalyDlg::StopCapture(DWORD wait)
{
    // Read by the capture thread at the top of each pass of its loop.
    ::InterlockedExchange(&m_bStopCapture, TRUE);
    SetAudioLoop(false);
    ::Sleep(10);
    m_capture.release();
    WaitForCaptureThreads(wait);
    // A run that was just starting switches sound on before it sees the
    // flag; it is over now (or will read no frame), and its sound goes too.
    SetAudioLoop(false);
}

void CTessalyDlg::EndCapture()
{
    if (m_captureThreads.empty() && !m_capture.isOpened()) {
        // Nothing left to hand over (closing did it already, or no run
        // ever started): no pause.
        ::InterlockedExchange(&m_bStopCapture, TRUE);
        SetAudioLoop(false);
        return;
    }
    StopCapture(INFINITE);
}

void CTessalyDlg::OnStopCapture() { StopCapture(kCaptureEndWait); }

void CTessalyDlg::OnClose()
{
    // Capture and sound stop exactly as for the stop command.
    OnStopCapture();
    CDialog::OnClose();
    cv::destroyAllWindows();
}

void CTessalyDlg::OnDestroy()
{
    // OK and Cancel end the dialog without closing it, and the
    // stop command's wait may have run out: the runs still draw into this
    // window and read through this object.
    EndCapture();
    CDialog::OnDestroy();
}

void CTessalyDlg::OnSize(UINT nType, int cx, int cy)
{
    try {
        CDialog::OnSize(nType, cx, cy);
        if (nType == SIZE_MINIMIZED)
            return;
        static const int kControls[] = {-1, IDC_PICTURE, 1002, 1003, 1006, IDCANCEL, IDOK, 1000};
        for (int id : kControls)
            ChangeSize(GetDlgItem(id), cx, cy);
        GetClientRect(&m_rcClient);
    } catch (const cv::Exception&) {
        ::OutputDebugStringA("OnSize error\n");
    }
}

void CTessalyDlg::ChangeSize(CWnd* pWnd, int cx, int cy)
{
    try {
        if (!pWnd)
            return;
        CRect rect;
        pWnd->GetWindowRect(&rect);
        ScreenToClient(&rect);
        const long long w = m_rcClient.Width();
        const long long h = m_rcClient.Height();
        // A reference size of zero has no proportions to keep: the child
        // then spans the new client area on that axis, which is where the
        // picture control belongs.
        if (w != 0) {
            rect.left = static_cast<LONG>(rect.left * static_cast<long long>(cx) / w);
            rect.right = static_cast<LONG>(rect.right * static_cast<long long>(cx) / w);
        } else {
            rect.left = 0;
            rect.right = cx;
        }
        if (h != 0) {
            rect.top = static_cast<LONG>(rect.top * static_cast<long long>(cy) / h);
            rect.bottom = static_cast<LONG>(rect.bottom * static_cast<long long>(cy) / h);
        } else {
            rect.top = 0;
            rect.bottom = cy;
        }
        pWnd->MoveWindow(rect.left, rect.top, rect.Width(), rect.Height(), TRUE);
    } catch (const cv::Exception&) {
        ::OutputDebugStringA("ChangeSize error\n");
    }
}
