// The three calls of OpenCV's legacy C interface that OpenCV 4 dropped and
// the video code still uses, rebuilt on the C++ interface with their old
// call shapes and behaviour.
//
// They have C++ linkage on purpose: no installed OpenCV header declares
// them, and a C++-mangled name cannot collide with a C symbol of the same
// name in some other OpenCV build.
//
// Threads: each call works only on the images it is given; calls on
// different images may run on different threads at once.
#pragma once

#include <opencv2/core/core_c.h>
#include <opencv2/imgcodecs/legacy/constants_c.h>  // CV_LOAD_IMAGE_UNCHANGED, _GRAYSCALE, _COLOR

// Flags of cvConvertImage, combinable.
enum {
    CV_CVTIMG_FLIP = 1,     // turn the picture upside down (first row becomes last)
    CV_CVTIMG_SWAP_RB = 2,  // the source holds R,G,B(,A) rather than B,G,R(,A)
};

// Copies src (its region of interest, when one is set) into dst (likewise),
// converting grey <-> colour as the two channel counts require: 1, 3 or 4
// channels each side, BGR order, a new alpha channel opaque. The source may
// be of any depth and is brought to 8 bits (wider integers divided by 256,
// signed ones shifted to mid-grey, floating point taken as 0..1); dst must
// be 8 bits deep. Writes nothing outside dst. Sizes that differ, unsupported
// channel counts or depths, and null arrays raise cv::Exception. src and dst
// may be the same image.
void cvConvertImage(const CvArr* src, CvArr* dst, int flags = 0);

// Reads an image file. iscolor takes the CV_LOAD_IMAGE_* values (as
// cv::imread's flags): -1 keeps the file's channels and depth, 0 gives one
// grey channel, 1 three BGR channels. Returns a new top-left-origin image
// that the caller frees with cvReleaseImage, or null when nothing could be
// read (no path, missing, unreadable or corrupt file); it never throws.
IplImage* cvLoadImage(const char* filename, int iscolor = CV_LOAD_IMAGE_COLOR);

// Writes image (its region of interest, when one is set) to filename in the
// format its extension names. An IplImage with a bottom-left origin is
// written upright. params, if given, is a zero-terminated list of
// (CV_IMWRITE_* id, value) pairs. Returns nonzero when the file was written,
// 0 otherwise (including an extension without a writer); it never throws.
int cvSaveImage(const char* filename, const CvArr* image, const int* params = nullptr);
