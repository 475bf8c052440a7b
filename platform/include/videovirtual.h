// Hardware-free video-input devices for tests, the demo and the
// benchmarks: capture sticks that are listed after the real devices and
// open through the same capture source (videoinput.h). The product binary
// never registers one.
//
// Threads: any thread may call these; the registry has its own lock.
#pragma once

#include <string>
#include <vector>

// What a virtual stick sends. bgr: ready pictures, read as they are.
// mjpeg, yuyv: frames as real sticks send them, which the capture source
// turns into BGR with the same code as a real stick's; the test pattern's
// frames are encoded once at the first open (a cycle of 8, so that the
// encoding does not load the reader). A file is always read as bgr.
enum class video_input_virtual_format { bgr, mjpeg, yuyv };
// How a damaged Motion-JPEG frame is damaged: cut off half way, or with a
// marker in the middle of its data.
enum class video_input_virtual_damage { truncated, corrupt };

// A hardware-free device, named like a real stick. Its frames come from a
// GStreamer test pattern, or from a video file through OpenCV, paced like
// a live device (one frame per 1/fps seconds, frames dropped if not read).
struct video_input_virtual_device {
    std::wstring name = L"USB3.0 HDMI Capture";
    std::string file;            // empty: a moving test pattern
    int width = 1920;
    int height = 1080;
    int fps = 60;
    video_input_virtual_format format = video_input_virtual_format::bgr;
    // Motion-JPEG only: every n-th frame (counted from 1, so 1 is every
    // frame) comes damaged, as sticks send them while the signal changes;
    // 0: none.
    int damaged_every = 0;
    video_input_virtual_damage damage = video_input_virtual_damage::truncated;
    bool never_delivers = false;  // opens, but every read fails
    // A frame already on its way when a source is stopped (released,
    // pulled): the read waiting on the source then still returns it, this
    // many milliseconds later, and the reads after it fail; 0: that read
    // fails at once.
    int late_frame_ms = 0;
    long long raise_on_read = -1;  // that read (counted from 0) raises a cv::Exception
    bool plugged = true;  // false: registered as a stick not plugged in yet
};
// Registers a device; returns its id (not its position, which follows the
// real devices present at the time of each listing).
int video_input_add_virtual(const video_input_virtual_device& device);
void video_input_remove_virtual(int id);

// Plugs a registered device in or pulls it out, as a hand does with a stick.
// Pulled, it is not listed: its position shows an empty name, so that the
// devices after it keep theirs, or is left off the end when no listed
// device follows it; an open source of it stops delivering at once (a
// blocked read returns false, later reads fail, even after it is plugged
// in again), and opening its position fails. Then the removal of its USB
// device (vendor 3188) goes to the registered windows as the udev monitor
// would report it. Plugged, it is listed again, and the arrivals of its USB
// device, then of its sound card, go out the same way; the sound card
// waits for the stick's video node, which comes with the listing, so that
// its audio endpoint arrives after the device can be found. Doing what is
// already so does nothing. Any thread; the records go out from the
// notification thread, without waiting for the windows to handle them.
void video_input_plug_virtual(int id, bool plugged);

// The device's open sources hang, as a stream can after the machine slept:
// their reads block, delivering nothing, until the source is released
// (then they return false). The device stays listed and a new open
// delivers as before. Any thread.
void video_input_stall_virtual(int id);

// The HDMI source at the stick's input switched off or on (a console
// switched off, or still booting): while it is off, reads of the device's
// sources wait, delivering nothing, and the first frame after it is back
// is the one due then. Opens made while it is off wait the same way. Any
// thread.
void video_input_set_virtual_signal(int id, bool on);

// What a virtual device has done since it was last opened, for the
// benchmarks and tests: frames its clock produced, frames read, and for
// each read frame (the latest 100,000 at most) the milliseconds from read
// returning it until the reader came back for the next one (the reader
// draws in between), and from the frame's arrival at the device (the
// moment its clock made it) until the reader came back: arrival to
// screen, the conversion to BGR included.
struct video_input_virtual_stats {
    long long produced = 0;
    long long delivered = 0;
    std::vector<double> hold_ms;
    std::vector<double> arrival_ms;
    int reader_tid = 0;  // the thread that last read, 0 if none
};
video_input_virtual_stats video_input_get_virtual_stats(int id);
