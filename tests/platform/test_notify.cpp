// Device-interface notifications: the names built from udev properties, and
// records reaching a window from injected events and from a umockdev testbed.
#include <windows.h>

#include "../../platform/notify/notify_internal.h"
#include "../support/message_pump.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct received {
    WPARAM event;
    DWORD devicetype;
    std::string name;
};
std::vector<received> g_received;

LRESULT CALLBACK notify_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICECHANGE) {
        auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
        std::string name;
        for (const WCHAR* c = record->dbcc_name; *c; ++c)
            name += static_cast<char>(*c);
        g_received.push_back({wParam, record->dbcc_devicetype, name});
        return TRUE;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::vector<std::string> names_of(const udev_props& props)
{
    std::vector<std::string> names;
    for (const interface_name& n : notify_interface_names(props))
        names.push_back(n.name);
    return names;
}

TEST(NotifyNames, BuiltFromUdevProperties)
{
    const std::string usb_class = "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
    struct row {
        udev_props props;
        std::vector<std::string> names;
    } rows[] = {
        {{{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/devices/pci0000:00/usb3/3-1"},
          {"ID_VENDOR_ID", "3188"}, {"ID_MODEL_ID", "1a2b"}, {"ID_SERIAL_SHORT", "ABC123"}},
         {"\\\\?\\USB#VID_3188&PID_1A2B#ABC123" + usb_class}},
        {{{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/devices/pci0000:00/usb3/3-1"},
          {"ATTR{idVendor}", "3188"}, {"ATTR{idProduct}", "1A2B"}},
         {"\\\\?\\USB#VID_3188&PID_1A2B#3-1" + usb_class}},
        {{{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/devices/pci0000:00/usb3/3-2"},
          {"PRODUCT", "46d/82d/11"}},
         {"\\\\?\\USB#VID_046D&PID_082D#3-2" + usb_class}},
        {{{"SUBSYSTEM", "sound"}, {"DEVPATH", "/devices/pci0000:00/sound/card1/controlC1"}, {"ID_PATH", "pci-0:1f.3"}},
         {"\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}.{7b02aa05-8559-4de0-9bbf-d8f14a4d8010}"
          "#{e6327cad-dcec-4949-ae8a-991e976a79d2}"}},
        {{{"SUBSYSTEM", "sound"}, {"DEVPATH", "/devices/pci0000:00/sound/card1/pcmC1D0p"}}, {}},
        {{{"SUBSYSTEM", "input"}, {"DEVPATH", "/devices/virtual/input/input7"}},
         {"\\\\?\\INPUT#DEV#input7#{738BFF87-B906-43ED-A667-BFD7D07FA3A2}"}},
    };
    for (const row& r : rows) {
        std::vector<std::string> got = names_of(r.props);
        ASSERT_EQ(got.size(), r.names.size()) << (got.empty() ? "" : got[0]);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], r.names[i]);
    }
}

TEST(NotifyNames, SoundCardWithCaptureAndPlaybackHasTwoEndpointsWithStableIds)
{
    udev_props card = {{"SUBSYSTEM", "sound"},
                       {"DEVPATH", "/devices/pci0000:00/usb3/3-1/3-1:1.2/sound/card2/controlC2"},
                       {".PCM_PLAYBACK", "1"},
                       {".PCM_CAPTURE", "1"}};
    std::vector<std::string> names = names_of(card);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind("\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}.{", 0), 0u) << names[0];
    EXPECT_EQ(names[1].rfind("\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{", 0), 0u) << names[1];
    EXPECT_EQ(names_of(card), names);
    card["DEVPATH"] = "/devices/pci0000:00/usb3/3-2/3-2:1.2/sound/card2/controlC2";
    EXPECT_NE(names_of(card)[0], names[0]);
}

class NotifyWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X display (tools/run-tests.sh)";
        static bool registered = false;
        if (!registered) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = notify_window_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"NotifyTest";
            ASSERT_NE(RegisterClassW(&wc), 0);
            registered = true;
        }
        g_received.clear();
        hwnd_ = CreateWindowExW(0, L"NotifyTest", L"", WS_OVERLAPPEDWINDOW, 0, 0, 30, 20, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(hwnd_, nullptr);
        // The filter as the system passes it: 32 bytes, USB device class.
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
        notify_ = RegisterDeviceNotificationW(hwnd_, &filter,
                                              DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
        ASSERT_NE(notify_, nullptr);
    }
    void TearDown() override
    {
        if (notify_) {
            EXPECT_TRUE(UnregisterDeviceNotification(notify_));
        }
        if (hwnd_)
            DestroyWindow(hwnd_);
    }
    bool wait_for(size_t count)
    {
        return pump_until([&] { return g_received.size() >= count; }, 10s);
    }
    HWND hwnd_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
};

