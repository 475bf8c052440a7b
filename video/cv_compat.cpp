#include "cv_compat.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

// The colour conversion code for a pair of channel counts, or -1 when the
// counts are equal and no red/blue swap is asked for (a plain copy).
int conversion_code(int from, int to, bool swapRb)
{
    switch (from * 10 + to) {
    case 11:
        return -1;
    case 13:
        return cv::COLOR_GRAY2BGR;
    case 14:
        return cv::COLOR_GRAY2BGRA;
    case 31:
        return swapRb ? cv::COLOR_RGB2GRAY : cv::COLOR_BGR2GRAY;
    case 33:
        return swapRb ? cv::COLOR_RGB2BGR : -1;
    case 34:
        return swapRb ? cv::COLOR_RGB2BGRA : cv::COLOR_BGR2BGRA;
    case 41:
        return swapRb ? cv::COLOR_RGBA2GRAY : cv::COLOR_BGRA2GRAY;
    case 43:
        return swapRb ? cv::COLOR_RGBA2BGR : cv::COLOR_BGRA2BGR;
    case 44:
        return swapRb ? cv::COLOR_RGBA2BGRA : -1;
    default:
        CV_Error(cv::Error::StsBadArg, "cvConvertImage: source and destination need 1, 3 or 4 channels");
    }
}

// Brings a source of another depth into the 0..255 range of 8 bits.
cv::Mat to_8u(const cv::Mat& src)
{
    double scale = 1.0;
    double shift = 0.0;
    switch (src.depth()) {
    case CV_8U:
        return src;
    case CV_8S:
        shift = 128.0;
        break;
    case CV_16U:
    case CV_32S:
        scale = 1.0 / 256.0;
        break;
    case CV_16S:
        scale = 1.0 / 256.0;
        shift = 128.0;
        break;
    case CV_32F:
    case CV_64F:
        scale = 255.0;
        break;
    default:
        CV_Error(cv::Error::StsUnsupportedFormat, "cvConvertImage: unsupported source depth");
    }
    cv::Mat out;
    src.convertTo(out, CV_8U, scale, shift);
    return out;
}

// A video frame's copy is on the way from the device to the screen, so a
// large one is shared out over OpenCV's threads in bands of rows. Bands
// are views: the same type is needed so that no band is reallocated.
// With OpenCV held to one thread, the calling thread copies.
void copy_pixels(const cv::Mat& from, cv::Mat& to)
{
    const bool shared = cv::getNumThreads() > 1;
    const size_t bytes = from.total() * from.elemSize();
    if (from.type() != to.type() || bytes < (1u << 20) || !shared) {
        from.copyTo(to);
        return;
    }
    cv::parallel_for_(cv::Range(0, to.rows), [&](const cv::Range& rows) { from.rowRange(rows).copyTo(to.rowRange(rows)); },
                      8);
}

}  // namespace

void cvConvertImage(const CvArr* srcArr, CvArr* dstArr, int flags)
{
    // cvarrToMat turns a null array into an empty matrix, and two empty
    // matrices would "convert" without complaint.
    if (!srcArr || !dstArr)
        CV_Error(cv::Error::StsNullPtr, "cvConvertImage: null array");
    const cv::Mat src = cv::cvarrToMat(srcArr);
    cv::Mat dst = cv::cvarrToMat(dstArr);
    if (dst.depth() != CV_8U)
        CV_Error(cv::Error::StsUnsupportedFormat, "cvConvertImage: the destination must be 8 bits deep");
    if (src.size() != dst.size())
        CV_Error(cv::Error::StsUnmatchedSizes, "cvConvertImage: source and destination differ in size");

    // The destination header must keep pointing at the caller's pixels: every
    // write below goes to a matrix of exactly dst's size and type, which the
    // C++ interface fills in place.
    uchar* const target = dst.data;
    const int code = conversion_code(src.channels(), dst.channels(), (flags & CV_CVTIMG_SWAP_RB) != 0);
    cv::Mat converted = to_8u(src);
    if (code >= 0) {
        cv::Mat tmp;
        cv::cvtColor(converted, tmp, code);
        converted = tmp;
    }
    if (flags & CV_CVTIMG_FLIP)
        cv::flip(converted, dst, 0);
    else if (converted.data != dst.data)  // a copy onto itself would be an overlapping memcpy
        copy_pixels(converted, dst);
    CV_Assert(dst.data == target);
}

IplImage* cvLoadImage(const char* filename, int iscolor)
{
    if (!filename)
        return nullptr;
    IplImage* image = nullptr;
    try {
        const cv::Mat loaded = cv::imread(filename, iscolor);
        if (loaded.empty())
            return nullptr;
        image = cvCreateImage(cvSize(loaded.cols, loaded.rows), cvIplDepth(loaded.type()), loaded.channels());
        cv::Mat view = cv::cvarrToMat(image);
        loaded.copyTo(view);
        return image;
    } catch (const cv::Exception&) {
        // A decoder that gives up on a damaged file raises; to the caller
        // that is a file that did not load.
        cvReleaseImage(&image);
        return nullptr;
    }
}

int cvSaveImage(const char* filename, const CvArr* image, const int* params)
{
    if (!filename || !image)
        return 0;
    try {
        cv::Mat pixels = cv::cvarrToMat(image);
        if (CV_IS_IMAGE(image) && static_cast<const IplImage*>(image)->origin == IPL_ORIGIN_BL) {
            cv::Mat upright;
            cv::flip(pixels, upright, 0);
            pixels = upright;
        }
        std::vector<int> options;
        for (const int* p = params; p && p[0] != 0; p += 2) {
            options.push_back(p[0]);
            options.push_back(p[1]);
        }
        return cv::imwrite(filename, pixels, options) ? 1 : 0;
    } catch (const cv::Exception&) {
        return 0;
    }
}
