// The no-signal screen, read back from the main dialog's picture control:
// where the text lands, how the picture covers it, and what odd control
// sizes, a missing file and repeated paints do.
#include "TessalyDlg.h"

#include "../../platform/kernel/debug_output.h"
#include "pixels.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr COLORREF kGround = RGB(10, 20, 30);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kPaint = RGB(200, 100, 50);

class TestDlg : public CTessalyDlg {
public:
    using CTessalyDlg::m_capture;
    using CTessalyDlg::m_strNoSignalImage;
};

class NoSignal : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vistamo-nosignal.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        debug_output_set_sink([this](const std::string& text) { traces.push_back(text); });
        ASSERT_TRUE(dlg.Create(102));
        control = ::GetDlgItem(dlg.m_hWnd, 1001);
        ASSERT_NE(control, nullptr);
        dlg.m_strNoSignalImage = (dir / "missing.jpg").c_str();
        resize(863, 565);
    }
    void TearDown() override
    {
        if (dc)
            ::ReleaseDC(control, dc);
        dlg.DestroyWindow();
        debug_output_set_sink(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The control at this size, settled, and covered.
    void resize(int width, int height)
    {
        ::MoveWindow(control, 0, 0, width, height, TRUE);
        pump_until([] { return true; });
        if (dc)
            ::ReleaseDC(control, dc);
        dc = ::GetDC(control);
        area = {0, 0, width, height};
        cover();
    }

    // The ground colour all over, so that whatever is not drawn stands out.
    void cover()
    {
        if (area.right > 0 && area.bottom > 0)
            fill(dc, area, kGround);
    }

    // Makes a lossless copy of image the no-signal picture.
    void use_picture(const IplImage* image)
    {
        const fs::path file = dir / "dis.png";
        ASSERT_TRUE(cv::imwrite(file.string(), cv::cvarrToMat(image)));
        dlg.m_strNoSignalImage = file.c_str();
    }

    // Where anything but black was drawn in r: the text's box where r
    // holds only black and green.
    RECT text_box(const RECT& r) { return painted_box(dc, r, kBlack); }
    bool drawn_in(const RECT& r) { return !(text_box(r) == RECT{0, 0, 0, 0}); }

    int neither_black_nor_green(const RECT& r)
    {
        int n = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) {
                const COLORREF c = ::GetPixel(dc, x, y);
                n += c != kBlack && c != kGreen;
            }
        return n;
    }

    std::vector<COLORREF> snapshot()
    {
        std::vector<COLORREF> out;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                out.push_back(::GetPixel(dc, x, y));
        return out;
    }

    fs::path dir;
    std::vector<std::string> traces;
    TestDlg dlg;
    HWND control = nullptr;
    HDC dc = nullptr;
    RECT area = {0, 0, 0, 0};
};

