// The program as a user starts and ends it, several times over: how long a
// second start takes to end once it has handed over to the window already
// up, and how long the program takes to end after the window manager's close
// button. Both are waits a user sits through; the tests only catch hangs.
// Prints "<name> <value> <unit>" lines.
#include "bench_support.h"
#include "process.h"
#include "x11_probe.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

const std::string kCaption = "Vistamo v2.1.9";
// Far beyond any figure worth printing: past it, the run is broken.
constexpr auto kGiveUp = std::chrono::seconds(20);

double ms(clock_type::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The program's own window, once the window manager shows it; 0 if it ends
// or none comes in time.
Window window_of(x11_probe& probe, child_process& program)
{
    Window found = 0;
    x11_probe::wait_until(
        [&] {
            for (Window w : probe.find_by_title(kCaption))
                if (probe.pid_of(w) == program.pid())
                    found = w;
            return found != 0 || !program.running();
        },
        kGiveUp);
    return found;
}

// Milliseconds from since until the program has ended, looked at more often
// than child_process::wait does; negative if it still runs at the limit.
double ms_until_end(child_process& program, clock_type::time_point since)
{
    while (program.running()) {
        if (clock_type::now() - since > kGiveUp)
            return -1.0;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return ms(clock_type::now() - since);
}

}  // namespace

int main()
{
    x11_probe probe;
    if (!probe.display()) {
        std::fprintf(stderr, "bench_program: no display\n");
        return 1;
    }
    std::vector<double> second_start, close_to_exit;
    const int runs = 8;  // the first warms up (the page cache, the window manager)
    for (int i = 0; i < runs; ++i) {
        child_process first(VISTAMO_EXECUTABLE);
        const Window w = window_of(probe, first);
        if (w == 0) {
            std::fprintf(stderr, "bench_program: no window (another instance running?): %s\n",
                         first.stderr_text().c_str());
            return 1;
        }
        // Up and painted, as a user finds it before starting it again.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const auto started = clock_type::now();
        child_process second(VISTAMO_EXECUTABLE);
        const double gave_way = ms_until_end(second, started);
        if (gave_way < 0 || second.exit_status() != 0) {
            std::fprintf(stderr, "bench_program: the second start did not give way: %s\n",
                         second.stderr_text().c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        const auto closed = clock_type::now();
        probe.request_close(w);
        const double ended = ms_until_end(first, closed);
        if (ended < 0 || first.exit_status() != 0) {
            std::fprintf(stderr, "bench_program: the program did not end after the close: %s\n",
                         first.stderr_text().c_str());
            return 1;
        }
        if (i > 0) {
            second_start.push_back(gave_way);
            close_to_exit.push_back(ended);
        }
        // The window manager lets go of the window before the next start.
        x11_probe::wait_until([&] { return probe.find_by_title(kCaption).empty(); }, kGiveUp);
    }
    std::printf("second_start_exit_median %.1f ms\n", percentile(second_start, 0.5));
    std::printf("close_to_exit_median %.1f ms\n", percentile(close_to_exit, 0.5));
    return 0;
}
