#include "kernel_object.h"

#include <chrono>
#include <unordered_map>

namespace {

std::mutex g_table_lock;
// Guarded by g_table_lock. Each entry is one open handle.
std::unordered_map<HANDLE, std::shared_ptr<kernel_object>>& handle_table()
{
    static auto* table = new std::unordered_map<HANDLE, std::shared_ptr<kernel_object>>();
    return *table;
}

// Handles are small tokens, never addresses, so they cannot be confused with
// pointers and a closed handle is not reused soon.
uintptr_t g_next_handle = 0x1000;

thread_local DWORD t_last_error = 0;

}  // namespace

std::mutex& kernel_object::wait_lock()
{
    static auto* m = new std::mutex();
    return *m;
}

std::condition_variable& kernel_object::wait_signal()
{
    static auto* cv = new std::condition_variable();
    return *cv;
}

HANDLE handle_open(std::shared_ptr<kernel_object> obj)
{
    std::lock_guard<std::mutex> lock(g_table_lock);
    g_next_handle += 4;
    HANDLE h = reinterpret_cast<HANDLE>(g_next_handle);
    handle_table().emplace(h, std::move(obj));
    return h;
}

std::shared_ptr<kernel_object> handle_lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_table_lock);
    auto it = handle_table().find(handle);
    if (it == handle_table().end()) {
        t_last_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

BOOL CloseHandle(HANDLE handle)
{
    std::shared_ptr<kernel_object> obj;
    {
        std::lock_guard<std::mutex> lock(g_table_lock);
        auto it = handle_table().find(handle);
        if (it == handle_table().end()) {
            t_last_error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        obj = std::move(it->second);
        handle_table().erase(it);
    }
    // The object may be destroyed here, outside the table lock.
    obj.reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto obj = handle_lookup(handle);
    if (!obj)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(kernel_object::wait_lock());
    auto ready = [&] { return obj->kernel_is_signalled(); };
    if (milliseconds == INFINITE) {
        kernel_object::wait_signal().wait(lock, ready);
        return WAIT_OBJECT_0;
    }
    if (kernel_object::wait_signal().wait_for(lock, std::chrono::milliseconds(milliseconds), ready))
        return WAIT_OBJECT_0;
    return WAIT_TIMEOUT;
}
