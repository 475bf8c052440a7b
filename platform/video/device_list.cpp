// The video-input device list: the drivers' devices one after another.
#include "video_internal.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_drivers_lock;  // guards drivers()

// Made on first use: drivers may be registered from static initialisers.
std::vector<video_input_driver>& drivers()
{
    static auto* list = new std::vector<video_input_driver>{{"V4L2", v4l2_device_names, v4l2_open_source}};
    return *list;
}

}  // namespace

void video_input_register_driver(const video_input_driver& driver)
{
    std::lock_guard<std::mutex> hold(g_drivers_lock);
    auto& list = drivers();
    if (std::none_of(list.begin(), list.end(),
                     [&](const video_input_driver& d) { return std::strcmp(d.name, driver.name) == 0; }))
        list.push_back(driver);
}

std::vector<video_input_driver> video_input_drivers()
{
    std::lock_guard<std::mutex> hold(g_drivers_lock);
    return drivers();
}

std::vector<std::wstring> video_input_device_names()
{
    std::vector<std::wstring> names;
    for (const video_input_driver& driver : video_input_drivers()) {
        std::vector<std::wstring> more = driver.names();
        names.insert(names.end(), more.begin(), more.end());
    }
    return names;
}
