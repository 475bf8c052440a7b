// What WAVE_MAPPER opens on ALSA. Output: "default", the desktop's default
// sink. Input: while a capture stick's sound card is present, that card's
// capture endpoint, never the default source: on many laptops the default
// source is the internal microphone (a sound server ranks a generic USB
// card no higher than it), and recording it would play the microphone into
// the speakers at full volume while the stick's own sound is never heard.
//
// A capture stick's card is a sound card with a capture PCM whose USB
// device also carries a video interface (the stick's video node): the
// pairing the hot-plug notifications make too. Through a sound server
// (PipeWire or PulseAudio) the card is reached as the server's source for
// it, so that the server and others may still use the card; without one
// (or where the server has no source for it) directly, as plughw.
#include "wave_internal.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

namespace {

namespace fs = std::filesystem;

std::mutex g_root_lock;  // guards g_sysfs_root
std::string g_sysfs_root = "/sys";

std::string sysfs_root()
{
    std::lock_guard<std::mutex> hold(g_root_lock);
    return g_sysfs_root;
}

std::string read_line(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n'))
        line.pop_back();
    return line;
}

std::vector<std::string> entries(const fs::path& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Names fit for an ALSA argument and a trace: a server's or the kernel's
// own names never need more, and anything else is not spliced into a
// device string.
bool plain_name(const std::string& s)
{
    if (s.empty() || s.size() > 200)
        return false;
    return std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':' || c == '+' || c == '@';
    });
}

struct stick_card {
    int index;
    std::string id;
    bool ours;  // its video node is open in this process
};

// The video nodes this process holds open ("video0" ...).
std::vector<std::string> open_video_nodes()
{
    std::vector<std::string> nodes;
    for (const std::string& fd : entries("/proc/self/fd")) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(fs::path("/proc/self/fd") / fd, ec);
        const std::string name = target.filename().string();
        if (!ec && target.parent_path() == "/dev" && name.compare(0, 5, "video") == 0)
            nodes.push_back(name);
    }
    return nodes;
}

// The capture sticks' sound cards, by card number.
std::vector<stick_card> stick_cards()
{
    const fs::path root = sysfs_root();
    const std::vector<std::string> ours = open_video_nodes();
    std::vector<stick_card> cards;
    for (const std::string& name : entries(root / "class/sound")) {
        if (name.compare(0, 4, "card") != 0 || name.size() == 4 ||
            !std::all_of(name.begin() + 4, name.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        std::error_code ec;
        const fs::path card = fs::canonical(root / "class/sound" / name, ec);
        if (ec)
            continue;
        const std::vector<std::string> files = entries(card);
        const bool captures = std::any_of(files.begin(), files.end(), [](const std::string& f) {
            return f.compare(0, 4, "pcmC") == 0 && f.back() == 'c';
        });
        if (!captures)
            continue;
        // Up to the USB device: the first ancestor that has a vendor id.
        fs::path usb = card.parent_path();
        while (usb.has_relative_path() && usb != root && !fs::exists(usb / "idVendor", ec))
            usb = usb.parent_path();
        if (!fs::exists(usb / "idVendor", ec))
            continue;
        bool video = false, held = false;
        for (const std::string& intf : entries(usb)) {
            if (intf.find(':') == std::string::npos)
                continue;
            const std::vector<std::string> nodes = entries(usb / intf / "video4linux");
            video = video || !nodes.empty() || read_line(usb / intf / "bInterfaceClass") == "0e";
            for (const std::string& node : nodes)
                held = held || std::find(ours.begin(), ours.end(), node) != ours.end();
        }
        if (!video)
            continue;
        const std::string id = read_line(card / "id");
        cards.push_back({std::atoi(name.c_str() + 4), plain_name(id) ? id : std::string(), held});
    }
    // The stick this process is capturing from first.
    std::stable_sort(cards.begin(), cards.end(), [](const stick_card& a, const stick_card& b) { return a.ours > b.ours; });
    return cards;
}

}  // namespace

void alsa_set_sysfs_root(const std::string& root)
{
    std::lock_guard<std::mutex> hold(g_root_lock);
    g_sysfs_root = root;
}

std::vector<alsa_choice> alsa_mapper_choices(bool input)
{
    if (!input)
        return {{"default", "the default output"}};
    const std::vector<stick_card> cards = stick_cards();
    if (cards.empty())
        return {{"default", "the default input (no capture stick's sound card)"}};
    const stick_card& card = cards.front();
    const std::string which = "the capture stick's sound card " + std::to_string(card.index) +
                              (card.id.empty() ? std::string() : " \"" + card.id + "\"");
    std::vector<alsa_choice> choices;
    if (const std::optional<pulse_source> source = pulse_card_source(card.index); source && plain_name(source->name)) {
        if (source->pipewire)
            choices.push_back({"pipewire:NODE=\"" + source->name + "\"", which + ", through the sound server"});
        choices.push_back({"pulse:DEVICE=\"" + source->name + "\"", which + ", through the sound server"});
    }
    choices.push_back({card.id.empty() ? "plughw:" + std::to_string(card.index) : "plughw:CARD=" + card.id,
                       which + ", directly"});
    return choices;
}
