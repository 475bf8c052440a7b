// Starting a program for a test and watching it end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class child_process {
public:
    // Starts path with args; env entries "NAME=value" are added to (or
    // replace in) the test's own environment. Standard error is captured.
    child_process(const std::string& path, const std::vector<std::string>& args = {},
                  const std::vector<std::string>& env = {});
    ~child_process();  // kills the program if it still runs
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    // Waits for the end; true if it ended in time. exit_status() is then
    // the exit code, or 128 + signal.
    bool wait(std::chrono::milliseconds timeout);
    int exit_status() const { return m_status; }
    // Everything written to standard error so far (after wait: all of it).
    std::string stderr_text();

private:
    pid_t m_pid = -1;
    int m_stderr = -1;
    int m_status = -1;
    std::string m_err;
};
