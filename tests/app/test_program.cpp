// The real program, started as a user starts it: its window as the window
// manager shows it, one instance per executable, closing, and what happens
// without a display. Every case starts its own processes and looks at them
// through an independent X client.
#include "process.h"
#include "x11_probe.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr Window kNoWindow = 0;

const std::string kCaption = "Vistamo v2.1.9";
// The dialog template is 493 x 323 dialog units; its 9 pt font gives base
// units of 7 x 14 pixels.
constexpr int kClientWidth = 863;
constexpr int kClientHeight = 565;

// Generous: a shared machine, or a sanitizer build, starts programs slowly.
constexpr std::chrono::milliseconds kStartTimeout = 20s;
// For the window manager and the program to act on a request.
constexpr std::chrono::milliseconds kSettleTimeout = kHangTimeout;
// For a second start to give way, or for the program to end after its window
// is closed. How soon a user sees either is bench_program's to measure.
constexpr std::chrono::milliseconds kExitTimeout = kHangTimeout;

std::string hex_pixel(unsigned long rgb)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%06lx", rgb);
    return buf;
}

std::string describe(const probe_rect& r)
{
    std::ostringstream out;
    out << r.width << "x" << r.height << "+" << r.x << "+" << r.y;
    return out.str();
}

// The area windows are placed in. openbox on the test display reserves
// no room for panels, so that is the whole screen.
probe_rect work_area(x11_probe& probe) { return probe_rect{0, 0, probe.screen_width(), probe.screen_height()}; }

// The client area grown by the frame the window manager draws around it.
probe_rect outer_rect(x11_probe& probe, Window w)
{
    probe_rect c = probe.client_rect(w);
    probe_rect f = probe.frame_extents(w);  // x=left, y=top, width=right, height=bottom
    return probe_rect{c.x - f.x, c.y - f.y, c.width + f.x + f.width, c.height + f.y + f.height};
}

bool is_centred(x11_probe& probe, Window w)
{
    probe_rect outer = outer_rect(probe, w);
    probe_rect area = work_area(probe);
    // Twice the centres, to stay in integers.
    int dx = (2 * outer.x + outer.width) - (2 * area.x + area.width);
    int dy = (2 * outer.y + outer.height) - (2 * area.y + area.height);
    return std::abs(dx) <= 4 && std::abs(dy) <= 4;
}

bool has_client_size(x11_probe& probe, Window w)
{
    probe_rect c = probe.client_rect(w);
    return c.width == kClientWidth && c.height == kClientHeight;
}

// Screen pixels on the outer ring of a 5 x 5 grid inside the client area,
// clear of its edges, that are not black; empty when all of them are. The
// inner points are left out: without video the middle shows the no-signal
// screen.
std::string non_black_samples(x11_probe& probe, Window w)
{
    probe_rect c = probe.client_rect(w);
    if (c.width <= 0 || c.height <= 0)
        return "no client area";
    const int margin_x = c.width / 10, margin_y = c.height / 10;
    std::string out;
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            if (i > 0 && i < 4 && j > 0 && j < 4)
                continue;
            int x = c.x + margin_x + i * (c.width - 2 * margin_x) / 4;
            int y = c.y + margin_y + j * (c.height - 2 * margin_y) / 4;
            unsigned long p = probe.screen_pixel(x, y);
            if (p != 0)
                out += " (" + std::to_string(x) + "," + std::to_string(y) + ")=" + hex_pixel(p);
        }
    }
    return out;
}

std::vector<long> pids_of(x11_probe& probe, const std::vector<Window>& windows)
{
    std::vector<long> out;
    for (Window w : windows)
        out.push_back(probe.pid_of(w));
    return out;
}

