#include "TessalyApp.h"

#include "TessalyDlg.h"

#include <afxcontrolbars.h>
#include <afxdisp.h>
#include <commctrl.h>

#include <new>

BEGIN_MESSAGE_MAP(CTessalyApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CTessalyApp::CTessalyApp()
{
    m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

BOOL CTessalyApp::InitInstance()
{
    // The mutex is named after the executable, so a copy under another name
    // runs as an instance of its own.
    HANDLE hMutex = ::CreateMutexW(nullptr, TRUE, m_pszAppName);
    if (!hMutex)
        return FALSE;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(hMutex);
        HWND hWnd = ::FindWindowW(nullptr, L"Vistamo v2.1.9");
        if (hWnd) {
            ::PostMessageW(hWnd, WM_SYSCOMMAND, SC_RESTORE, 0);
            // Topmost and back lifts the window above all others without
            // leaving it there.
            ::SetWindowPos(hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
            ::SetWindowPos(hWnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
            ::SetForegroundWindow(hWnd);
        } else {
            // The other instance is on another display, or still starting:
            // say why nothing appears rather than end without a word.
            ::OutputDebugStringA("Vistamo is already running in this login session, but its window was not found "
                                 "on this display\n");
        }
        return FALSE;
    }

    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    CWinApp::InitInstance();
    AfxEnableControlContainer();
    CShellManager* pShellManager = new (std::nothrow) CShellManager;
    SetRegistryKey(L"应用程序向导生成的本地应用程序");

    CTessalyDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    delete pShellManager;
    return FALSE;
}
