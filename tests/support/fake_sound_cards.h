// A fake /sys with sound cards on USB devices, in place of the real one for
// the wave layer's input mapper while the object lives. Laid out as the
// kernel lays it out: /sys/class/sound/cardN links into the card's USB
// interface, whose device may carry a video interface beside it.
#pragma once

#include "../../platform/wave/wave_internal.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

struct fake_sound_cards {
    std::filesystem::path root;

    fake_sound_cards()
    {
        char pattern[] = "/tmp/vistamo-sound-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        std::filesystem::create_directories(root / "class/sound");
        alsa_set_sysfs_root(root.string());
    }
    ~fake_sound_cards()
    {
        alsa_set_sysfs_root("/sys");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    fake_sound_cards(const fake_sound_cards&) = delete;
    fake_sound_cards& operator=(const fake_sound_cards&) = delete;

    // Card `number` named `id` on USB device `port`; video: the device has
    // a video interface with a node (a capture stick); capture: the card
    // has a capture PCM.
    void add(int number, const std::string& port, const std::string& id, bool video, bool capture = true)
    {
        namespace fs = std::filesystem;
        const fs::path usb = root / "devices/pci0000:00/0000:00:14.0/usb1" / port;
        fs::create_directories(usb);
        std::ofstream(usb / "idVendor") << "534d\n";
        if (video) {
            fs::create_directories(usb / (port + ":1.0/video4linux/video" + std::to_string(number)));
            std::ofstream(usb / (port + ":1.0/bInterfaceClass")) << "0e\n";
        }
        const std::string card = "card" + std::to_string(number);
        const fs::path dir = usb / (port + ":1.2/sound") / card;
        fs::create_directories(dir / ("pcmC" + std::to_string(number) + "D0p"));
        if (capture)
            fs::create_directories(dir / ("pcmC" + std::to_string(number) + "D0c"));
        std::ofstream(dir / "id") << id << "\n";
        fs::create_symlink(fs::relative(dir, root / "class/sound"), root / "class/sound" / card);
    }
};