// A private directory, removed with everything in it at the end.
class temp_dir {
public:
    temp_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "vistamo-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~temp_dir()
    {
        std::error_code ec;
        if (!m_path.empty())
            fs::remove_all(m_path, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(probe.display(), nullptr) << "cannot open the test display; run under tools/run-tests.sh";
        // Every case starts from a desktop without the program on it.
        ASSERT_TRUE(x11_probe::wait_until([&] { return probe.find_by_title(kCaption).empty(); }, kSettleTimeout))
            << "a window captioned \"" << kCaption << "\" is already on the display";
        // A white window under everything the program shows, so that its
        // client area is black only where it paints it so.
        probe.create_window("Backdrop", probe.screen_width(), probe.screen_height());
        const int cx = probe.screen_width() / 2, cy = probe.screen_height() / 2;
        ASSERT_TRUE(x11_probe::wait_until([&] { return probe.screen_pixel(cx, cy) == 0xFFFFFF; }, kSettleTimeout))
            << "the backdrop did not appear; centre pixel " << hex_pixel(probe.screen_pixel(cx, cy));
    }

    std::unique_ptr<child_process> start(const std::vector<std::string>& args = {},
                                         const std::vector<std::string>& env = {},
                                         const std::string& path = VISTAMO_EXECUTABLE)
    {
        return std::make_unique<child_process>(path, args, env);
    }

    // The program's own window, once the window manager shows it; none (and
    // a failure) if it does not come, or the program ends first.
    Window wait_for_window(child_process& program)
    {
        Window found = kNoWindow;
        bool ended = false;
        x11_probe::wait_until(
            [&] {
                for (Window w : probe.find_by_title(kCaption))
                    if (probe.pid_of(w) == program.pid())
                        found = w;
                ended = found == kNoWindow && !program.running();
                return found != kNoWindow || ended;
            },
            kStartTimeout);
        if (ended) {
            ADD_FAILURE() << "the program ended with status " << program.exit_status()
                          << " before showing its window (another instance in this login session, e.g. a "
                             "concurrent test run on another display, also makes it give way); stderr: "
                          << program.stderr_text();
        } else if (found == kNoWindow) {
            ADD_FAILURE() << "no window captioned \"" << kCaption << "\" of pid " << program.pid() << " within "
                          << kStartTimeout.count() << " ms";
        }
        return found;
    }

    // The window is up, framed, in the middle of the screen and painted.
    void expect_normal_window(Window w)
    {
        EXPECT_TRUE(x11_probe::wait_until([&] { return has_client_size(probe, w); }, kSettleTimeout))
            << "client area " << describe(probe.client_rect(w)) << ", expected " << kClientWidth << "x"
            << kClientHeight;
        EXPECT_TRUE(x11_probe::wait_until([&] { return is_centred(probe, w); }, kSettleTimeout))
            << "outer rectangle " << describe(outer_rect(probe, w)) << " (frame extents "
            << describe(probe.frame_extents(w)) << ") is not centred on the work area "
            << describe(work_area(probe));
        EXPECT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout))
            << "client area pixels that are not black:" << non_black_samples(probe, w);
    }

    // Another program's window above the given one, active.
    Window cover_with_other_window(Window w)
    {
        Window other = probe.create_window("Another program", 400, 300);
        probe.activate(other);
        EXPECT_TRUE(x11_probe::wait_until(
            [&] {
                auto order = probe.stacking();
                return !order.empty() && order.back() == other && probe.active_window() == other;
            },
            kSettleTimeout))
            << "the other window did not come to the front";
        auto order = probe.stacking();
        EXPECT_LT(std::find(order.begin(), order.end(), w) - order.begin(),
                  std::find(order.begin(), order.end(), other) - order.begin())
            << "the program's window is not below the other window";
        return other;
    }

    // What a second start must have done to the first window: shown it,
    // made it the active and topmost window, but not kept it on top.
    void expect_brought_forward(Window w)
    {
        bool forward = x11_probe::wait_until(
            [&] {
                auto order = probe.stacking();
                return !probe.is_iconic(w) && probe.active_window() == w && !order.empty() && order.back() == w;
            },
            kSettleTimeout);
        EXPECT_TRUE(forward) << "iconic " << probe.is_iconic(w) << ", active window 0x" << std::hex
                             << probe.active_window() << ", topmost 0x"
                             << (probe.stacking().empty() ? 0ul : probe.stacking().back()) << ", program's 0x" << w;
        EXPECT_FALSE(probe.is_iconic(w));
        EXPECT_FALSE(probe.has_net_state(w, "_NET_WM_STATE_ABOVE")) << "the window was left always on top";
        EXPECT_FALSE(probe.has_net_state(w, "_NET_WM_STATE_HIDDEN"));
    }

    x11_probe probe;
};

