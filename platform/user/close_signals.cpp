// SIGTERM, SIGINT and SIGHUP: a session ending, Ctrl+C in a terminal, the
// terminal closing. Each asks the program's windows to close as their close
// box does, so that the program stops its sound and releases its devices on
// the way out, and it still ends within a bounded time.
#include "user_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace {

// How long the windows have to close after the signal before the process
// ends anyway: a close stops the capture and the sound within seconds.
constexpr unsigned kCloseSeconds = 10;

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;  // the first signal that came
bool g_taken = false;                // the X thread has passed it on

void on_close_signal(int sig)
{
    if (g_signal)
        ::_exit(128 + sig);  // asked again: the user will not wait
    g_signal = sig;
    ::alarm(kCloseSeconds);
    const int saved = errno;
    const char byte = 0;
    const ssize_t n = ::write(g_pipe[1], &byte, 1);
    (void)n;
    errno = saved;
}

void on_close_timeout(int)
{
    static const char text[] = "signal: the windows did not close in time; ending now\n";
    const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
    (void)n;
    ::_exit(128 + g_signal);
}

}  // namespace

void user_close_on_signals()
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        OutputDebugStringA("signal: no pipe; SIGTERM, SIGINT and SIGHUP end the program without closing it\n");
        return;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_close_timeout;
    ::sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = on_close_signal;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

int user_close_signal_fd() { return g_pipe[0]; }

void user_take_close_signal()
{
    if (!g_signal || g_taken)
        return;
    g_taken = true;
    char drained[16];
    while (::read(g_pipe[0], drained, sizeof drained) > 0) {
    }
    const int sig = g_signal;
    OutputDebugStringA(("signal: " + std::string(strsignal(sig)) + "; closing the windows\n").c_str());
    EnumWindows(
        [](HWND hwnd, LPARAM) {
            PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
            return TRUE;
        },
        0);
}
