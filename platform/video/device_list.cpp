// The video-input device list: the drivers' devices one after another.
#include "video_internal.h"

namespace {

std::vector<std::wstring> virtual_names()
{
    std::vector<std::wstring> names;
    std::vector<int> ids;
    video_input_virtual_list(names, ids);
    return names;
}

std::shared_ptr<video_input_source> open_virtual_at(int position)
{
    std::vector<std::wstring> names;
    std::vector<int> ids;
    video_input_virtual_list(names, ids);
    if (position < 0 || static_cast<size_t>(position) >= ids.size() || ids[static_cast<size_t>(position)] == 0)
        return nullptr;
    return video_input_open_virtual(ids[static_cast<size_t>(position)]);
}

}  // namespace

const video_input_driver video_input_drivers[2] = {{"V4L2", v4l2_device_names, v4l2_open_source},
                                                   {"virtual", virtual_names, open_virtual_at}};

std::vector<std::wstring> video_input_device_names()
{
    std::vector<std::wstring> names;
    for (const video_input_driver& driver : video_input_drivers) {
        std::vector<std::wstring> more = driver.names();
        names.insert(names.end(), more.begin(), more.end());
    }
    return names;
}
