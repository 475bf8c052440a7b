#include "debug_output.h"

#include <windows.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace {

std::mutex g_sink_lock;
std::shared_ptr<std::function<void(const std::string&)>> g_sink;  // guarded by g_sink_lock

}  // namespace

void debug_output_set_sink(std::function<void(const std::string&)> sink)
{
    auto next = sink ? std::make_shared<std::function<void(const std::string&)>>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(g_sink_lock);
    g_sink = std::move(next);
}

void OutputDebugStringA(LPCSTR text)
{
    if (!text)
        return;
    // One write per text keeps lines from different threads whole.
    size_t len = std::strlen(text);
    for (size_t done = 0; done < len;) {
        ssize_t n = ::write(STDERR_FILENO, text + done, len - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    std::shared_ptr<std::function<void(const std::string&)>> sink;
    {
        std::lock_guard<std::mutex> lock(g_sink_lock);
        sink = g_sink;
    }
    if (sink)
        (*sink)(std::string(text, len));
}
