// Motion-JPEG as capture sticks send it, made from pictures (virtual
// library). Any thread.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// bgr (8-bit, 3 channels) encoded as capture sticks send Motion-JPEG:
// 4:2:2, quality 90, a restart marker after every row of blocks. Empty if
// it cannot be encoded.
std::vector<uint8_t> capture_encode_mjpeg(const cv::Mat& bgr);
