// The program's process-wide sound objects, for test and benchmark programs
// that run the dialog or the sound pass-through without the program's own
// entry file.
#include "Pipe.h"

CPipe g_AudioPipe;
UINT g_UserMessage = ::RegisterWindowMessageW(L"User");