// ---------------------------------------------------------------------------
// The window a user sees.

class ProgramWindow : public ProgramTest {};

TEST_F(ProgramWindow, AppearsCentredBlackAndWithItsCaption)
{
    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);

    auto windows = probe.find_by_title(kCaption);
    EXPECT_EQ(windows.size(), 1u);
    EXPECT_EQ(probe.title(w), kCaption);
    expect_normal_window(w);
    // No capture device: the no-signal picture from res/ beside the
    // executable covers the middle, well above the line its text is on.
    probe_rect c = probe.client_rect(w);
    EXPECT_TRUE(x11_probe::wait_until(
        [&] { return probe.screen_pixel(c.x + c.width / 2, c.y + c.height / 2 - 100) != 0; }, kSettleTimeout))
        << "no no-signal picture in the middle of the client area";
    EXPECT_FALSE(probe.is_iconic(w));
    EXPECT_TRUE(program->running());
}

TEST_F(ProgramWindow, KeepsWorkingAfterMinimiseAndRestore)
{
    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    ASSERT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout));

    probe.iconify(w);
    ASSERT_TRUE(x11_probe::wait_until([&] { return probe.is_iconic(w); }, kSettleTimeout))
        << "the window did not minimise";
    EXPECT_TRUE(program->running());

    probe.activate(w);
    ASSERT_TRUE(x11_probe::wait_until([&] { return !probe.is_iconic(w); }, kSettleTimeout))
        << "the window did not come back";
    EXPECT_TRUE(x11_probe::wait_until([&] { return has_client_size(probe, w); }, kSettleTimeout))
        << "client area " << describe(probe.client_rect(w));
    EXPECT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout))
        << "client area pixels that are not black after restoring:" << non_black_samples(probe, w);
    EXPECT_TRUE(program->running());
}

// ---------------------------------------------------------------------------
// One instance per executable.

class ProgramSingleInstance : public ProgramTest {};

TEST_F(ProgramSingleInstance, SecondStartEndsAtOnceAndLeavesOneWindow)
{
    auto first = start();
    Window w = wait_for_window(*first);
    ASSERT_NE(w, kNoWindow);

    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout)) << "the second start still runs after " << kExitTimeout.count() << " ms";
    EXPECT_EQ(second->exit_status(), 0) << second->stderr_text();

    EXPECT_EQ(probe.find_by_title(kCaption), std::vector<Window>{w});
    EXPECT_TRUE(first->running());
}

TEST_F(ProgramSingleInstance, SecondStartBringsCoveredWindowToFront)
{
    auto first = start();
    Window w = wait_for_window(*first);
    ASSERT_NE(w, kNoWindow);
    cover_with_other_window(w);

    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout)) << "the second start still runs after " << kExitTimeout.count() << " ms";
    EXPECT_EQ(second->exit_status(), 0) << second->stderr_text();

    expect_brought_forward(w);
    EXPECT_EQ(probe.find_by_title(kCaption), std::vector<Window>{w});
    EXPECT_TRUE(first->running());
}

TEST_F(ProgramSingleInstance, SecondStartRestoresMinimisedWindow)
{
    auto first = start();
    Window w = wait_for_window(*first);
    ASSERT_NE(w, kNoWindow);
    ASSERT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout));
    cover_with_other_window(w);
    probe.iconify(w);
    ASSERT_TRUE(x11_probe::wait_until([&] { return probe.is_iconic(w); }, kSettleTimeout))
        << "the window did not minimise";

    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout)) << "the second start still runs after " << kExitTimeout.count() << " ms";
    EXPECT_EQ(second->exit_status(), 0) << second->stderr_text();

    expect_brought_forward(w);
    EXPECT_EQ(probe.find_by_title(kCaption), std::vector<Window>{w});
    EXPECT_TRUE(x11_probe::wait_until([&] { return has_client_size(probe, w); }, kSettleTimeout))
        << "client area " << describe(probe.client_rect(w));
    EXPECT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout))
        << "client area pixels that are not black after restoring:" << non_black_samples(probe, w);
    EXPECT_TRUE(first->running());
}

