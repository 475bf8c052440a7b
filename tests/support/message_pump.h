// This thread's window messages, run from a test as a message loop runs them.
#pragma once

#include <windows.h>

#include "hang_timeout.h"

#include <chrono>
#include <functional>
#include <thread>

// Offered each message before it is dispatched, as a framework's
// pre-translation is; returns TRUE when it handled the message.
using message_filter = BOOL (*)(MSG*);

// Dispatches every message that is waiting.
inline void pump_messages(message_filter filter = nullptr)
{
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (filter && filter(&msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// Runs this thread's messages until pred holds or the time is up; returns
// pred's last value.
inline bool pump_until(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = kHangTimeout, message_filter filter = nullptr)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump_messages(filter);
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
