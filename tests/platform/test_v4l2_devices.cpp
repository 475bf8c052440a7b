// The video-input name list, read from fake class and device trees: one
// place per /dev/video number, empty where nothing captures video.
#include "../devices/fake_v4l2_tree.h"

#include <gtest/gtest.h>
#include <videovirtual.h>

#include <unistd.h>

#include <future>

namespace {

using names = std::vector<std::wstring>;

TEST(V4l2Devices, NoClassFolderGivesNoDevices)
{
    fake_v4l2_tree tree;
    EXPECT_TRUE(v4l2_device_names().empty());
    tree.capture(0, "Camera");
    v4l2_set_roots(tree.root + "/missing", tree.root + "/dev");
    EXPECT_TRUE(v4l2_device_names().empty());
}

TEST(V4l2Devices, PositionsAreDeviceNumbers)
{
    fake_v4l2_tree tree;
    tree.capture(0, "Caméra");
    tree.add("video1", "Metadata\n", "metadata");
    tree.capture(3, "\xf0\x9f\x93\xb7 bad\xff\xc3 end");  // U+1F4F7, then invalid UTF-8
    tree.add("video4", nullptr);
    tree.add("video5", "Gone\n", nullptr);
    tree.add("video6", "Null\n", nullptr);
    ASSERT_EQ(::symlink("/dev/null", (tree.root + "/dev/video6").c_str()), 0);
    for (const char* junk : {"video-foo", "videoX", "video", "video01", "video+9", "vbi9", "video99999999999"})
        tree.add(junk, "Junk\n");
    names expected{L"Caméra", L"", L"", std::wstring{0xD83D, 0xDCF7} + L" bad\xFFFD\xFFFD end", L"", L"", L""};
    EXPECT_EQ(v4l2_device_names(), expected);
}

TEST(V4l2Devices, ListEndsAt255AndVirtualDevicesFollow)
{
    fake_v4l2_tree tree;
    tree.capture(255, "Last");
    tree.capture(256, "Beyond");
    int id = video_input_add_virtual({});
    names listed = video_input_device_names();
    video_input_remove_virtual(id);
    ASSERT_EQ(listed.size(), 257u);
    EXPECT_EQ(listed[255], L"Last");
    EXPECT_EQ(listed[256], L"USB3.0 HDMI Capture");
}

// A pulled stick keeps the places of the sticks after it, is left off the
// end, cannot be opened, and its open source stops delivering at once.
TEST(V4l2Devices, PulledVirtualDeviceIsNotListedAndStopsDelivering)
{
    fake_v4l2_tree tree;
    tree.capture(0, "Camera");
    video_input_virtual_device slow;
    slow.name = L"A";
    slow.width = 64;
    slow.height = 36;
    slow.fps = 1;  // a read waits up to a second for its frame
    const int a = video_input_add_virtual(slow);
    video_input_virtual_device other = slow;
    other.name = L"B";
    other.plugged = false;
    const int b = video_input_add_virtual(other);
    EXPECT_EQ(video_input_device_names(), (names{L"Camera", L"A"}));

    video_input_capture capture;
    ASSERT_TRUE(capture.open(1));
    cv::Mat frame;
    ASSERT_TRUE(capture.read(frame));
    auto blocked = std::async(std::launch::async, [&] { return capture.read(frame); });
    video_input_plug_virtual(b, true);
    video_input_plug_virtual(a, false);
    EXPECT_FALSE(blocked.get());
    EXPECT_FALSE(capture.read(frame));
    EXPECT_EQ(video_input_device_names(), (names{L"Camera", L"", L"B"}));
    EXPECT_FALSE(capture.open(1));
    EXPECT_TRUE(capture.open(2));

    video_input_plug_virtual(b, false);
    EXPECT_EQ(video_input_device_names(), (names{L"Camera"}));
    video_input_plug_virtual(a, true);
    EXPECT_EQ(video_input_device_names(), (names{L"Camera", L"A"}));
    EXPECT_TRUE(capture.open(1));
    EXPECT_TRUE(capture.read(frame));
    video_input_remove_virtual(a);
    video_input_remove_virtual(b);
}

}  // namespace