TEST_F(NoSignal, WithoutAPictureTheGreenTextSitsOnTheCentreLine)
{
    const fs::path garbage = dir / "dis.jpg";
    std::FILE* f = std::fopen(garbage.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a picture", f);
    std::fclose(f);

    for (const fs::path& file : {dir / "missing.jpg", garbage}) {
        SCOPED_TRACE(file.filename());
        dlg.m_strNoSignalImage = file.c_str();
        cover();
        dlg.SetNoSignal();

        const int ox = 863 / 2 - 100, oy = 565 / 2;  // 331, 282
        EXPECT_EQ(neither_black_nor_green(area), 0);
        const RECT text = text_box(area);
        // Starts at the origin (less the first letter's side bearing), stands
        // on the baseline, and only descenders go below it.
        EXPECT_GE(text.left, ox);
        EXPECT_LE(text.left, ox + 4);
        EXPECT_GT(text.right, 863 / 2 + 50);
        EXPECT_LT(text.right, 863 / 2 + 110);
        EXPECT_GE(text.top, oy - 24);
        EXPECT_LE(text.bottom, oy + 8);
        EXPECT_TRUE(drawn_in({ox, oy, ox + 10, oy + 1})) << "the N's foot on the baseline";
        EXPECT_FALSE(drawn_in({ox, oy + 1, ox + 40, oy + 10})) << "\"No\" has no descender";
    }
    EXPECT_TRUE(traces.empty());
}

TEST_F(NoSignal, SmallPictureIsCentredAtItsSizeAndTheTextShowsBesideIt)
{
    // Narrower than the text: its ends stay visible on both sides.
    Image picture = pattern(100, 300, 3);
    use_picture(picture.get());
    dlg.SetNoSignal();

    const int left = (863 - 100) / 2, top = (565 - 300) / 2;  // 381, 132
    EXPECT_EQ(copy_differences(dc, left, top, picture.get()), 0);
    const RECT band = {0, 240, 863, 300};
    EXPECT_TRUE(drawn_in({band.left, band.top, left, band.bottom}));
    EXPECT_TRUE(drawn_in({left + 100, band.top, band.right, band.bottom}));
    EXPECT_EQ(neither_black_nor_green({0, 0, left, 565}), 0);
    EXPECT_TRUE(traces.empty());
}

TEST_F(NoSignal, LargePictureIsShrunkToFitAndHidesTheText)
{
    resize(1000, 700);
    use_picture(solid(2000, 1000, kPaint).get());
    dlg.SetNoSignal();

    EXPECT_EQ(pixels_differing(dc, {0, 100, 1000, 600}, kPaint), 0);
    EXPECT_EQ(pixels_differing(dc, {0, 0, 1000, 100}, kBlack), 0);
    EXPECT_EQ(pixels_differing(dc, {0, 600, 1000, 700}, kBlack), 0);
    EXPECT_TRUE(traces.empty());
}

TEST_F(NoSignal, NarrowControlClipsTheTextAtItsLeftEdge)
{
    resize(150, 100);
    dlg.SetNoSignal();

    EXPECT_EQ(neither_black_nor_green(area), 0);
    const RECT text = text_box(area);
    EXPECT_EQ(text.left, 0);
    EXPECT_LE(text.bottom, 100 / 2 + 8);
    EXPECT_TRUE(traces.empty());
}

TEST_F(NoSignal, ControlWithoutWidthOrHeightDrawsNothing)
{
    for (SIZE size : {SIZE{0, 100}, SIZE{100, 0}, SIZE{0, 0}}) {
        resize(size.cx, size.cy);
        RECT rc;
        ASSERT_TRUE(::GetClientRect(control, &rc));
        ASSERT_EQ(rc.right * rc.bottom, 0);
        // OpenCV refuses to write into a frame without pixels; that stays inside.
        EXPECT_NO_THROW(dlg.SetNoSignal());
    }
    EXPECT_EQ(traces, std::vector<std::string>(3, "SetNoSignal error\n"));

    // Nothing was kept: the next call at a real size draws the full screen.
    resize(300, 200);
    dlg.SetNoSignal();
    EXPECT_EQ(neither_black_nor_green(area), 0);
    EXPECT_TRUE(drawn_in(area));
}

TEST_F(NoSignal, EveryCallRebuildsTheSameScreenAndRereadsThePicture)
{
    use_picture(pattern(200, 100, 3).get());
    dlg.SetNoSignal();
    const std::vector<COLORREF> first = snapshot();
    cover();
    dlg.SetNoSignal();
    EXPECT_EQ(snapshot(), first);

    use_picture(solid(200, 100, kPaint).get());
    dlg.SetNoSignal();
    EXPECT_EQ(pixels_differing(dc, {331, 232, 531, 332}, kPaint), 0);
    EXPECT_TRUE(traces.empty());
}

TEST_F(NoSignal, PaintingTheDialogWithoutVideoShowsIt)
{
    ASSERT_FALSE(dlg.m_capture.isOpened());
    ASSERT_GT(neither_black_nor_green(area), 0) << "covered before the paint";
    ::InvalidateRect(dlg.m_hWnd, nullptr, TRUE);
    ::UpdateWindow(dlg.m_hWnd);

    EXPECT_EQ(neither_black_nor_green(area), 0);
    const RECT text = text_box(area);
    EXPECT_GE(text.left, 863 / 2 - 100);
    EXPECT_LE(text.bottom, 565 / 2 + 8);
    EXPECT_TRUE(traces.empty());
}

}  // namespace
