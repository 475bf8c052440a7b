#include <afxmt.h>

#include <algorithm>
#include <chrono>

CSemaphore::CSemaphore(LONG lInitialCount, LONG lMaxCount, LPCWSTR, LPSECURITY_ATTRIBUTES)
    : m_count(std::clamp<LONG>(lInitialCount, 0, std::max<LONG>(lMaxCount, 1))), m_max(std::max<LONG>(lMaxCount, 1))
{
}

BOOL CSemaphore::Lock(DWORD dwTimeout)
{
    std::unique_lock<std::mutex> hold(m_lock);
    auto ready = [&] { return m_count > 0; };
    if (dwTimeout == INFINITE)
        m_available.wait(hold, ready);
    else if (!m_available.wait_for(hold, std::chrono::milliseconds(dwTimeout), ready))
        return FALSE;
    --m_count;
    return TRUE;
}

BOOL CSemaphore::Unlock(LONG lCount, LPLONG lpPrevCount)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (lCount <= 0 || lCount > m_max - m_count)
            return FALSE;
        if (lpPrevCount)
            *lpPrevCount = m_count;
        m_count += lCount;
    }
    m_available.notify_all();
    return TRUE;
}