TEST_F(ProgramSingleInstance, SecondStartLeavesAFullScreenWindowFullScreen)
{
    auto first = start();
    Window w = wait_for_window(*first);
    ASSERT_NE(w, kNoWindow);
    expect_normal_window(w);
    const probe_rect before = probe.client_rect(w);
    probe.double_click(w, 100, 100);
    auto full = [&] {
        const probe_rect c = probe.client_rect(w);
        return probe.has_net_state(w, "_NET_WM_STATE_FULLSCREEN") && c.width >= probe.screen_width() &&
               c.height >= probe.screen_height();
    };
    ASSERT_TRUE(x11_probe::wait_until(full, kSettleTimeout)) << "the double click did not go full screen";
    cover_with_other_window(w);

    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout)) << "the second start still runs after " << kExitTimeout.count() << " ms";
    EXPECT_EQ(second->exit_status(), 0) << second->stderr_text();
    expect_brought_forward(w);
    EXPECT_TRUE(full()) << "the second start ended full screen";

    // The next double click gives back the window as it was, every time.
    for (int round = 0; round < 2; ++round) {
        probe.double_click(w, 100, 100);
        EXPECT_TRUE(x11_probe::wait_until(
            [&] {
                const probe_rect c = probe.client_rect(w);
                return !probe.has_net_state(w, "_NET_WM_STATE_FULLSCREEN") && c.x == before.x && c.y == before.y &&
                       c.width == before.width && c.height == before.height;
            },
            kSettleTimeout))
            << "round " << round << ": client area " << describe(probe.client_rect(w)) << ", was "
            << describe(before);
        probe.double_click(w, 100, 100);
        EXPECT_TRUE(x11_probe::wait_until(full, kSettleTimeout)) << "round " << round;
    }
    EXPECT_TRUE(first->running());
}

// An X server with no window manager on it, as a kiosk or a bare X session
// has; the test's own $DISPLAY is left as it is.
class bare_x_server {
public:
    bare_x_server()
    {
        for (int n = 150; n < 200 && m_name.empty(); ++n) {
            const std::string id = std::to_string(n);
            if (fs::exists("/tmp/.X" + id + "-lock") || fs::exists("/tmp/.X11-unix/X" + id))
                continue;
            m_server = std::make_unique<child_process>(
                "/usr/bin/Xvfb", std::vector<std::string>{":" + id, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"});
            if (x11_probe::wait_until([&] { return fs::exists("/tmp/.X11-unix/X" + id) || !m_server->running(); }) &&
                m_server->running())
                m_name = ":" + id;
        }
    }
    // A killed server leaves its lock and socket behind, and would use up
    // the displays in a few dozen runs.
    ~bare_x_server()
    {
        m_server.reset();
        if (m_name.empty())
            return;
        std::error_code ec;
        fs::remove("/tmp/.X" + m_name.substr(1) + "-lock", ec);
        fs::remove("/tmp/.X11-unix/X" + m_name.substr(1), ec);
    }
    bare_x_server(const bare_x_server&) = delete;
    bare_x_server& operator=(const bare_x_server&) = delete;
    const std::string& name() const { return m_name; }
    // A probe of this server.
    std::unique_ptr<x11_probe> probe() const
    {
        const std::string own = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        ::setenv("DISPLAY", m_name.c_str(), 1);
        auto p = std::make_unique<x11_probe>();
        ::setenv("DISPLAY", own.c_str(), 1);
        return p;
    }

private:
    std::unique_ptr<child_process> m_server;
    std::string m_name;
};

TEST(ProgramWithoutWindowManager, DoubleClickCoversTheMonitorAndTheNextGivesTheWindowBack)
{
    bare_x_server server;
    if (server.name().empty())
        GTEST_SKIP() << "no Xvfb of its own could start";
    temp_dir runtime;
    child_process program(VISTAMO_EXECUTABLE, {},
                          {"DISPLAY=" + server.name(), "XDG_RUNTIME_DIR=" + runtime.path().string()});
    auto probe = server.probe();
    ASSERT_NE(probe->display(), nullptr);
    Window w = kNoWindow;
    ASSERT_TRUE(x11_probe::wait_until(
        [&] {
            auto found = probe->find_by_title(kCaption);
            w = found.empty() ? kNoWindow : found[0];
            // Centred on the screen, as it shows.
            return w != kNoWindow && probe->client_rect(w).width == kClientWidth &&
                   probe->client_rect(w).x == (1920 - kClientWidth) / 2;
        },
        kStartTimeout))
        << program.stderr_text();
    const probe_rect before = probe->client_rect(w);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        probe->double_click(w, 100, 100);
        EXPECT_TRUE(x11_probe::wait_until([&] {
            const probe_rect c = probe->client_rect(w);
            return c.x <= 0 && c.y <= 0 && c.x + c.width >= 1920 && c.y + c.height >= 1080;
        })) << "client area " << describe(probe->client_rect(w));
        probe->double_click(w, 100, 100);
        EXPECT_TRUE(x11_probe::wait_until([&] {
            const probe_rect c = probe->client_rect(w);
            return c.x == before.x && c.y == before.y && c.width == before.width && c.height == before.height;
        })) << "client area " << describe(probe->client_rect(w)) << ", was " << describe(before);
    }
    EXPECT_TRUE(program.running());
}

TEST_F(ProgramSingleInstance, CopyUnderAnotherNameRunsBesideIt)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    fs::path copy = dir.path() / "vistamo-copy";
    std::error_code ec;
    fs::copy_file(VISTAMO_EXECUTABLE, copy, ec);
    ASSERT_FALSE(ec) << "cannot copy the program: " << ec.message();
    fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add, ec);

    auto original = start();
    Window first = wait_for_window(*original);
    ASSERT_NE(first, kNoWindow);
    auto other = start({}, {}, copy.string());
    Window second = wait_for_window(*other);
    ASSERT_NE(second, kNoWindow);

    auto windows = probe.find_by_title(kCaption);
    EXPECT_EQ(windows.size(), 2u);
    auto pids = pids_of(probe, windows);
    EXPECT_EQ(std::set<long>(pids.begin(), pids.end()), (std::set<long>{original->pid(), other->pid()}));
    EXPECT_TRUE(original->running());
    EXPECT_TRUE(other->running());
}

