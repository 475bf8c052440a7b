// How long a test waits for something that is bound to happen before it
// calls it a hang.
#pragma once

#include <chrono>

// Only a hang may fail a test: a shared, loaded machine or a sanitizer build
// makes starting programs, painting and thread hand-overs many times slower
// than they are at their best. How fast those are is bench/'s to measure.
inline constexpr std::chrono::milliseconds kHangTimeout = std::chrono::seconds(10);
// The same for the calls that take a count of milliseconds.
inline constexpr unsigned kHangTimeoutMs = static_cast<unsigned>(kHangTimeout.count());
