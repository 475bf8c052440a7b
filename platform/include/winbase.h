// Kernel subset: handles, mutexes, events, threads, critical sections,
// waits, module path, debug output and text conversion.
//
// Any thread may call these. Handles are process-local tokens, never
// addresses, and a closed handle's value is not handed out again; a HANDLE
// that was never returned by this layer, or was already closed, fails with
// ERROR_INVALID_HANDLE instead of touching memory.
#pragma once

#include "windef.h"

#include <pthread.h>

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define CP_ACP 0
#define CP_UTF8 65001

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

// A recursive lock, as on Win32. Initialise before use, delete after.
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

DWORD GetLastError();
void SetLastError(DWORD error);

BOOL CloseHandle(HANDLE handle);
// Waits until the object is signalled (WAIT_OBJECT_0) or the time passes
// (WAIT_TIMEOUT); WAIT_FAILED for a handle that is not open. Threads are
// signalled once they have returned, events while set; a wait that an
// auto-reset event satisfies resets it, so one SetEvent releases one waiter.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Events, unnamed only: a name fails with ERROR_NOT_SUPPORTED (a named
// event would be shared between processes, which nothing here needs). A
// manual-reset event stays set until ResetEvent; an auto-reset one until it
// releases one wait.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Named mutexes live per user and login session: a second CreateMutexW with
// the same name, from this or any other process of the user's session,
// returns a handle and sets ERROR_ALREADY_EXISTS. Other users cannot take or
// hold a name (unless the session has no private runtime directory). The
// name stays taken while any handle to it is open; the kernel releases it
// when the process that created it dies.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// The thread runs detached from the caller; its handle may be closed at once
// or waited on (signalled when the thread returns).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

// Keeping the system and the display awake.
typedef DWORD EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_DISPLAY_REQUIRED 0x00000002u
#define ES_CONTINUOUS 0x80000000u
// With ES_CONTINUOUS, the request holds until ES_CONTINUOUS alone clears
// it (or the process ends). Returns the previous state.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);

// A flag shared between threads: a full-barrier exchange, and a read that
// sees every write made before the exchange that set it.
inline LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG ReadAcquire(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
// A handle another thread may be storing (the layer stores the handles its
// open calls hand out this way).
inline PVOID ReadPointerAcquire(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
// Counters changed by several threads without a lock; return the new value.
inline LONG InterlockedIncrement(LONG volatile* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
DWORD GetTickCount();

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// The executable's own path (the module handle is ignored: there is one
// module). Truncates like Win32: at most size - 1 characters and a zero,
// returning size and setting ERROR_INSUFFICIENT_BUFFER when cut.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Debug output goes to standard error as it is written (see also
// platform/kernel/debug_output.h for capturing it).
void OutputDebugStringA(LPCSTR text);

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR narrow,
                        int narrowLength, LPCSTR defaultChar, LPBOOL usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowLength, LPWSTR wide,
                        int wideLength);
