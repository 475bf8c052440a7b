// The application object: single instance per login session, then the main
// dialog, run modally for the whole life of the program.
#pragma once

#include <afxwin.h>

class CTessalyApp : public CWinApp {
public:
    CTessalyApp();

    // Runs the program; always FALSE, so the framework ends the process.
    BOOL InitInstance() override;

protected:
    DECLARE_MESSAGE_MAP()
};

extern CTessalyApp theApp;
// The registered window message "User", posted to the noise-reduction
// window for every recorded audio buffer.
extern UINT g_UserMessage;
