// The worker pool: helper threads that draw bands of a large picture
// alongside the drawing thread, and the entry that decides whether a
// picture is worth sharing.
#include "resample_internal.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Helper threads that share a large picture's rows with the drawing thread.
// The rows go out in small bands from a common counter: the drawing thread
// starts at once and never waits for a helper to wake up (a sleeping core
// may take a millisecond or more); a helper that comes late takes what is
// left, or nothing. The helpers live as long as the process.
class band_pool {
public:
    static band_pool& instance()
    {
        // Never destroyed: helpers may still be waiting at exit.
        static band_pool* pool = new band_pool;
        return *pool;
    }

    // Draws target's rows with the helpers' help; false, having drawn
    // nothing, when there are no helpers or another drawing has them.
    bool share(const resample_picture& pic)
    {
        job j{pic};
        const int rows = pic.t.clip_bottom - pic.t.clip_top;
        j.band = std::max(8, rows / (8 * (m_helpers + 1)));
        j.next = pic.t.clip_top;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_helpers == 0 || m_job)
                return false;
            m_job = &j;
            ++m_generation;
        }
        m_wake.notify_all();
        run(j);
        std::unique_lock<std::mutex> hold(m_lock);
        // Once every row is claimed, only helpers still drawing a band are
        // waited for; none can join afterwards.
        m_job = nullptr;
        m_idle.wait(hold, [&] { return j.users == 0; });
        return true;
    }

private:
    struct job {
        const resample_picture& pic;
        int band = 8;
        std::atomic<int> next{0};
        int users = 0;  // helpers inside run(); guarded by m_lock
    };

    band_pool()
    {
        const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        for (int i = 0; i < std::min(cores, 4) - 1; ++i) {
            try {
                std::thread(&band_pool::serve, this).detach();
                ++m_helpers;
            } catch (const std::system_error&) {
                break;  // fewer helpers, or none: the drawing thread copes
            }
        }
    }

    static void run(job& j)
    {
        for (;;) {
            const int first = j.next.fetch_add(j.band);
            const int end = j.pic.t.clip_bottom;
            if (first >= end)
                return;
            resample_draw_band(j.pic, first, std::min(first + j.band, end));
        }
    }

    void serve()
    {
        unsigned seen = 0;
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            m_wake.wait(hold, [&] { return m_job && m_generation != seen; });
            seen = m_generation;
            job& j = *m_job;
            ++j.users;
            hold.unlock();
            run(j);
            hold.lock();
            if (--j.users == 0)
                m_idle.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;  // a new job
    std::condition_variable m_idle;  // a helper left a job
    job* m_job = nullptr;            // the job being shared, while its drawer runs
    unsigned m_generation = 0;       // jobs shared so far
    int m_helpers = 0;               // set before any job, then read only
};

}  // namespace

void resample_draw(const resample_source& source, const resample_taps& xs, const resample_taps& ys,
                   const resample_target& target)
{
    const int rows = target.clip_bottom - target.clip_top;
    const int cols = target.clip_right - target.clip_left;
    if (rows <= 0 || cols <= 0)
        return;
    // Small pictures are not worth sharing out.
    const long long work = static_cast<long long>(rows) * cols * xs.per_output * ys.per_output;
    const resample_picture pic = resample_plan_picture(source, xs, ys, target);
    if (work < 200000 || !band_pool::instance().share(pic))
        resample_draw_band(pic, target.clip_top, target.clip_bottom);
}
