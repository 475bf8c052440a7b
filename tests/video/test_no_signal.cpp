// The no-signal screen, read back from the main dialog's picture control:
// where the text lands, how the picture covers it, and what odd control
// sizes, a missing file and repeated paints do.
#include "TessalyDlg.h"
#include "resource.h"

#include "pixels.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// AddressSanitizer's allocation hooks; absent from other builds.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*)) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

std::atomic<size_t> g_largest_allocation{0};

// Starts recording the largest single allocation; false where allocations
// cannot be watched.
bool watch_allocations()
{
    static const bool hooked =
        __sanitizer_install_malloc_and_free_hooks &&
        __sanitizer_install_malloc_and_free_hooks(
            [](const volatile void*, size_t size) {
                size_t seen = g_largest_allocation.load();
                while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
                }
            },
            [](const volatile void*) {}) != 0;
    g_largest_allocation = 0;
    return hooked;
}

// A picture file's bytes: ".jpg" or ".png".
std::vector<uchar> encoded(const char* format, const IplImage* image)
{
    std::vector<uchar> bytes;
    cv::imencode(format, cv::cvarrToMat(image), bytes);
    return bytes;
}

void write_file(const fs::path& file, const std::vector<uchar>& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

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
        ASSERT_TRUE(dlg.Create(102));
        control = ::GetDlgItem(dlg.m_hWnd, IDC_PICTURE);
        ASSERT_NE(control, nullptr);
        dlg.m_strNoSignalImage = (dir / "missing.jpg").c_str();
        resize(863, 565);
    }
    void TearDown() override
    {
        if (dc)
            ::ReleaseDC(control, dc);
        dlg.DestroyWindow();
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
    trace_capture capture;
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
    // Nobody writes into it: reading it would wait for good.
    const fs::path pipe = dir / "pipe.jpg";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

    for (const fs::path& file : {dir / "missing.jpg", garbage, pipe}) {
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
    // A missing picture is not worth a word; a file that is no picture is.
    EXPECT_EQ(capture.texts(), std::vector<std::string>(2, "SetNoSignal error\n"));
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
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(NoSignal, LargePictureIsShrunkToFitAndHidesTheText)
{
    resize(1000, 700);
    use_picture(solid(2000, 1000, kPaint).get());
    dlg.SetNoSignal();

    EXPECT_EQ(pixels_differing(dc, {0, 100, 1000, 600}, kPaint), 0);
    EXPECT_EQ(pixels_differing(dc, {0, 0, 1000, 100}, kBlack), 0);
    EXPECT_EQ(pixels_differing(dc, {0, 600, 1000, 700}, kBlack), 0);
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(NoSignal, NarrowControlClipsTheTextAtItsLeftEdge)
{
    resize(150, 100);
    dlg.SetNoSignal();

    EXPECT_EQ(neither_black_nor_green(area), 0);
    const RECT text = text_box(area);
    EXPECT_EQ(text.left, 0);
    EXPECT_LE(text.bottom, 100 / 2 + 8);
    EXPECT_TRUE(capture.texts().empty());
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
    EXPECT_EQ(capture.texts(), std::vector<std::string>(3, "SetNoSignal error\n"));

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
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(NoSignal, PictureClaimingMoreThanTheWrapperTakesIsRefusedUndecoded)
{
    // A few hundred bytes whose frame header claims a huge picture: too
    // wide or too tall for the image wrapper, or within its sides but 300 MB
    // decoded.
    const cv::Size claims[] = {{16000, 16000}, {16, 16000}, {16000, 16}, {9999, 9999}};
    for (const cv::Size& claim : claims) {
        SCOPED_TRACE(std::to_string(claim.width) + " x " + std::to_string(claim.height));
        std::vector<uchar> bytes = encoded(".jpg", solid(16, 16, kPaint).get());
        const uchar frame_header[] = {0xFF, 0xC0};
        const auto sof = std::search(bytes.begin(), bytes.end(), std::begin(frame_header), std::end(frame_header));
        ASSERT_NE(sof, bytes.end());
        const size_t at = static_cast<size_t>(sof - bytes.begin());
        bytes[at + 5] = static_cast<uchar>(claim.height >> 8);
        bytes[at + 6] = static_cast<uchar>(claim.height & 0xFF);
        bytes[at + 7] = static_cast<uchar>(claim.width >> 8);
        bytes[at + 8] = static_cast<uchar>(claim.width & 0xFF);
        // Renamed over the last one, so that it is read again.
        write_file(dir / "new.jpg", bytes);
        std::filesystem::rename(dir / "new.jpg", dir / "dis.jpg");
        dlg.m_strNoSignalImage = (dir / "dis.jpg").c_str();
        capture.clear();

        const bool watched = watch_allocations();
        for (int paint = 0; paint < 3; ++paint) {
            cover();
            dlg.SetNoSignal();
        }
        if (watched) {
            EXPECT_LT(g_largest_allocation.load(), 16u << 20) << "the picture was decoded";
        }
        EXPECT_EQ(capture.texts(), std::vector<std::string>{"SetNoSignal error\n"}) << "once, not once per paint";
        EXPECT_EQ(neither_black_nor_green(area), 0);
        EXPECT_TRUE(drawn_in(area)) << "the text";
    }
}

TEST_F(NoSignal, ReplacedPictureShowsAtTheNextPaint)
{
    const fs::path file = dir / "dis.jpg";
    write_file(file, encoded(".png", solid(200, 100, RGB(200, 0, 0)).get()));
    dlg.m_strNoSignalImage = file.c_str();
    dlg.SetNoSignal();
    EXPECT_EQ(pixels_differing(dc, {331, 232, 531, 332}, RGB(200, 0, 0)), 0);

    // Renamed over it, as installers do: another file.
    write_file(dir / "new.png", encoded(".png", solid(200, 100, RGB(0, 0, 200)).get()));
    fs::rename(dir / "new.png", file);
    dlg.SetNoSignal();
    EXPECT_EQ(pixels_differing(dc, {331, 232, 531, 332}, RGB(0, 0, 200)), 0);

    // Rewritten in place: the same file, another size.
    write_file(file, encoded(".png", solid(100, 50, RGB(0, 200, 0)).get()));
    cover();
    dlg.SetNoSignal();
    EXPECT_EQ(pixels_differing(dc, {381, 257, 481, 307}, RGB(0, 200, 0)), 0);
    EXPECT_EQ(pixels_differing(dc, {331, 232, 381, 257}, kBlack), 0) << "the old picture is gone";
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(NoSignal, CutShortPictureIsTracedOncePerChangeOfTheFile)
{
    const std::vector<uchar> whole = encoded(".jpg", pattern(200, 100, 3).get());
    const fs::path file = dir / "dis.jpg";
    dlg.m_strNoSignalImage = file.c_str();
    write_file(file, std::vector<uchar>(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
    for (int paint = 0; paint < 3; ++paint) {
        cover();
        dlg.SetNoSignal();
        EXPECT_EQ(neither_black_nor_green(area), 0) << "paint " << paint;
    }
    EXPECT_EQ(capture.texts().size(), 1u);

    write_file(file, std::vector<uchar>(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 3)));
    dlg.SetNoSignal();
    dlg.SetNoSignal();
    EXPECT_EQ(capture.texts(), std::vector<std::string>(2, "SetNoSignal error\n"));
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
    EXPECT_TRUE(capture.texts().empty());
}

}  // namespace
