// The main dialog's frame drawing, read back from its picture control:
// where frames and the no-signal picture land, which images are ignored,
// and what an OpenCV error leaves behind.
#include "TessalyDlg.h"
#include "resource.h"

#include "pixels.h"
#include "trace_capture.h"
#include "x11_probe.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class FramePresentation : public ::testing::Test {
protected:
    static constexpr COLORREF kGround = RGB(10, 20, 30);
    static constexpr COLORREF kPaint = RGB(200, 100, 50);
    static constexpr RECT kControl = {0, 0, 1000, 700};

    void SetUp() override
    {
        ASSERT_TRUE(dlg.Create(102));
        const Window window = static_cast<Window>(reinterpret_cast<uintptr_t>(dlg.m_hWnd));
        ASSERT_TRUE(pump_until([&] { return probe.client_rect(window).width == 863; }));
        // The picture control follows the client area to the worked examples' size.
        probe.resize(window, 1000, 700);
        control = ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE);
        ASSERT_TRUE(pump_until([&] {
            RECT rc;
            ::GetClientRect(control, &rc);
            return rc == kControl;
        }));
        pump_until([] { return true; });  // the control's own painting, before ours
        dc = ::GetDC(control);
        fill(dc, kControl, kGround);
    }
    void TearDown() override
    {
        ::ReleaseDC(control, dc);
        dlg.DestroyWindow();
    }

    RECT drawn() { return painted_box(dc, kControl, kGround); }
    std::vector<std::string> traces() { return capture.texts(); }

    x11_probe probe;
    CTessalyDlg dlg;
    HWND control = nullptr;
    HDC dc = nullptr;

private:
    trace_capture capture;
};

TEST_F(FramePresentation, FramesAreFittedAndCentredPicturesShownAtTheirSize)
{
    struct Case {
        Image image;
        bool centred;
        RECT drawn;
    };
    Case cases[] = {
        {solid(1920, 1080, kPaint), false, {0, 69, 1000, 631}},
        {solid(1920, 1080, kPaint), true, {0, 69, 1000, 631}},  // too large: fitted as well
        {solid(640, 480, kPaint), false, {33, 0, 966, 700}},
        {solid(640, 480, kPaint), true, {180, 110, 820, 590}},
        {solid(500, 350, kPaint), false, kControl},  // the control's own aspect ratio
        {solid(500, 350, kPaint), true, {250, 175, 750, 525}},
        {solid(1000, 700, kPaint), true, kControl},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.image->width << "x" << c.image->height << " centred " << c.centred);
        fill(dc, kControl, kGround);
        if (c.centred)
            dlg.DrawFrameCentered(c.image.get());
        else
            dlg.DrawFrame(c.image.get());
        EXPECT_EQ(drawn(), c.drawn);
        EXPECT_EQ(pixels_differing(dc, c.drawn, kPaint), 0);
    }
    EXPECT_TRUE(traces().empty());
}

TEST_F(FramePresentation, ShowsColourGreyAndBottomUpImagesUpright)
{
    for (int channels : {3, 4, 1}) {
        Image picture = pattern(321, 203, channels);
        picture->origin = channels == 4 ? IPL_ORIGIN_BL : IPL_ORIGIN_TL;
        fill(dc, kControl, kGround);
        dlg.DrawFrameCentered(picture.get());
        EXPECT_EQ(drawn(), (RECT{339, 248, 660, 451})) << channels;
        EXPECT_EQ(copy_differences(dc, 339, 248, picture.get()), 0) << channels;
    }
}

TEST_F(FramePresentation, UnusableImagesDrawNothingAndSayNothing)
{
    dlg.DrawFrame(nullptr);
    dlg.DrawFrameCentered(nullptr);
    Image picture = solid(100, 100, kPaint);
    for (int size : {0, 112, static_cast<int>(sizeof(IplImage)) + 8}) {
        picture->nSize = size;
        dlg.DrawFrame(picture.get());
    }
    picture->nSize = static_cast<int>(sizeof(IplImage));
    char* data = picture->imageData;
    picture->imageData = nullptr;
    dlg.DrawFrame(picture.get());
    picture->imageData = data;
    picture->origin = 2;
    dlg.DrawFrame(picture.get());
    dlg.DrawFrame(solid(100, 100, kPaint, 2).get());
    dlg.DrawFrame(solid(10000, 1, kPaint, 1).get());
    dlg.DrawFrameCentered(solid(1, 10000, kPaint, 1).get());

    EXPECT_EQ(drawn(), (RECT{0, 0, 0, 0}));
    EXPECT_TRUE(traces().empty());
}

TEST_F(FramePresentation, OpenCvErrorIsTracedAndGoesNoFurther)
{
    // OpenCV refuses to copy an image with a channel of interest.
    Image picture = solid(100, 100, kPaint);
    cvSetImageCOI(picture.get(), 2);
    EXPECT_NO_THROW(dlg.DrawFrame(picture.get()));
    EXPECT_NO_THROW(dlg.DrawFrameCentered(picture.get()));
    EXPECT_EQ(traces(), (std::vector<std::string>{"OnSize error\n", "OnSize error\n"}));
    EXPECT_EQ(drawn(), (RECT{0, 0, 0, 0}));

    cvSetImageCOI(picture.get(), 0);
    dlg.DrawFrameCentered(picture.get());
    EXPECT_EQ(drawn(), (RECT{450, 300, 550, 400}));
}

TEST_F(FramePresentation, AnotherThreadMayDrawWhileTheWindowsThreadIsBusy)
{
    Image frame = solid(1920, 1080, kPaint);
    std::thread drawer([&] { dlg.DrawFrame(frame.get()); });
    drawer.join();
    EXPECT_EQ(drawn(), (RECT{0, 69, 1000, 631}));
}

}  // namespace
