// The handle registry, kernel handles, waits and events.
#include "handle_registry.h"
#include "kernel_object.h"

#include <chrono>
#include <unordered_map>

namespace {

struct registry_entry {
    std::type_index type;
    std::shared_ptr<void> object;
};

std::mutex g_registry_lock;
// Guarded by g_registry_lock, as is g_last_token. Each entry is one open
// handle. Never destroyed (see handle_registry.h).
std::unordered_map<uintptr_t, registry_entry>& registry_table()
{
    static auto* table = new std::unordered_map<uintptr_t, registry_entry>();
    return *table;
}
uintptr_t g_last_token = 0x1000;

thread_local DWORD t_last_error = 0;

}  // namespace

namespace handle_registry_detail {

uintptr_t reserve()
{
    std::lock_guard<std::mutex> lock(g_registry_lock);
    g_last_token += 4;
    return g_last_token;
}

void attach(uintptr_t token, std::type_index type, std::shared_ptr<void> object)
{
    std::lock_guard<std::mutex> lock(g_registry_lock);
    registry_table().emplace(token, registry_entry{type, std::move(object)});
}

std::shared_ptr<void> find(uintptr_t token, std::type_index type)
{
    std::lock_guard<std::mutex> lock(g_registry_lock);
    auto it = registry_table().find(token);
    if (it == registry_table().end() || it->second.type != type)
        return nullptr;
    return it->second.object;
}

std::shared_ptr<void> remove(uintptr_t token, std::type_index type)
{
    std::lock_guard<std::mutex> lock(g_registry_lock);
    auto it = registry_table().find(token);
    if (it == registry_table().end() || it->second.type != type)
        return nullptr;
    std::shared_ptr<void> object = std::move(it->second.object);
    registry_table().erase(it);
    return object;
}

}  // namespace handle_registry_detail

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
    return reinterpret_cast<HANDLE>(handle_registry<kernel_object>::open(std::move(obj)));
}

std::shared_ptr<kernel_object> handle_lookup(HANDLE handle)
{
    auto obj = handle_registry<kernel_object>::find(reinterpret_cast<uintptr_t>(handle));
    if (!obj)
        t_last_error = ERROR_INVALID_HANDLE;
    return obj;
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

BOOL CloseHandle(HANDLE handle)
{
    auto obj = handle_registry<kernel_object>::remove(reinterpret_cast<uintptr_t>(handle));
    if (!obj) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // The object may be destroyed here, outside the registry's lock.
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
    bool signalled;
    if (milliseconds == INFINITE) {
        kernel_object::wait_signal().wait(lock, ready);
        signalled = true;
    } else {
        signalled = kernel_object::wait_signal().wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    }
    if (!signalled)
        return WAIT_TIMEOUT;
    obj->kernel_acquire();
    return WAIT_OBJECT_0;
}

// Events ----------------------------------------------------------------------

namespace {

struct event_object : kernel_object {
    event_object(bool manual, bool initial) : manual_reset(manual), signalled(initial) {}
    const bool manual_reset;
    bool signalled;  // guarded by kernel_object::wait_lock()

    bool kernel_is_signalled() override { return signalled; }
    void kernel_acquire() override
    {
        if (!manual_reset)
            signalled = false;
    }
};

std::shared_ptr<event_object> event_lookup(HANDLE event)
{
    auto obj = std::dynamic_pointer_cast<event_object>(handle_lookup(event));
    if (!obj)
        t_last_error = ERROR_INVALID_HANDLE;
    return obj;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    if (lpName && *lpName) {
        OutputDebugStringA("CreateEventW: named events are not supported\n");
        t_last_error = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    HANDLE h = handle_open(std::make_shared<event_object>(bManualReset != FALSE, bInitialState != FALSE));
    t_last_error = ERROR_SUCCESS;
    return h;
}

namespace {

BOOL set_event_state(HANDLE event, bool signalled)
{
    auto obj = event_lookup(event);
    if (!obj)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(kernel_object::wait_lock());
        obj->signalled = signalled;
    }
    if (signalled)
        kernel_object::wait_signal().notify_all();
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE hEvent) { return set_event_state(hEvent, true); }

BOOL ResetEvent(HANDLE hEvent) { return set_event_state(hEvent, false); }
