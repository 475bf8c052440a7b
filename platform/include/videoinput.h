// Video-input devices: the list of their names, numbered the way the
// capture source opens them, and the capture source itself. Virtual
// devices for hardware-free runs are in videovirtual.h.
//
// Position i of the name list is the index that video_input_capture::open(i)
// opens: real devices are /dev/video<i> (OpenCV's own V4L2 numbering),
// with an empty name where that number has no node or the node cannot
// capture video (a gap, a metadata-only node), so that the positions after
// it keep their numbers. Virtual devices follow the real ones.
//
// Threads: any thread may call these.
#pragma once

#include <opencv2/videoio.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Names as UTF-16 code units carried in wchar_t (one unit per wchar_t).
std::vector<std::wstring> video_input_device_names();

class video_input_source;

// The video source of the program: a cv::VideoCapture whose open(int)
// opens position i of video_input_device_names(), real or virtual.
//
// Threads: the UI thread opens, sets and releases; one capture thread
// reads. Reads of one opened device never overlap (they are serialised),
// and release() never waits for a read in progress: the device is closed
// when the last read of it returns, and a blocked read returns false at
// once. open() while a read of the previous device is still blocked opens
// a new device without waiting.
//
// A read waits for the next frame for as long as the device is open: a
// stick whose HDMI source is off sends nothing, for seconds or hours. It
// returns false only when the device is released, lost (unplugged, or an
// error that ends its streaming), or was never opened.
class video_input_capture : public cv::VideoCapture {
public:
    video_input_capture();
    ~video_input_capture() override;
    video_input_capture(const video_input_capture&) = delete;
    video_input_capture& operator=(const video_input_capture&) = delete;

    bool open(int index, int apiPreference = cv::CAP_ANY) override;
    bool open(const cv::String& filename, int apiPreference = cv::CAP_ANY) override;
    bool isOpened() const override;
    void release() override;
    // The program reads with read(); grab and retrieve are not supported.
    bool grab() override;
    bool retrieve(cv::OutputArray image, int flag = 0) override;
    bool read(cv::OutputArray image) override;
    bool set(int propId, double value) override;
    double get(int propId) const override;

private:
    std::shared_ptr<video_input_source> current() const;
    mutable std::mutex m_lock;  // guards m_source (the pointer, not the device)
    std::shared_ptr<video_input_source> m_source;
};
