// The main dialog's no-signal screen: what the picture control shows while
// no video source is open.
#include "TessalyDlg.h"

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <filesystem>
#include <system_error>

void CTessalyDlg::SetNoSignal()
{
    try {
        CRect rect(0, 0, 0, 0);
        if (CWnd* control = GetDlgItem(1001))
            control->GetClientRect(&rect);
        const int width = rect.right - rect.left;
        const int height = rect.bottom - rect.top;

        // The text goes into a frame of the control's own size, so that
        // DrawFrame puts it on screen 1:1 where it was written.
        cv::Mat black = cv::Mat::zeros(cv::Size(width, height), CV_8UC3);
        IplImage blackHeader = cvIplImage(black);

        CvFont font;
        cvInitFont(&font, CV_FONT_HERSHEY_COMPLEX, 0.5, 1.0, 0.0, 1, 8);
        cvPutText(&blackHeader, "No Input Signal", cvPoint(width / 2 - 100, height / 2), &font,
                  cvScalar(0, 255, 0, 0));
        DrawFrame(&blackHeader);

        // Read afresh on every call: nothing is kept between paints, so a
        // picture replaced on disk shows at the next one. A missing file is
        // not looked for by OpenCV, which would log a warning on every paint.
        cv::Mat picture;
        std::error_code ec;
        if (std::filesystem::exists(m_strNoSignalImage.GetString(), ec))
            picture = cv::imread(m_strNoSignalImage.GetString(), cv::IMREAD_COLOR);
        if (!picture.empty()) {
            IplImage pictureHeader = cvIplImage(picture);
            DrawFrameCentered(&pictureHeader);
        }
    } catch (const cv::Exception&) {
        ::OutputDebugStringA("SetNoSignal error\n");
    }
}
