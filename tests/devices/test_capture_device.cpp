// Finding the capture stick by name among the devices of a fake tree.
#include "fake_v4l2_tree.h"

#include <CaptureDevice.h>

#include <gtest/gtest.h>

namespace {

using narrow_names = std::vector<std::string>;

TEST(CaptureDevice, NoDeviceFailsAndKeepsTheIndex)
{
    fake_v4l2_tree tree;
    g_CaptureDeviceIndex = 5;
    narrow_names names;
    EXPECT_EQ(EnumerateVideoDevices(names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(FindCaptureDevice());
    EXPECT_EQ(g_CaptureDeviceIndex, 5);
}

TEST(CaptureDevice, FirstExactMatchWinsAndAFailedSearchKeepsIt)
{
    fake_v4l2_tree tree;
    tree.add("video1", "USB3.0 HDMI Capture\n", "metadata");
    tree.capture(2, "USB3.0 hdmi capture");
    tree.capture(3, "USB3.0 HDMI Capture");
    tree.capture(5, "Second HDMI Capture");
    narrow_names names{"kept"};
    EXPECT_EQ(EnumerateVideoDevices(names), 6);
    EXPECT_EQ(names, (narrow_names{"kept", "", "", "USB3.0 hdmi capture", "USB3.0 HDMI Capture", "",
                                   "Second HDMI Capture"}));
    EXPECT_TRUE(FindCaptureDevice());
    EXPECT_EQ(g_CaptureDeviceIndex, 3);

    tree.add("video3", nullptr, "unplugged");
    tree.add("video5", nullptr, "unplugged");
    EXPECT_FALSE(FindCaptureDevice());
    EXPECT_FALSE(g_CaptureDeviceFound);
    EXPECT_EQ(g_CaptureDeviceIndex, 3);
}

// 255 bytes at most, the low byte of each UTF-16 unit, ending at a zero byte.
TEST(CaptureDevice, NamesAreNarrowedBeforeTheTest)
{
    fake_v4l2_tree tree;
    tree.capture(0, std::string(244, 'x') + "HDMI Capture");
    tree.capture(1, "一 HDMI Capture");        // U+4E00
    tree.capture(2, "Ĥ€𝄞 Ā HDMI Capture");     // U+0124 U+20AC D834 DD1E, U+0100
    tree.capture(3, "Карта HDMI Capture Ā");
    narrow_names names;
    EnumerateVideoDevices(names);
    EXPECT_EQ(names, (narrow_names{std::string(244, 'x') + "HDMI Captur", "", "\x24\xac\x34\x1e ",
                                   "\x1a\x30\x40\x42\x30 HDMI Capture "}));
    EXPECT_TRUE(FindCaptureDevice());
    EXPECT_EQ(g_CaptureDeviceIndex, 3);
}

}  // namespace
