#include "CaptureDevice.h"

#include <videoinput.h>

#include <cstring>
#include <string>
#include <vector>

int g_CaptureDeviceIndex = 0;
bool g_CaptureDeviceFound = false;

int EnumerateVideoDevices(std::vector<std::string>& names)
{
    std::vector<std::wstring> devices = video_input_device_names();
    for (const std::wstring& device : devices) {
        // Only the low byte of each unit, no code-page conversion: a unit
        // whose low byte is zero ends the name early, and the search must
        // see exactly those bytes.
        char narrow[256] = {};
        for (size_t i = 0; i < device.size() && i < 255 && device[i] != 0; ++i)
            narrow[i] = static_cast<char>(static_cast<unsigned long>(device[i]) & 0xFF);
        names.push_back(std::string(narrow));
    }
    return static_cast<int>(devices.size());
}

bool FindCaptureDevice()
{
    g_CaptureDeviceFound = false;
    std::vector<std::string> names;
    EnumerateVideoDevices(names);
    for (size_t i = 0; i < names.size(); ++i) {
        if (std::strstr(names[i].c_str(), "HDMI Capture")) {
            g_CaptureDeviceIndex = static_cast<int>(i);
            g_CaptureDeviceFound = true;
            break;
        }
    }
    return g_CaptureDeviceFound;
}
