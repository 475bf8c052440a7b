#include "kernel_object.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <new>
#include <thread>

namespace {

struct thread_object : kernel_object {
    // Guarded by kernel_object::wait_lock().
    bool finished = false;
    DWORD exit_code = STILL_ACTIVE;

    bool kernel_is_signalled() override { return finished; }
};

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD threadId)
{
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto obj = std::make_shared<thread_object>();
    std::promise<DWORD> started;
    std::future<DWORD> tid = started.get_future();
    try {
        std::thread worker([obj, start, parameter, &started] {
            started.set_value(GetCurrentThreadId());
            DWORD code = start(parameter);
            {
                std::lock_guard<std::mutex> lock(kernel_object::wait_lock());
                obj->finished = true;
                obj->exit_code = code;
            }
            kernel_object::wait_signal().notify_all();
        });
        worker.detach();
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    (void)stackSize;  // the default stack is always large enough here
    DWORD id = tid.get();
    if (threadId)
        *threadId = id;
    return handle_open(obj);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    auto obj = std::dynamic_pointer_cast<thread_object>(handle_lookup(thread));
    if (!obj || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(kernel_object::wait_lock());
    *exitCode = obj->exit_code;
    return TRUE;
}

DWORD GetCurrentThreadId()
{
    static thread_local DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
    return id;
}

void Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(&section->mutex); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->mutex); }
