// What the benchmarks share: percentiles of timings, and running the
// window's messages while time passes.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

// The p-th quantile (0..1) of v, the nearest sample; 0 for no samples.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// Dispatches this thread's messages for span.
inline void pump_for(std::chrono::milliseconds span)
{
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
