// The debug output's texts as a test sees them, written from any thread.
//
// The power side's texts (the display-state and resume handlers' and the
// layer's notes on missing buses) come from the power thread at times of
// their own, whenever a dialog registers: unless asked for, they are left
// out, so that a test of something else sees only the texts it causes.
#pragma once

#include "../../platform/kernel/debug_output.h"

#include <mutex>
#include <string>
#include <vector>

class trace_capture {
public:
    explicit trace_capture(bool with_power_side = false)
    {
        debug_output_set_sink([this, with_power_side](const std::string& text) {
            if (!with_power_side && power_side(text))
                return;
            std::lock_guard<std::mutex> guard(m_lock);
            m_texts.push_back(text);
        });
    }
    ~trace_capture() { debug_output_set_sink(nullptr); }
    trace_capture(const trace_capture&) = delete;
    trace_capture& operator=(const trace_capture&) = delete;

    std::vector<std::string> texts()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_texts;
    }
    int count(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (const auto& t : m_texts)
            n += t == text;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_texts.clear();
    }

    static bool power_side(const std::string& text)
    {
        return text == "display on111111!!\n" || text == "display on!!\n" || text == "display off!!\n" ||
               text == "APMRESUMEAUTOMATIC!!\n" || text.rfind("RegisterPowerSettingNotification: ", 0) == 0;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_texts;
};
