// Finding the capture stick among the video-input devices, by name.
//
// The stick is whichever device's name contains "HDMI Capture", never a
// fixed number; its position in the name list is the index the dialog
// passes to cv::VideoCapture::open. Every search lists the devices afresh.
//
// Threads: UI thread only. The globals are read and written without a lock;
// the capture thread never touches them.
#pragma once

#include <string>
#include <vector>

// Position of the stick found by the last successful search. A failed
// search leaves it as it was. Initially 0.
extern int g_CaptureDeviceIndex;
// Result of the last search. Initially false.
extern bool g_CaptureDeviceFound;

// Appends one narrow name per video-input device, in open-index order, and
// returns how many devices there are. A device without a usable name still
// takes its place, as "", so that positions stay open indices. Each name is
// at most 255 bytes: the low byte of each UTF-16 code unit, up to the first
// zero byte.
int EnumerateVideoDevices(std::vector<std::string>& names);

// Looks for the first name holding "HDMI Capture" (case-sensitive). On a
// match stores its position in g_CaptureDeviceIndex and returns true;
// otherwise returns false and keeps the index.
bool FindCaptureDevice();
