#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

child_process::child_process(const std::string& path, const std::vector<std::string>& args,
                             const std::vector<std::string>& env)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& add : env)
            replaced |= entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1);
        if (!replaced)
            envs.push_back(entry);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(pipe_fds[1], STDERR_FILENO);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    m_stderr = pipe_fds[0];
    ::fcntl(m_stderr, F_SETFL, O_NONBLOCK);
}

child_process::~child_process()
{
    if (running()) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::milliseconds(2000));
    }
    if (m_stderr >= 0)
        ::close(m_stderr);
}

bool child_process::running()
{
    if (m_pid <= 0 || m_status >= 0)
        return false;
    int status;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return r == 0;
}

bool child_process::wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        stderr_text();
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string child_process::stderr_text()
{
    char buf[4096];
    ssize_t n;
    while (m_stderr >= 0 && (n = ::read(m_stderr, buf, sizeof buf)) > 0)
        m_err.append(buf, static_cast<size_t>(n));
    return m_err;
}