TEST_F(ProgramSingleInstance, WindowOfAnotherProgramWithTheCaptionDoesNotCount)
{
    Window impostor = probe.create_window(kCaption);
    ASSERT_TRUE(x11_probe::wait_until([&] { return probe.find_by_title(kCaption).size() == 1; }, kSettleTimeout))
        << "the other program's window was not managed";

    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    EXPECT_NE(w, impostor);
    EXPECT_TRUE(program->running());
    EXPECT_EQ(probe.find_by_title(kCaption).size(), 2u);
    expect_normal_window(w);
    EXPECT_TRUE(program->running());
}

TEST_F(ProgramSingleInstance, NameTakenInTheSharedSocketNamespaceDoesNotStopIt)
{
    // Any local user can bind an abstract socket under the name the lock
    // once had there.
    std::string session;
    std::ifstream("/proc/self/sessionid") >> session;
    if (session.empty() || session == "4294967295")
        session = "none";
    std::string name = "vistamo-mutex/" + std::to_string(::getuid()) + "/" + session + "/" +
                       fs::path(VISTAMO_EXECUTABLE).stem().string();
    int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(squatter, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path + 1, sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);

    auto program = start();
    Window w = wait_for_window(*program);
    EXPECT_NE(w, kNoWindow);
    EXPECT_TRUE(program->running());
    ::close(squatter);
}

TEST_F(ProgramSingleInstance, InstanceWithoutAWindowOnThisDisplayIsNamedOnOneLine)
{
    // This test holds the lock as an instance on another display would.
    std::wstring app_name = fs::path(VISTAMO_EXECUTABLE).stem().wstring();
    HANDLE other_instance = ::CreateMutexW(nullptr, TRUE, app_name.c_str());
    ASSERT_NE(other_instance, nullptr);
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout)) << "still runs after " << kExitTimeout.count() << " ms";
    EXPECT_EQ(second->exit_status(), 0);
    std::string err = second->stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "stderr: " << err;
    EXPECT_TRUE(!err.empty() && err.back() == '\n') << "stderr: " << err;
    EXPECT_NE(err.find("already running"), std::string::npos) << "stderr: " << err;
    EXPECT_TRUE(probe.find_by_title(kCaption).empty());
    ::CloseHandle(other_instance);
}

