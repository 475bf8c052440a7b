// The desktop's double-click settings from XSETTINGS.
#include "x11_settings.h"

#include "../x11/x11_display.h"

#include <windows.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Reads the property front to back; every read is checked against what is
// left, so a count or length that runs past the end fails instead of reading on.
class settings_reader {
public:
    settings_reader(const unsigned char* data, std::size_t size) : m_data(data), m_left(size) {}

    void set_big_endian(bool big) { m_big = big; }
    std::size_t left() const { return m_left; }

    bool skip(std::size_t n)
    {
        if (n > m_left)
            return false;
        m_data += n;
        m_left -= n;
        return true;
    }
    bool byte(uint8_t& out)
    {
        if (m_left < 1)
            return false;
        out = m_data[0];
        return skip(1);
    }
    bool card16(uint16_t& out)
    {
        if (m_left < 2)
            return false;
        out = m_big ? static_cast<uint16_t>(m_data[0] << 8 | m_data[1])
                    : static_cast<uint16_t>(m_data[1] << 8 | m_data[0]);
        return skip(2);
    }
    bool card32(uint32_t& out)
    {
        if (m_left < 4)
            return false;
        const unsigned char* p = m_data;
        out = m_big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                    : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
        return skip(4);
    }
    // n bytes into out, then the padding to a multiple of 4.
    bool padded(std::size_t n, std::string& out)
    {
        if (n > m_left)
            return false;
        out.assign(reinterpret_cast<const char*>(m_data), n);
        return skip(n) && skip((4 - n % 4) % 4);
    }

private:
    const unsigned char* m_data;
    std::size_t m_left;
    bool m_big = false;
};

enum setting_type : uint8_t { k_integer = 0, k_string = 1, k_color = 2 };

// Smallest setting: type, pad, name length, last-change serial, a 4-byte value.
constexpr std::size_t k_min_setting = 1 + 1 + 2 + 4 + 4;

}  // namespace

x11_double_click x11_parse_double_click(const unsigned char* data, std::size_t size)
{
    const x11_double_click defaults;
    x11_double_click out;
    auto malformed = [&](const char* why) {
        x11_double_click d = defaults;
        d.refused = why;
        return d;
    };
    if (!data || size > k_x11_settings_max_size)
        return malformed("the XSETTINGS property is missing or too large");
    settings_reader r(data, size);
    uint8_t order = 0;
    uint32_t serial = 0, count = 0;
    if (!r.byte(order))
        return malformed("the XSETTINGS property is empty");
    // The byte order is MSBFirst/LSBFirst (1/0); some managers write the
    // letters of the X connection's byte order ('B'/'l') instead.
    if (order == 1 || order == 'B')
        r.set_big_endian(true);
    else if (order != 0 && order != 'l')
        return malformed("the XSETTINGS property has an unknown byte order");
    if (!r.skip(3) || !r.card32(serial) || !r.card32(count))
        return malformed("the XSETTINGS property is cut short");
    if (count > r.left() / k_min_setting)
        return malformed("the XSETTINGS property counts more settings than it holds");
    bool have_time = false, have_distance = false;
    int32_t time = 0, distance = 0;
    std::string name, text;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t type = 0;
        uint16_t name_length = 0;
        uint32_t changed = 0;
        if (!r.byte(type) || !r.skip(1) || !r.card16(name_length) || !r.padded(name_length, name) ||
            !r.card32(changed))
            return malformed("a setting in the XSETTINGS property is cut short");
        switch (type) {
        case k_integer: {
            uint32_t value = 0;
            if (!r.card32(value))
                return malformed("a setting in the XSETTINGS property is cut short");
            if (name == "Net/DoubleClickTime") {
                have_time = true;
                time = static_cast<int32_t>(value);
            } else if (name == "Net/DoubleClickDistance") {
                have_distance = true;
                distance = static_cast<int32_t>(value);
            }
            break;
        }
        case k_string: {
            uint32_t length = 0;
            if (!r.card32(length) || !r.padded(length, text))
                return malformed("a string in the XSETTINGS property runs past its end");
            break;
        }
        case k_color:  // red, green, blue, alpha
            if (!r.skip(4 * 2))
                return malformed("a colour in the XSETTINGS property is cut short");
            break;
        default: return malformed("the XSETTINGS property has a setting of unknown type");
        }
    }
    if (have_time) {
        if (time >= 1 && time <= 5000)
            out.time_ms = static_cast<unsigned>(time);
        else
            out.refused = "the desktop's double-click time is out of range (1..5000 ms)";
    }
    if (have_distance) {
        if (distance >= 1 && distance <= 100)
            out.rect = 2 * distance;
        else
            out.refused = "the desktop's double-click distance is out of range (1..100 px)";
    }
    return out;
}

namespace {

x11_double_click read_from_display()
{
    x11_double_click out;
    x11_ui_request([&](Display* d) {
        char selection[32];
        std::snprintf(selection, sizeof selection, "_XSETTINGS_S%d", DefaultScreen(d));
        Window owner = XGetSelectionOwner(d, x11_atom(selection));
        if (owner == None)
            return;
        // The manager may have gone since it was asked for.
        x11_expected_errors expected(d);
        Atom property = x11_atom("_XSETTINGS_SETTINGS");
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        // A larger property shows as bytes left `after` the part read.
        if (XGetWindowProperty(d, owner, property, 0, k_x11_settings_max_size / 4, False, property, &type, &format,
                               &count, &after, &data) != Success) {
            return;
        }
        if (!data)
            return;
        if (type != property || format != 8)
            out.refused = "the XSETTINGS property is not of its own type in bytes";
        else if (after > 0)
            out.refused = "the XSETTINGS property is too large";
        else
            out = x11_parse_double_click(data, count);
        XFree(data);
    });
    return out;
}

std::mutex g_lock;
// Guarded by g_lock.
x11_double_click g_settings;
std::chrono::steady_clock::time_point g_read_at;
bool g_read = false;
const char* g_traced = nullptr;  // the last refusal reported

}  // namespace

x11_double_click x11_double_click_settings()
{
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_read && now - g_read_at < std::chrono::seconds(1))
            return g_settings;
    }
    x11_double_click fresh = read_from_display();
    const char* report = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_settings = fresh;
        g_read_at = now;
        g_read = true;
        // Once for each change: the manager's property stays as it is.
        if (fresh.refused != g_traced)
            report = g_traced = fresh.refused;
    }
    if (report) {
        std::string line = std::string("double clicks: ") + report + "; the default is used\n";
        OutputDebugStringA(line.c_str());
    }
    return fresh;
}

UINT GetDoubleClickTime() { return x11_double_click_settings().time_ms; }
