// Windows-style interface names for udev devices, so that the system's
// tests on those names ("VID_3188", "MMDEVAPI") mean what they mean there.
#include "notify_internal.h"
#include "../kernel/hash.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

std::string prop(const udev_props& props, const char* key)
{
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

std::string last_element(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// '#' separates the parts of an interface name and '\' starts it.
std::string name_part(std::string s)
{
    for (char& c : s)
        if (c == '#' || c == '\\' || c == '/' || static_cast<unsigned char>(c) <= ' ')
            c = '_';
    return s;
}

// A 16-bit id written in hex, in whatever case or width, as four upper-case
// digits; empty when it is not one.
std::string hex16(const std::string& text)
{
    if (text.empty() || text.size() > 4)
        return {};
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end)
        return {};
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04lX", v);
    return buf;
}

GUID guid_from_text(const std::string& s)
{
    uint64_t a = fnv1a(s, 14695981039346656037ull);
    uint64_t b = fnv1a(s, a ^ 0x9E3779B97F4A7C15ull);
    GUID g{};
    g.Data1 = static_cast<uint32_t>(a >> 32);
    g.Data2 = static_cast<uint16_t>(a >> 16);
    g.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(b >> (56 - 8 * i));
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

std::string guid_text(const GUID& g, bool upper_case)
{
    char buf[48];
    std::snprintf(buf, sizeof buf,
                  upper_case ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                             : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buf;
}

constexpr GUID usb_device_class = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr GUID audio_render_class = {0xE6327CAD, 0xDCEC, 0x4949, {0xAE, 0x8A, 0x99, 0x1E, 0x97, 0x6A, 0x79, 0xD2}};
constexpr GUID audio_capture_class = {0x2EEF81BE, 0x33FA, 0x4800, {0x96, 0x70, 0x1C, 0xD4, 0x74, 0x97, 0x2C, 0x3F}};

bool is_control_node(const std::string& sysname)
{
    if (sysname.compare(0, 8, "controlC") != 0 || sysname.size() == 8)
        return false;
    for (size_t i = 8; i < sysname.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(sysname[i])))
            return false;
    return true;
}

}  // namespace

std::vector<interface_name> notify_interface_names(const udev_props& props)
{
    const std::string subsystem = prop(props, "SUBSYSTEM");
    const std::string devtype = prop(props, "DEVTYPE");
    const std::string devpath = prop(props, "DEVPATH");
    const std::string sysname = last_element(devpath);
    if (subsystem.empty() || devpath.empty())
        return {};

    if (subsystem == "usb" && devtype == "usb_device") {
        std::string vid = hex16(prop(props, "ID_VENDOR_ID"));
        std::string pid = hex16(prop(props, "ID_MODEL_ID"));
        if (vid.empty())
            vid = hex16(prop(props, "ATTR{idVendor}"));
        if (pid.empty())
            pid = hex16(prop(props, "ATTR{idProduct}"));
        // The kernel's own event: PRODUCT=vid/pid/bcdDevice, in lower-case hex.
        const std::string product = prop(props, "PRODUCT");
        size_t s1 = product.find('/');
        if (vid.empty() && s1 != std::string::npos)
            vid = hex16(product.substr(0, s1));
        if (pid.empty() && s1 != std::string::npos)
            pid = hex16(product.substr(s1 + 1, product.find('/', s1 + 1) - s1 - 1));
        if (!vid.empty() && !pid.empty()) {
            std::string serial = prop(props, "ID_SERIAL_SHORT");
            std::string instance = name_part(serial.empty() ? sysname : serial);
            return {{"\\\\?\\USB#VID_" + vid + "&PID_" + pid + "#" + instance + "#" + guid_text(usb_device_class, true),
                     usb_device_class}};
        }
    }

    if (subsystem == "sound") {
        if (!is_control_node(sysname))
            return {};
        std::string card_id = prop(props, "ID_PATH");
        if (card_id.empty())
            card_id = devpath.substr(0, devpath.size() - sysname.size() - 1);
        const bool render = prop(props, ".PCM_PLAYBACK") == "1";
        const bool capture = prop(props, ".PCM_CAPTURE") == "1";
        std::vector<interface_name> names;
        if (render || !capture)
            names.push_back({"\\\\?\\SWD#MMDEVAPI#{0.0.0.00000000}." + guid_text(guid_from_text("render:" + card_id), false) +
                                 "#" + guid_text(audio_render_class, false),
                             audio_render_class});
        if (capture)
            names.push_back({"\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}." +
                                 guid_text(guid_from_text("capture:" + card_id), false) + "#" +
                                 guid_text(audio_capture_class, false),
                             audio_capture_class});
        return names;
    }

    const GUID cls = guid_from_text("class:" + subsystem);
    return {{"\\\\?\\" + name_part(upper(subsystem)) + "#" + name_part(upper(devtype.empty() ? "DEV" : devtype)) + "#" +
                 name_part(sysname) + "#" + guid_text(cls, true),
             cls}};
}