// ---------------------------------------------------------------------------
// The demo's video file.

class ProgramDemo : public ProgramTest {};

TEST_F(ProgramDemo, RefusesAnythingButARegularFileBeforeShowingAWindow)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path link_to_fifo = dir.path() / "link";
    fs::create_symlink(fifo, link_to_fifo);
    const fs::path subdir = dir.path() / "dir";
    fs::create_directory(subdir);
    for (const fs::path& path : {fifo, link_to_fifo, subdir, dir.path() / "missing", fs::path("/dev/null")}) {
        SCOPED_TRACE(path.string());
        child_process demo(VISTAMO_DEMO_EXECUTABLE, {"--file", path.string()});
        ASSERT_TRUE(demo.wait(kStartTimeout)) << "still runs";
        std::string err = demo.stderr_text();
        EXPECT_NE(demo.exit_status(), 0);
        EXPECT_LT(demo.exit_status(), 128) << "ended by a signal";
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "stderr: " << err;
        EXPECT_NE(err.find(path.string()), std::string::npos) << "stderr: " << err;
        EXPECT_TRUE(probe.find_by_title(kCaption).empty());
    }
}

// ---------------------------------------------------------------------------
// Closing.

class ProgramClose : public ProgramTest {};

TEST_F(ProgramClose, WindowManagerCloseEndsTheProgram)
{
    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    // Fully up: it has painted.
    ASSERT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout));

    probe.request_close(w);
    ASSERT_TRUE(program->wait(kExitTimeout)) << "still running " << kExitTimeout.count() << " ms after the close";
    EXPECT_EQ(program->exit_status(), 0) << program->stderr_text();
    EXPECT_TRUE(x11_probe::wait_until([&] { return probe.find_by_title(kCaption).empty(); }, kSettleTimeout))
        << "a window captioned \"" << kCaption << "\" is still there";
}

TEST_F(ProgramClose, SessionEndAndTerminalSignalsCloseItAsTheCloseBoxDoes)
{
    struct {
        int sig;
        const char* trace;
    } const cases[] = {{SIGTERM, "signal: Terminated; closing the windows"},
                       {SIGINT, "signal: Interrupt; closing the windows"},
                       {SIGHUP, "signal: Hangup; closing the windows"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        auto program = start();
        Window w = wait_for_window(*program);
        ASSERT_NE(w, kNoWindow);
        ASSERT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout));

        ASSERT_EQ(::kill(program->pid(), c.sig), 0);
        ASSERT_TRUE(program->wait(kExitTimeout)) << "still running " << kExitTimeout.count() << " ms after";
        // Ended by its own close, not by the signal.
        EXPECT_EQ(program->exit_status(), 0) << program->stderr_text();
        EXPECT_NE(program->stderr_text().find(c.trace), std::string::npos) << program->stderr_text();
    }
}

TEST_F(ProgramClose, WindowDestroyedByAnotherClientEndsTheProgram)
{
    // Nothing is left to show once another X client has destroyed the
    // window: the program ends as if it had been closed.
    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    ASSERT_TRUE(x11_probe::wait_until([&] { return non_black_samples(probe, w).empty(); }, kSettleTimeout));

    probe.destroy(w);
    ASSERT_TRUE(program->wait(kExitTimeout)) << "still running " << kExitTimeout.count() << " ms after";
    EXPECT_EQ(program->exit_status(), 0) << program->stderr_text();
}

// ---------------------------------------------------------------------------
// Other programs on the display.

class ProgramOtherClients : public ProgramTest {};

