// Live video from the emulated 1080p60 capture stick into a 1280 x 720
// picture control for ten seconds, through the program's own capture run.
// Prints "<name> <value> <unit>" lines.
#include "TessalyDlg.h"
#include "bench_support.h"

#include <videoinput.h>
#include <wavevirtual.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

class BenchDlg : public CTessalyDlg {
};

// CPU seconds a thread of this process has used.
double thread_cpu_seconds(int tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    // Fields after the command name, which ends with the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main()
{
    // The stick's sound runs too, as it does with a real stick, on virtual
    // wave devices.
    wave_virtual_install(wave_virtual_config{});
    const int device = video_input_add_virtual(video_input_virtual_device{});
    BenchDlg dlg;
    if (!dlg.Create(102)) {
        std::fprintf(stderr, "bench_capture: the dialog could not be created (no display?)\n");
        return 1;
    }
    ::MoveWindow(dlg.m_hWnd, 0, 0, 1320, 800, TRUE);
    pump_for(std::chrono::milliseconds(300));
    ::MoveWindow(dlg.GetDlgItem(1001)->m_hWnd, 0, 0, 1280, 720, TRUE);
    pump_for(std::chrono::milliseconds(1000));

    const auto first = video_input_get_virtual_stats(device);
    const double cpu_first = thread_cpu_seconds(first.reader_tid);
    const auto began = clock_type::now();
    pump_for(std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
    const auto last = video_input_get_virtual_stats(device);
    const double cpu = thread_cpu_seconds(last.reader_tid) - cpu_first;

    const long long shown = last.delivered - first.delivered;
    const long long produced = last.produced - first.produced;
    const std::vector<double> held(last.hold_ms.begin() + static_cast<std::ptrdiff_t>(first.hold_ms.size()),
                                   last.hold_ms.end());
    std::printf("capture_frames_shown_per_second %.2f fps\n", static_cast<double>(shown) / seconds);
    std::printf("capture_frames_never_shown %lld frames\n", produced - shown);
    std::printf("capture_read_to_screen_median %.2f ms\n", percentile(held, 0.5));
    std::printf("capture_read_to_screen_p99 %.2f ms\n", percentile(held, 0.99));
    std::printf("capture_thread_cpu %.1f %%\n", 100.0 * cpu / seconds);

    ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(1003, 0), 0);
    dlg.DestroyWindow();
    video_input_remove_virtual(device);
    return 0;
}
