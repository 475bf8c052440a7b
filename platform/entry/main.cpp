// The process entry: checks that the X display can be opened, then hands
// the Win32-style arguments to the program's wWinMain.
#include <windows.h>

#include "glibc_heap.h"
#include "../user/user_internal.h"
#include "../x11/x11_display.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

int main(int argc, char** argv)
{
    glibc_heap_for_frames();
    // A reader that goes away (a sound server's socket, a pipe) must fail
    // the write, not end the program: every such write reports its error.
    std::signal(SIGPIPE, SIG_IGN);
    user_close_on_signals();
    if (!x11_ui_display()) {
        std::string name = x11_display_name();
        const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
        const char* program = slash ? slash + 1 : (argc > 0 ? argv[0] : "vistamo");
        std::fprintf(stderr, "%s: cannot open the X display \"%s\"; a graphical desktop session is needed\n",
                     program, name.c_str());
        return 1;
    }
    // The command line is passed on as Windows would, though nothing reads it.
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            joined += ' ';
        joined += argv[i];
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, joined.c_str(), -1, nullptr, 0);
    std::wstring line(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, joined.c_str(), -1, line.data(), n);
    return wWinMain(GetModuleHandleW(nullptr), nullptr, line.data(), SW_SHOWDEFAULT);
}