TEST_F(NotifyWindow, InjectedUsbDeviceArrivesAndLeavesUnderOneName)
{
    notify_inject_udev_like("add", {{"SUBSYSTEM", "usb"},
                                    {"DEVTYPE", "usb_device"},
                                    {"DEVPATH", "/devices/virtual/usb9/9-1"},
                                    {"ID_VENDOR_ID", "3188"},
                                    {"ID_MODEL_ID", "1000"},
                                    {"ID_SERIAL_SHORT", "SN1"}});
    // A removal event carries no serial; the name stays the arrival's.
    notify_inject_udev_like("remove", {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/devices/virtual/usb9/9-1"}});
    ASSERT_TRUE(wait_for(2));
    EXPECT_EQ(g_received[0].event, WPARAM{DBT_DEVICEARRIVAL});
    EXPECT_EQ(g_received[0].devicetype, DWORD{DBT_DEVTYP_DEVICEINTERFACE});
    EXPECT_EQ(g_received[0].name, "\\\\?\\USB#VID_3188&PID_1000#SN1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(g_received[1].event, WPARAM{DBT_DEVICEREMOVECOMPLETE});
    EXPECT_EQ(g_received[1].name, g_received[0].name);
}

// The process ends while one thread injects records and the notification
// thread delivers them, records reaching the window meanwhile: what those
// threads use stays until the process is gone.
TEST_F(NotifyWindow, TheProcessEndsWhileRecordsAreInjectedAndDelivered)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::thread([] {
                for (int i = 0;; ++i)
                    notify_inject_udev_like(i % 2 ? "remove" : "add", {{"SUBSYSTEM", "usb"},
                                                                       {"DEVTYPE", "usb_device"},
                                                                       {"DEVPATH", "/devices/virtual/usb9/9-3"},
                                                                       {"ID_VENDOR_ID", "3188"},
                                                                       {"ID_MODEL_ID", "1000"}});
            }).detach();
            pump_until([] { return g_received.size() >= 20; }, 10s);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(NotifyWindow, SoundCardArrivalWaitsForItsUsbDevicesVideoNode)
{
    const std::string usb = "/devices/virtual/usb9/9-2";
    notify_inject_udev_like("add", {{"SUBSYSTEM", "sound"},
                                    {"DEVPATH", usb + "/9-2:1.2/sound/card3/controlC3"},
                                    {".USB_DEVPATH", usb},
                                    {".AWAIT_VIDEO", "1"}});
    notify_inject_udev_like("add", {{"SUBSYSTEM", "video4linux"}, {"DEVPATH", usb + "/9-2:1.0/video4linux/video0"}});
    ASSERT_TRUE(wait_for(2));
    EXPECT_EQ(g_received[0].name.rfind("\\\\?\\VIDEO4LINUX#", 0), 0u) << g_received[0].name;
    EXPECT_NE(g_received[1].name.find("MMDEVAPI"), std::string::npos) << g_received[1].name;

    // A USB sound card whose device has a video interface that never gets a
    // node is announced all the same, after a while.
    const std::string other = "/devices/virtual/usb9/9-5";
    const auto injected = std::chrono::steady_clock::now();
    notify_inject_udev_like("add", {{"SUBSYSTEM", "sound"},
                                    {"DEVPATH", other + "/9-5:1.2/sound/card4/controlC4"},
                                    {".USB_DEVPATH", other},
                                    {".AWAIT_VIDEO", "1"}});
    ASSERT_TRUE(wait_for(3)) << "the sound card was never announced";
    EXPECT_GE(std::chrono::steady_clock::now() - injected, 1500ms) << "not held for its video node";
    EXPECT_NE(g_received[2].name.find("MMDEVAPI"), std::string::npos) << g_received[2].name;
}

TEST_F(NotifyWindow, FilterWithoutAllClassesKeepsToItsClass)
{
    ASSERT_TRUE(UnregisterDeviceNotification(notify_));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    notify_ = RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(notify_, nullptr);
    // Records go out in order: once the USB device's is in, the sound
    // card's would have been too.
    notify_inject_udev_like("add", {{"SUBSYSTEM", "sound"}, {"DEVPATH", "/devices/virtual/sound/card4/controlC4"}});
    notify_inject_udev_like("add", {{"SUBSYSTEM", "usb"},
                                    {"DEVTYPE", "usb_device"},
                                    {"DEVPATH", "/devices/virtual/usb9/9-3"},
                                    {"PRODUCT", "3188/1000/100"}});
    ASSERT_TRUE(wait_for(1));
    pump_messages();
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_NE(g_received[0].name.find("VID_3188"), std::string::npos) << g_received[0].name;
}

// Runs this test binary's udev cases again with the umockdev preload, which
// gives them a private sysfs and uevent netlink.
int run_under_umockdev(const char* filter)
{
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        std::string preload = "libumockdev-preload.so.0";
        if (const char* old = std::getenv("LD_PRELOAD"))
            preload += std::string(":") + old;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("VISTAMO_UMOCKDEV_CHILD", "1", 1);
        // The sanitizer runtime need not come first: the preload only wraps
        // file and socket calls.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
        std::string tsan = std::getenv("TSAN_OPTIONS") ? std::getenv("TSAN_OPTIONS") : "";
        setenv("TSAN_OPTIONS", (tsan + (tsan.empty() ? "" : ":") + "io_sync=2:suppressions=" UMOCKDEV_TSAN_SUPP).c_str(), 1);
        std::string arg = std::string("--gtest_filter=") + filter;
        execl(self, self, arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(NotifyWindow, UdevUsbDeviceAndSoundCardGiveRecords)
{
    if (!std::getenv("VISTAMO_UMOCKDEV_CHILD")) {
        EXPECT_EQ(run_under_umockdev("NotifyWindow.UdevUsbDeviceAndSoundCardGiveRecords"), 0);
        return;
    }
    // The registration of SetUp ran before the testbed existed; this one
    // listens on the testbed's netlink.
    ASSERT_TRUE(UnregisterDeviceNotification(notify_));
    notify_ = nullptr;
    UMockdevTestbed* bed = umockdev_testbed_new();
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notify_ = RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    ASSERT_NE(notify_, nullptr);

    gchar* usb = umockdev_testbed_add_device(bed, "usb", "1-4", nullptr, "idVendor", "3188", "idProduct", "1000",
                                             nullptr, "DEVTYPE", "usb_device", "ID_VENDOR_ID", "3188",
                                             "ID_MODEL_ID", "1000", "ID_SERIAL_SHORT", "HDMI42", nullptr);
    // Adding a device to the testbed sends its "add".
    ASSERT_NE(usb, nullptr);
    ASSERT_TRUE(wait_for(1));
    umockdev_testbed_uevent(bed, usb, "remove");
    ASSERT_TRUE(wait_for(2));

    gchar* card = umockdev_testbed_add_device(bed, "sound", "card5", nullptr, nullptr, nullptr);
    ASSERT_NE(card, nullptr);
    gchar* pcm = umockdev_testbed_add_device(bed, "sound", "pcmC5D0c", card, nullptr, nullptr);
    gchar* control = umockdev_testbed_add_device(bed, "sound", "controlC5", card, nullptr, nullptr);
    ASSERT_NE(control, nullptr);
    ASSERT_TRUE(wait_for(3));

    EXPECT_EQ(g_received[0].event, WPARAM{DBT_DEVICEARRIVAL});
    EXPECT_EQ(g_received[0].name, "\\\\?\\USB#VID_3188&PID_1000#HDMI42#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(g_received[1].event, WPARAM{DBT_DEVICEREMOVECOMPLETE});
    EXPECT_EQ(g_received[1].name, g_received[0].name);
    EXPECT_EQ(g_received[2].event, WPARAM{DBT_DEVICEARRIVAL});
    EXPECT_EQ(g_received[2].name.rfind("\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{", 0), 0u) << g_received[2].name;

    // A capture stick: its sound card's arrival waits for the video node of
    // the same USB device, so that a device search on it finds the node.
    g_received.clear();
    gchar* stick = umockdev_testbed_add_device(bed, "usb", "2-1", nullptr, "idVendor", "3188", "idProduct", "1000",
                                               nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* video_intf = umockdev_testbed_add_device(bed, "usb", "2-1:1.0", stick, "bInterfaceClass", "0e", nullptr,
                                                    "DEVTYPE", "usb_interface", nullptr);
    gchar* audio_intf = umockdev_testbed_add_device(bed, "usb", "2-1:1.2", stick, "bInterfaceClass", "01", nullptr,
                                                    "DEVTYPE", "usb_interface", nullptr);
    gchar* stick_card = umockdev_testbed_add_device(bed, "sound", "card6", audio_intf, nullptr, nullptr);
    gchar* stick_control = umockdev_testbed_add_device(bed, "sound", "controlC6", stick_card, nullptr, nullptr);
    gchar* video = umockdev_testbed_add_device(bed, "video4linux", "video9", video_intf, nullptr, nullptr);
    auto position = [](const char* part) {
        for (size_t i = 0; i < g_received.size(); ++i)
            if (g_received[i].name.find(part) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    };
    ASSERT_TRUE(pump_until([&] { return position("MMDEVAPI") >= 0; }, 10s));
    EXPECT_GE(position("VIDEO4LINUX#DEV#video9#"), 0);
    EXPECT_LT(position("VIDEO4LINUX#DEV#video9#"), position("MMDEVAPI"));
    for (gchar* path : {video, stick_control, stick_card, audio_intf, video_intf, stick})
        g_free(path);

    g_free(pcm);
    g_free(control);
    g_free(card);
    g_free(usb);
    g_object_unref(bed);
}

}  // namespace
