#include "pipewire_session.h"
#include "hang_timeout.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string script() { return std::string(VISTAMO_TOOLS_DIR) + "/pipewire-session.sh"; }

bool in_path(const std::string& tool)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + tool).c_str(), X_OK) == 0)
            return true;
    return false;
}

// PipeWire's ALSA files, which make "default" and "pipewire" its plugin.
const char* const alsa_files[] = {"/usr/share/alsa/alsa.conf.d/50-pipewire.conf",
                                  "/usr/share/alsa/alsa.conf.d/99-pipewire-default.conf"};

}  // namespace

std::string pipewire_session::missing()
{
    for (const char* tool : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cat", "pw-cli",
                             "pw-metadata", "pw-link", "pactl", "awk"})
        if (!in_path(tool))
            return std::string(tool) + " is not installed";
    for (const char* file : alsa_files)
        if (::access(file, R_OK) != 0)
            return std::string(file) + " is missing (pipewire-alsa)";
    return {};
}

pipewire_session::pipewire_session(int stick_card)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vistamo-pw-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("pipewire_session: cannot make a temporary folder");
    m_dir = pattern;
    m_server = std::make_unique<child_process>(
        "/bin/bash", std::vector<std::string>{script(), "serve", m_dir, "--card", std::to_string(stick_card)});

    // Ready once it has written env; each of its waits is bounded.
    const std::string env_file = m_dir + "/env";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!std::filesystem::exists(env_file)) {
        if (!m_server->running() || std::chrono::steady_clock::now() >= deadline) {
            std::string why = m_server->stderr_text();
            stop();
            throw std::runtime_error("pipewire_session: the session did not start: " + why);
        }
        std::this_thread::sleep_for(20ms);
    }
    std::ifstream in(env_file);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            m_env.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }

    // The system's configuration, with PipeWire's ALSA files in place of
    // the hooks that would also read /etc/asound.conf and the user's own.
    const std::string conf = m_dir + "/asound.conf";
    std::ofstream out(conf);
    out << "</usr/share/alsa/alsa.conf>\n"
           "!@hooks [ { func load files [";
    for (const char* file : alsa_files)
        out << " \"" << file << "\"";
    out << " ] errors false } ]\n";
    out.close();

    for (const auto& [name, value] : m_env)
        if (name != "DBUS_SESSION_BUS_ADDRESS")
            set(name.c_str(), value);
    set("ALSA_CONFIG_PATH", conf);
}

pipewire_session::~pipewire_session() { stop(); }

void pipewire_session::set(const char* name, const std::string& value)
{
    const char* old = std::getenv(name);
    m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name, value.c_str(), 1);
}

void pipewire_session::stop()
{
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
    m_saved.clear();
    if (m_recorder)
        stop_recording();
    if (m_server && m_server->running()) {
        // It stops everything it started and removes the folder.
        ::kill(m_server->pid(), SIGTERM);
        if (!m_server->wait(15s)) {
            child_process fallback("/bin/bash", {script(), "stop", m_dir});
            fallback.wait(20s);
        }
    }
    m_server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::vector<std::string> pipewire_session::environment() const
{
    std::vector<std::string> env;
    for (const auto& [name, value] : m_env)
        env.push_back(name + "=" + value);
    return env;
}

void pipewire_session::run(const std::string& command, int timeout_seconds)
{
    child_process tool("/bin/bash", {script(), command, m_dir});
    if (!tool.wait(std::chrono::seconds(timeout_seconds)) || tool.exit_status() != 0)
        throw std::runtime_error("pipewire_session: " + command + " failed: " + tool.stderr_text());
}

void pipewire_session::kill_server() { run("kill-server", 20); }

void pipewire_session::restart_server() { run("restart-server", 70); }

void pipewire_session::start_recording(const std::string& path)
{
    if (m_recorder)
        stop_recording();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    m_recorder = std::make_unique<child_process>("/bin/bash",
                                                 std::vector<std::string>{script(), "record", path, "--dir", m_dir});
    // The monitor delivers silence when nothing plays, so samples arrive
    // as soon as the stream is linked.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        if (!error && size > 0)
            return;
        if (!m_recorder->running() || std::chrono::steady_clock::now() >= deadline) {
            std::string why = m_recorder->stderr_text();
            m_recorder.reset();
            throw std::runtime_error("pipewire_session: the recording did not start: " + why);
        }
        std::this_thread::sleep_for(10ms);
    }
}

void pipewire_session::stop_recording()
{
    if (!m_recorder)
        return;
    // pw-cat ends on SIGINT after writing what it has.
    ::kill(m_recorder->pid(), SIGINT);
    m_recorder->wait(kHangTimeout);
    m_recorder.reset();
}

void pipewire_session::record_stick_on_left()
{
    const std::vector<std::vector<std::string>> steps = {
        {"-d", std::string(speakers) + ":monitor_FL", "pw-cat:input_FL"},
        {std::string(stick) + ":capture_FL", "pw-cat:input_FL"},
    };
    for (const auto& args : steps) {
        child_process link("/usr/bin/pw-link", args, environment());
        if (!link.wait(10s) || link.exit_status() != 0)
            throw std::runtime_error("pipewire_session: pw-link failed: " + link.stderr_text());
    }
}

void pipewire_session::set_stick_signal(const std::vector<int16_t>& samples)
{
    // The stick's feeder reads its file anew at every turn: a rename
    // swaps it whole.
    const std::string file = m_dir + "/tones/stick.raw";
    {
        std::ofstream out(file + ".new", std::ios::binary);
        out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    }
    std::filesystem::rename(file + ".new", file);
}

std::string pipewire_session::objects() const
{
    // child_process keeps standard error only.
    child_process dump("/bin/sh", {"-c", "pw-dump >&2"}, environment());
    if (!dump.wait(10s) || dump.exit_status() != 0)
        return {};
    return dump.stderr_text();
}
