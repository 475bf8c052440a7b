// Emulated uvcvideo capture sticks, for running the real V4L2 code of the
// capture source unchanged without hardware.
//
// The library takes the place of libc's open, close, read, ioctl, mmap,
// munmap, poll and stat functions for the whole process: loaded with
// LD_PRELOAD, or simply linked into the executable ahead of libc (a shared
// library's definitions come before libc's in the process's symbol search,
// as a preload's do). Under a sanitizer its interceptors come first and
// call on into this library, which calls libc's own functions (the next
// definitions, from dlsym(RTLD_NEXT)); with a preload under AddressSanitizer
// the sanitizer's runtime must be named first in LD_PRELOAD. Calls that do
// not concern an emulated node go straight on to libc after an atomic check.
//
// What a stick answers, as uvcvideo and videobuf2 do:
// - fake_uvc_plug creates /dev/video<N> for video capture and video<N+1>
//   for its metadata, as placeholder files under the dev root, and their
//   class entries (name, index, dev) under the sysfs class root. The nodes
//   stat (and fstat, once open) as character devices of major 81, and
//   open() returns the read end of a pipe that holds one byte per buffer
//   ready to be dequeued, so that poll() on it and on other descriptors
//   together works natively.
// - The capture node: QUERYCAP ("uvcvideo"), ENUM_FMT, G/S/TRY_FMT (the
//   offered size closest to the request, an unknown format falling back to
//   the first), ENUM_FRAMESIZES and ENUM_FRAMEINTERVALS (discrete),
//   G/S_PARM (the nearest offered interval), memory-mapped buffers only
//   (REQBUFS, QUERYBUF, QBUF, DQBUF, STREAMON, STREAMOFF), ENUMINPUT and
//   G/S_INPUT (one camera input); controls answer EINVAL (it has none),
//   anything else ENOTTY. The handle that set a format, a rate or buffers
//   owns the stream until it frees them or closes: another handle gets
//   EBUSY, as from uvcvideo. read() fails with EINVAL (no read I/O).
// - The metadata node: QUERYCAP and its own format only; its stream is not
//   emulated (buffer requests fail with EINVAL).
// - Frames: a picture that moves every frame (a bright square crossing a
//   dark picture, above a green band along the bottom edge that a frame cut
//   short or damaged never shows whole), one per frame interval into the
//   oldest queued buffer; with none queued the frame is dropped. A frame of
//   an erroneous buffer (V4L2_BUF_FLAG_ERROR) has its second half grey.
// - Unplugging (fake_uvc_unplug): later calls on its descriptors fail with
//   ENODEV, poll() reports POLLERR | POLLHUP at once (a poll already blocked
//   wakes), a DQBUF already blocked returns EIO; close() and munmap() still
//   work, and mappings stay valid memory until unmapped.
//
// Not emulated: select() and epoll (they see the pipe: readable while
// buffers are ready, and at end of file once unplugged), and descriptors
// made with dup(). A node is recognised by its placeholder's inode, so any
// path to it opens it, a relative one or a link.
//
// Threads: every function may be called from any thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// One frame size of a format and the frame rates offered at it, fastest
// first as sticks list them.
struct fake_uvc_size {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<double> fps;
    double default_fps = 0;  // one of fps; 0: the first
};

struct fake_uvc_format {
    uint32_t fourcc = 0;  // V4L2_PIX_FMT_MJPEG or V4L2_PIX_FMT_YUYV
    std::vector<fake_uvc_size> sizes;  // the first is the format's default
};

struct fake_uvc_device {
    std::string card = "USB3.0 HDMI Capture";
    std::string bus_info = "usb-0000:00:14.0-1";
    std::vector<fake_uvc_format> formats;  // the first is the default
    // Every n-th buffer done is flagged V4L2_BUF_FLAG_ERROR (0: none).
    unsigned error_every = 0;
    // Every n-th Motion-JPEG buffer done ends part-way, at this fraction of
    // the frame, as a frame whose end was lost (0: none).
    unsigned truncate_every = 0;
    double truncate_to = 0.5;
    // Another program streams from it: format, rate, input and buffer
    // requests fail with EBUSY.
    bool busy = false;
    // The source goes off after this many frames (0: never), as with
    // fake_uvc_set_signal(n, false).
    unsigned frames_before_stall = 0;
    // Picture step (0..7) of the cycle a mode repeats, as BGR of width x
    // height, in place of the moving square (a benchmark sends what the
    // virtual stick sends). Called on the stick's own thread as a stream
    // starts, once per picture of a mode.
    std::function<cv::Mat(int width, int height, int step)> picture;
};

extern "C" {
#else
#include <stdbool.h>
struct fake_uvc_device;
#endif

struct fake_uvc_stats {
    int open_fds;         // descriptors open on either node
    int mappings;         // the application's live mappings of its buffers
    uint64_t delivered;   // buffers done (handed to the application)
    uint64_t dropped;     // frames lost for want of a queued buffer
    uint64_t dequeued;    // buffers the application took (VIDIOC_DQBUF)
    bool plugged;
    bool streaming;
    bool signal;
    uint32_t fourcc;      // the current format
    uint32_t width;
    uint32_t height;
    uint32_t interval_num;  // the current frame interval, in seconds
    uint32_t interval_den;
    uint32_t streamons;   // streams started
    // CPU time of its frame producer threads: what a real device's DMA
    // would not cost the host.
    uint64_t producer_cpu_ns;
};

// Ready-made sticks, to copy and adjust:
// a cheap USB 2 stick: Motion-JPEG up to 1920x1080 at 60, YUYV at 1080p
// only at 5 fps (USB 2 cannot carry more);
const struct fake_uvc_device* fake_uvc_cheap_usb2(void);
// a USB 3 stick: Motion-JPEG and YUYV up to 1920x1080 at 60;
const struct fake_uvc_device* fake_uvc_usb3(void);
// a stick without 1080p: Motion-JPEG 1280x720 at 60 and 30 (30 by
// default), YUYV 1280x720 at 10.
const struct fake_uvc_device* fake_uvc_no_1080p(void);

// Plugs a stick in: its nodes video<N> and video<N+1> under dev_root, N
// the lowest even number free in both roots. The class root is created if
// missing. N, or -1 (a bad description, the files could not be made, or
// the interposition is not in effect, which is said on stderr).
int fake_uvc_plug(const char* class_root, const char* dev_root, const struct fake_uvc_device* device);
// Pulls it out (see above). Its statistics stay until forgotten or until
// a stick is plugged in at the same number.
void fake_uvc_unplug(int n);
// The HDMI source switched off or on: while off the stream goes on, but no
// frame comes (a poll just waits).
void fake_uvc_set_signal(int n, bool on);
// All zero for a number never plugged or forgotten.
struct fake_uvc_stats fake_uvc_stats_of(int n);
// Unplugs it if plugged and drops its statistics.
void fake_uvc_forget(int n);
// fake_uvc_forget for every stick.
void fake_uvc_reset(void);

#ifdef __cplusplus
}
#endif
