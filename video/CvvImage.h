// CCvvImage: one OpenCV image of 8-bit channels, held in the row layout of
// GDI device-independent bitmaps, and drawn into a device context.
//
// Ownership: the wrapper owns its image (m_pImage) exclusively, from
// Allocate or AssignFrom until ReleaseImage or destruction. Images passed in
// are only read; the wrapper never keeps a pointer to them.
//
// Threads: no locking. One wrapper is used by one thread at a time; separate
// wrappers may draw on separate threads at once.
//
// Errors: OpenCV errors (cv::Exception) are not caught here and reach the
// caller. Operations that cannot act on an empty wrapper return without
// effect, except FillWithColor, which raises.
#pragma once

#include <windows.h>

#include <opencv2/core/core_c.h>

// Fills the bitmap header that describes an image of the given size for
// StretchDIBits and SetDIBitsToDevice. info must have room for the header
// and 256 colour-table entries; only 8 bits per pixel writes the table (a
// grey ramp). origin 0 describes top-down rows, any other value bottom-up.
void BuildDibHeader(BITMAPINFO* info, int width, int height, int bitsPerPixel, int origin);

class CCvvImage {
public:
    CCvvImage();
    virtual ~CCvvImage();
    CCvvImage(const CCvvImage&) = delete;
    CCvvImage& operator=(const CCvvImage&) = delete;

    // Makes the held image width x height with bitsPerPixel / 8 channels of
    // 8 bits and the given origin (0 top-left, 1 bottom-left). An image of
    // the same size and depth is kept as it is, contents included; anything
    // else is replaced by a new image of undefined contents. Refuses (false,
    // held image untouched) bits per pixel other than 8, 24 or 32, a side
    // negative or of 10000 or more, and an origin other than 0 or 1.
    virtual bool Allocate(int width, int height, int bitsPerPixel, int origin);

    // File operations. colorMode takes OpenCV's load flags: negative keeps
    // the file's channel count, 0 makes one grey channel, positive colour.
    // False when nothing could be read.
    virtual bool ReadFromFile(const char* path, int colorMode);
    // Reads only that region of the file's picture; a width or height of 0 means
    // all of it, a region partly outside is cut at the picture's edges, and
    // one wholly outside (or of negative size) is refused.
    virtual bool ReadRegionFromFile(const char* path, int colorMode, RECT region);
    virtual bool ReadRegionFromFile(const char* path, int colorMode, CvRect region);
    // False on an empty wrapper, else true; whether the file could really be
    // written is not reported.
    virtual bool WriteToFile(const char* path);

    // Deep copies of an image (its region of interest, when set), origin
    // kept, channels chosen by colorMode as for the file operations (a
    // negative mode keeps 1, 3 or 4 channels). Images that are null, have a
    // foreign header size or no pixel data are ignored.
    virtual void AssignFrom(IplImage* image, int colorMode);
    virtual void AssignFrom(CCvvImage& other, int colorMode);

    // Frees the held image; the wrapper is empty afterwards.
    virtual void ReleaseImage();

    // Sets every pixel: the low byte of color goes to the first channel
    // (blue), the next to the second and so on. Raises on an empty wrapper.
    virtual void FillWithColor(int color);

    // Copies the image 1:1 from (fromX, fromY) to (x, y) of dc, at most
    // width x height and never past the image's right or bottom edge.
    virtual void BlitToDC(HDC dc, int x, int y, int width, int height, int fromX, int fromY);

    // Shows the image in an OpenCV window of that name; nothing when empty.
    virtual void ShowInWindow(const char* windowName);

    // Rectangle draws. The rectangle may be given with its corners in any
    // order; the parts of it the image does not cover are left as they are.
    // Nothing is drawn for a null rectangle or an empty wrapper.
    //
    // Largest size with the aspect ratio kept, centred (smooth scaling).
    virtual void DrawFitted(HDC dc, RECT* rect);
    // 1:1 and centred when the image fits, else as DrawFitted.
    virtual void DrawCentered(HDC dc, RECT* rect);
    // Exactly the rectangle, aspect ratio not kept.
    virtual void DrawStretched(HDC dc, RECT* rect);

    // The held image, still owned by the wrapper; null when empty. For
    // filling it in place after Allocate.
    IplImage* GetImage() const { return m_pImage; }

protected:
    IplImage* m_pImage;
};