TEST_F(ProgramOtherClients, MessagesCarryingPointersAreIgnored)
{
    // Any client on the display can send the window messages whose
    // parameters the program would call, read or write through. They must
    // change nothing, while the messages the program takes from outside
    // still work.
    auto program = start();
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    const uint64_t bogus = 0x0000414141414141ull;
    for (unsigned message : {0x0113u /* WM_TIMER */, 0x000Cu /* WM_SETTEXT */, 0x000Du /* WM_GETTEXT */,
                             0x0219u /* WM_DEVICECHANGE */, 0x0218u /* WM_POWERBROADCAST */,
                             0x0080u /* WM_SETICON */, 0x0002u /* WM_DESTROY */})
        probe.send_window_message(w, message, 0x8000 /* a removal, or a settings change */, bogus);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(program->running()) << program->stderr_text();
    EXPECT_EQ(probe.title(w), kCaption);

    // A second start still raises it (WM_SYSCOMMAND from the other process).
    cover_with_other_window(w);
    auto second = start();
    ASSERT_TRUE(second->wait(kExitTimeout));
    expect_brought_forward(w);

    // And closing from outside ends it cleanly.
    probe.send_window_message(w, 0x0010 /* WM_CLOSE */, 0, 0);
    ASSERT_TRUE(program->wait(kExitTimeout));
    EXPECT_EQ(program->exit_status(), 0) << program->stderr_text();
    EXPECT_EQ(program->stderr_text().find("Sanitizer"), std::string::npos) << program->stderr_text();
}

// ---------------------------------------------------------------------------
// Without a display.

class ProgramWithoutDisplay : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramWithoutDisplay, SaysSoOnOneLineAndFails)
{
    std::string display = GetParam();
    if (display.size() > 1 && display[0] == ':') {
        struct stat st;
        std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
        if (::stat(socket.c_str(), &st) == 0)
            GTEST_SKIP() << "an X server listens on " << display;
    }

    child_process program(VISTAMO_EXECUTABLE, {}, {"DISPLAY=" + display});
    ASSERT_TRUE(program.wait(kStartTimeout)) << "still running without a display";
    std::string err = program.stderr_text();

    EXPECT_NE(program.exit_status(), 0);
    EXPECT_LT(program.exit_status(), 128) << "ended by a signal";
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "stderr: " << err;
    EXPECT_TRUE(!err.empty() && err.back() == '\n') << "stderr: " << err;
    EXPECT_NE(err.find("display"), std::string::npos) << "stderr: " << err;
    if (!display.empty()) {
        EXPECT_NE(err.find(display), std::string::npos) << "stderr: " << err;
    }
}

INSTANTIATE_TEST_SUITE_P(, ProgramWithoutDisplay, ::testing::Values(":987", ""),
                         [](const ::testing::TestParamInfo<const char*>& value) {
                             return std::string(value.param).empty() ? std::string("EmptyDisplay")
                                                                    : std::string("NoServer");
                         });

// ---------------------------------------------------------------------------
// No options, settings or environment of its own.

class ProgramInputs : public ProgramTest {};

TEST_F(ProgramInputs, IgnoresCommandLineArguments)
{
    auto program = start({"--help", "-v", "/tmp/x"});
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    EXPECT_EQ(probe.find_by_title(kCaption).size(), 1u);
    expect_normal_window(w);
    EXPECT_TRUE(program->running());
}

TEST_F(ProgramInputs, IgnoresEnvironmentVariables)
{
    auto program = start({}, {"VISTAMO_DEBUG=1", "VISTAMO_CONFIG=/tmp/x", "LANG=C", "LC_ALL=C"});
    Window w = wait_for_window(*program);
    ASSERT_NE(w, kNoWindow);
    EXPECT_EQ(probe.find_by_title(kCaption).size(), 1u);
    expect_normal_window(w);
    EXPECT_TRUE(program->running());
}

TEST(ProgramExecutable, DoesNotReadTheEnvironmentItself)
{
    // The libraries below it may locate the desktop session as every X
    // program does (Xlib reads DISPLAY, the layer XDG_RUNTIME_DIR); the
    // program's own code must not import the functions that read variables.
    std::istringstream libraries(VISTAMO_SYSTEM_LIBRARIES);
    std::string library;
    while (std::getline(libraries, library, '|')) {
        std::string command = "nm --undefined-only '" + library + "' 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            output.append(buf, n);
        int status = ::pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << ":\n" << output;

        std::vector<std::string> imported;
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string kind, symbol;
            if ((fields >> kind >> symbol) && (kind == "U" || kind == "w"))
                imported.push_back(symbol.substr(0, symbol.find('@')));
        }
        ASSERT_FALSE(imported.empty()) << "nm listed no imported symbols:\n" << output;
        for (const char* reader : {"getenv", "secure_getenv"})
            EXPECT_EQ(std::count(imported.begin(), imported.end(), reader), 0) << library << " imports " << reader;
    }
}

}  // namespace
