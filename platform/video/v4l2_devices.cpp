// The real video-input devices, numbered as OpenCV's V4L2 backend numbers
// them: its index i opens /dev/video<i>, whatever that node is. The list
// therefore keeps a place for every number up to the highest one present,
// with an empty name where nothing that captures video answers, and never
// closes gaps.
//
// Test seam: fake trees cannot hold device nodes, so a regular file in the
// dev root stands for one. It captures video when its content starts with
// "capture"; any other content plays a node that cannot (a metadata node,
// say). Real character devices are always asked with VIDIOC_QUERYCAP.
#include "video_internal.h"

#include "../kernel/text_utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// No machine has this many capture nodes; a stray huge number in the class
// folder must not turn into a huge list.
constexpr int max_devices = 256;
// A sysfs attribute is at most one page.
constexpr size_t max_name_bytes = 4096;

std::mutex g_roots_lock;
std::string g_sysfs_class = "/sys/class/video4linux";
std::string g_dev = "/dev";

// N of an entry named "video<N>" as the kernel spells it (no sign, no
// leading zero, so that /dev/video<N> built back from N is the same node),
// or -1.
int device_number(const char* entry)
{
    if (std::strncmp(entry, "video", 5) != 0)
        return -1;
    const char* digits = entry + 5;
    size_t length = std::strlen(digits);
    if (length == 0 || length > 3 || (length > 1 && digits[0] == '0'))
        return -1;
    int n = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return -1;
        n = n * 10 + (digits[i] - '0');
    }
    return n < max_devices ? n : -1;
}

// Reads at most limit bytes. O_NONBLOCK: a FIFO planted where a file is
// expected must not hang the UI thread.
bool read_file(const std::string& path, std::string& out, size_t limit)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.clear();
    char chunk[512];
    while (out.size() < limit) {
        ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - out.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        out.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}

bool can_capture(const std::string& node)
{
    struct stat st;
    if (::stat(node.c_str(), &st) != 0)
        return false;
    if (S_ISREG(st.st_mode)) {
        std::string head;
        return read_file(node, head, 7) && head == "capture";
    }
    if (!S_ISCHR(st.st_mode))
        return false;
    // Non-blocking, as OpenCV opens it: a busy device must not stall the search.
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_capability cap{};
    int result;
    do
        result = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    while (result < 0 && errno == EINTR);
    ::close(fd);
    if (result < 0)
        return false;
    // capabilities describes the whole physical device; device_caps, when
    // present, this node alone (a UVC stick's metadata node shares its
    // capabilities with the capture node).
    __u32 caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    return (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
}

// Callers compare names as UTF-16 code units, so characters beyond the
// basic plane become surrogate pairs here.
std::wstring utf16_units(const std::string& utf8)
{
    std::wstring out;
    for (wchar_t c : wide_from_utf8(utf8)) {
        auto code = static_cast<unsigned long>(c);
        if (code < 0x10000) {
            out += c;
            continue;
        }
        code -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (code >> 10));
        out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    }
    return out;
}

}  // namespace

void v4l2_set_roots(const std::string& sysfs_class, const std::string& dev)
{
    std::lock_guard<std::mutex> hold(g_roots_lock);
    g_sysfs_class = sysfs_class;
    g_dev = dev;
}

std::string v4l2_node_path(int index)
{
    std::lock_guard<std::mutex> hold(g_roots_lock);
    return g_dev + "/video" + std::to_string(index);
}

std::vector<std::wstring> v4l2_device_names()
{
    std::string sysfs_class, dev;
    {
        std::lock_guard<std::mutex> hold(g_roots_lock);
        sysfs_class = g_sysfs_class;
        dev = g_dev;
    }

    std::vector<bool> present(max_devices, false);
    int highest = -1;
    if (DIR* dir = ::opendir(sysfs_class.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            int n = device_number(entry->d_name);
            if (n >= 0) {
                present[static_cast<size_t>(n)] = true;
                highest = std::max(highest, n);
            }
        }
        ::closedir(dir);
    }

    std::vector<std::wstring> names(static_cast<size_t>(highest + 1));
    for (int n = 0; n <= highest; ++n) {
        if (!present[static_cast<size_t>(n)])
            continue;
        std::string entry = "video" + std::to_string(n);
        if (!can_capture(dev + "/" + entry))
            continue;
        std::string name;
        if (!read_file(sysfs_class + "/" + entry + "/name", name, max_name_bytes))
            continue;
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        names[static_cast<size_t>(n)] = utf16_units(name);
    }
    return names;
}
