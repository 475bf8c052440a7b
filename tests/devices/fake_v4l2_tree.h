// A fake /sys/class/video4linux and /dev in a temporary folder, in place of
// the real ones while the object lives. Nodes are regular files: "capture"
// plays a node that captures video, anything else one that does not.
#pragma once

#include "../../platform/video/video_internal.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

struct fake_v4l2_tree {
    std::string root;
    fake_v4l2_tree()
    {
        char pattern[] = "/tmp/vistamo-v4l2-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        std::filesystem::create_directories(root + "/dev");
        v4l2_set_roots(root + "/class", root + "/dev");
    }
    ~fake_v4l2_tree()
    {
        v4l2_set_roots("/sys/class/video4linux", "/dev");
        std::filesystem::remove_all(root);
    }
    // A class entry whose name file holds name exactly, and its node; null leaves either out.
    void add(const std::string& entry, const char* name, const char* node = "capture")
    {
        std::filesystem::create_directories(root + "/class/" + entry);
        if (name)
            std::ofstream(root + "/class/" + entry + "/name", std::ios::binary) << name;
        if (node)
            std::ofstream(root + "/dev/" + entry, std::ios::binary) << node;
    }
    // /dev/video<n>, capturing video, named as the kernel writes it.
    void capture(int n, const std::string& name) { add("video" + std::to_string(n), (name + "\n").c_str()); }
};
