// The process-wide objects, constructed before the entry point in this
// order and destroyed in the reverse order at exit.
#include "TessalyApp.h"

CTessalyApp theApp;
UINT g_UserMessage = ::RegisterWindowMessageW(L"User");
