// Synchronisation objects.
#pragma once

#include <afxwin.h>

#include <condition_variable>
#include <mutex>

// A counting semaphore local to the process (names and security are
// accepted and ignored). Any thread may lock and unlock it.
class CSemaphore : public CObject {
public:
    explicit CSemaphore(LONG lInitialCount = 1, LONG lMaxCount = 1, LPCWSTR pstrName = nullptr,
                        LPSECURITY_ATTRIBUTES lpsaAttributes = nullptr);
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    // Takes one count, waiting up to dwTimeout ms (INFINITE: no limit).
    BOOL Lock(DWORD dwTimeout = INFINITE);
    // Gives back lCount counts; FALSE, changing nothing, if that would pass
    // the maximum. lpPrevCount receives the count before.
    BOOL Unlock(LONG lCount, LPLONG lpPrevCount = nullptr);
    BOOL Unlock() { return Unlock(1, nullptr); }

private:
    std::mutex m_lock;
    std::condition_variable m_available;
    LONG m_count;  // guarded by m_lock
    const LONG m_max;
};
