// The video-input layer's internals shared between its files.
#pragma once

#include <videoinput.h>

#include <string>
#include <vector>

class video_input_source;

// A kind of video-input device. The device list is each driver's names one
// after another, in the order below, and position i of it opens through
// the driver whose part of the list holds it. Any thread.
struct video_input_driver {
    const char* name;
    // Its devices' names, in its own order (an empty name keeps a place).
    std::vector<std::wstring> (*names)();
    // Position i of its own names; null if that device cannot be opened.
    std::shared_ptr<video_input_source> (*open)(int position);
};
// Real devices (V4L2) first, then the drivers registered since, in
// registration order. The product registers none; the virtual sticks of
// the demo, the tests and the benchmarks register theirs with their first
// device. A driver registered twice (by name) is listed once. Any thread.
void video_input_register_driver(const video_input_driver& driver);
std::vector<video_input_driver> video_input_drivers();

// The names of the real devices only (see video_input_device_names).
std::vector<std::wstring> v4l2_device_names();
// Where the real devices are looked for; tests point these at a fake tree.
// Defaults: "/sys/class/video4linux" and "/dev".
void v4l2_set_roots(const std::string& sysfs_class, const std::string& dev);
// The node of position index: "<dev root>/video<index>".
std::string v4l2_node_path(int index);

// One opened device. Reads of it are serialised by `reading`; stop() may
// come from any thread and makes a blocked or later read return false
// (a real device's read waits on the device and on a wake-up that stop()
// signals). The device is closed when the source is destroyed, which is
// after its last read has returned.
class video_input_source {
public:
    virtual ~video_input_source() = default;
    // Called with `reading` held.
    virtual bool read_frame(cv::Mat& frame) = 0;
    virtual bool set(int, double) { return false; }
    virtual double get(int) const { return 0.0; }
    virtual bool opened() const = 0;
    virtual void stop() {}
    std::mutex reading;
};

// Null when the device cannot be opened.
std::shared_ptr<video_input_source> v4l2_open_source(int index);
