// The process-wide objects, constructed before the entry point in this
// order and destroyed in the reverse order at exit.
#include "Pipe.h"
#include "TessalyApp.h"

CTessalyApp theApp;
CPipe g_AudioPipe;
UINT g_UserMessage = ::RegisterWindowMessageW(L"User");
