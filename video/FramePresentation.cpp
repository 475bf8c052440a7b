// The main dialog's frame drawing: every video frame, the black frames and
// the no-signal picture reach the screen here.
#include "TessalyDlg.h"
#include "resource.h"

#include "CvvImage.h"
#include "cv_compat.h"

#include <opencv2/core.hpp>

namespace {


// The picture control's device context, given back on every way out.
class ControlDC {
public:
    explicit ControlDC(HWND window) : m_window(window), m_dc(window ? ::GetDC(window) : nullptr) {}
    ~ControlDC() { Release(); }
    ControlDC(const ControlDC&) = delete;
    ControlDC& operator=(const ControlDC&) = delete;

    HDC Get() const { return m_dc; }
    void Release()
    {
        if (m_dc)
            ::ReleaseDC(m_window, m_dc);
        m_dc = nullptr;
    }

private:
    HWND m_window;
    HDC m_dc;
};

// Draws a private copy of image rather than the image itself: the copy has
// the row padding GDI bitmaps need, and the caller's buffer (a capture
// frame) may be reused as soon as this returns.
void present(const CWnd& dialog, IplImage* image, void (CCvvImage::*draw)(HDC, RECT*))
{
    try {
        CWnd* control = dialog.GetDlgItem(IDC_PICTURE);
        HWND window = control ? control->GetSafeHwnd() : nullptr;
        ControlDC dc(window);
        if (!dc.Get())
            return;

        CCvvImage frame;
        // The header-size check is against this build's own IplImage (144
        // bytes on 64-bit Linux); any other size is a layout we cannot read.
        if (image && image->nSize == static_cast<int>(sizeof(IplImage)) && image->imageData) {
            const CvSize size = cvGetSize(image);
            const int bitsPerPixel = 8 * (image->nChannels > 1 ? image->nChannels : 1);
            if (frame.Allocate(size.width, size.height, bitsPerPixel, image->origin))
                cvConvertImage(image, frame.GetImage(), 0);
        }

        RECT rect = {0, 0, 0, 0};
        ::GetClientRect(window, &rect);
        (frame.*draw)(dc.Get(), &rect);

        dc.Release();
        frame.ReleaseImage();
    } catch (const cv::Exception&) {
        // The device context and the copy are already given back by now.
        ::OutputDebugStringA("OnSize error\n");
    }
}

}  // namespace

void CTessalyDlg::DrawFrame(IplImage* image) { present(*this, image, &CCvvImage::DrawFitted); }

void CTessalyDlg::DrawFrameCentered(IplImage* image) { present(*this, image, &CCvvImage::DrawCentered); }
