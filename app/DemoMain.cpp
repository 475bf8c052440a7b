// The viewer with a virtual capture stick, so that anyone can watch live
// video without the hardware. The stick's sound is virtual too (a tone that
// goes nowhere): the machine's own microphone is not played back through
// its speakers. The stick is plugged in two seconds after start-up, as a
// user would; SIGUSR1 pulls it out, or plugs it in again, while the demo
// runs. Lines on standard input do the same and more, through the paths
// the real events take: "plug", "unplug", "off", "on" and "dim" (the
// display), "resume" (the machine woke from sleep). Options (the product
// takes none):
//   --no-device   no stick: the no-signal screen
//   --file PATH   frames from a video file instead of the test pattern; only
//                 a regular file is taken, anything else ends the demo
#include "Pipe.h"
#include "TessalyApp.h"

#include <powervirtual.h>
#include <videoinput.h>
#include <videovirtual.h>
#include <wavevirtual.h>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

CTessalyApp theApp;
CPipe g_AudioPipe;
UINT g_UserMessage = ::RegisterWindowMessageW(L"User");

namespace {

std::vector<std::string> arguments()
{
    // Read before the entry point, from the kernel's copy of the command line.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

// Registered unplugged, before the dialog searches for it.
const int g_demoDevice = [] {
    video_input_virtual_device stick;
    const auto args = arguments();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--no-device")
            return 0;
        if (args[i] == "--file" && i + 1 < args.size())
            stick.file = args[++i];
    }
    // The dialog opens the stick, and with it the file, on the user-interface
    // thread: a pipe or a device there could block it for good. stat opens
    // nothing, so this check cannot block.
    if (!stick.file.empty()) {
        struct stat st;
        const char* problem = nullptr;
        if (::stat(stick.file.c_str(), &st) != 0)
            problem = std::strerror(errno);
        else if (!S_ISREG(st.st_mode))
            problem = "not a regular file";
        if (problem) {
            std::fprintf(stderr, "vistamo-demo: --file %s: %s\n", stick.file.c_str(), problem);
            // Before the entry point: nothing is open yet that needs closing.
            std::_Exit(2);
        }
    }
    wave_virtual_install(wave_virtual_config{});
    stick.plugged = false;
    return video_input_add_virtual(stick);
}();

// Counts SIGUSR1s for the plug thread. The handler only writes to it: a
// write(2) is all a signal handler may safely do here.
int g_toggleFd = -1;

void on_toggle_signal(int)
{
    const int saved = errno;
    uint64_t one = 1;
    if (::write(g_toggleFd, &one, sizeof one) < 0) {
        // The counter is full or gone: that toggle is lost, nothing else.
    }
    errno = saved;
}

// Carries out one line of standard input; plugged is the stick's state.
void run_command(const std::string& line, int device, bool& plugged)
{
    if ((line == "plug" || line == "unplug") && device != 0) {
        plugged = line == "plug";
        video_input_plug_virtual(device, plugged);
    } else if (line == "off" || line == "on" || line == "dim") {
        power_virtual_display(line == "off" ? 0 : line == "on" ? 1 : 2);
    } else if (line == "resume") {
        power_virtual_resume();
    } else if (!line.empty()) {
        std::fputs(device != 0 ? "vistamo-demo: commands: plug, unplug, off, on, dim, resume\n"
                               : "vistamo-demo: commands (no stick): off, on, dim, resume\n",
                   stderr);
    }
}

// Plugs the stick in two seconds after start-up, then pulls it out or plugs
// it in again at each SIGUSR1, and carries out the lines on standard input.
// Detached: it waits in poll() until the process ends, and touches nothing
// the dialog's end tears down.
void plug_thread(int device)
{
    using clock_type = std::chrono::steady_clock;
    bool plugged = false;
    bool first_plug_due = device != 0;  // a signal or command before it plugs the stick in early
    bool reading = true;  // standard input still open
    std::string pending;
    const auto plug_at = clock_type::now() + std::chrono::seconds(2);
    for (;;) {
        int timeout = -1;
        if (first_plug_due) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(plug_at - clock_type::now()).count();
            if (left <= 0) {
                first_plug_due = false;
                plugged = true;
                video_input_plug_virtual(device, true);
                continue;
            }
            timeout = static_cast<int>(left) + 1;
        }
        pollfd fds[2] = {{g_toggleFd, POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            std::perror("vistamo-demo: poll; SIGUSR1 and commands no longer work");
            return;
        }
        if (r <= 0)
            continue;
        if (fds[1].revents) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            // The end of the input, or a terminal this process may not read
            // (in the background, with SIGTTIN ignored).
            if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN)))
                reading = false;
            pending.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                first_plug_due = false;
                run_command(pending.substr(0, end), device, plugged);
            }
            if (pending.size() > 1024)
                pending.clear();
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        uint64_t count = 0;
        if (::read(g_toggleFd, &count, sizeof count) != static_cast<ssize_t>(sizeof count))
            continue;
        // Each signal toggles once; two that came together cancel out.
        if (count % 2 == 0 || device == 0)
            continue;
        first_plug_due = false;
        plugged = !plugged;
        video_input_plug_virtual(device, plugged);
    }
}

const bool g_plugThreadStarted = [] {
    // A demo sent to the background of a terminal is not stopped for
    // reading it: the read fails instead.
    ::signal(SIGTTIN, SIG_IGN);
    g_toggleFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_toggleFd < 0) {
        std::perror("vistamo-demo: eventfd; the stick stays unplugged");
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_toggle_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGUSR1, &action, nullptr) != 0)
        std::perror("vistamo-demo: SIGUSR1 will not pull the stick");
    try {
        std::thread(plug_thread, g_demoDevice).detach();
    } catch (const std::system_error&) {
        std::fputs("vistamo-demo: cannot start the plug thread; the stick stays unplugged\n", stderr);
        return false;
    }
    return true;
}();

}  // namespace
