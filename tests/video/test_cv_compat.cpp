// The legacy image calls: channel conversion with its flags, regions of
// interest and size checks; reading and writing files, damaged ones too.
#include "cv_compat.h"
#include "pixels.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string pixel(const IplImage* image, int x, int y)
{
    return std::string(reinterpret_cast<const char*>(px(image, x, y)), static_cast<size_t>(image->nChannels));
}

TEST(ConvertImage, ConvertsBetweenChannelCountsSwappingAndFlippingOnRequest)
{
    struct Case {
        int from, to, flags;
        const char* top;  // what the top pixel becomes
    };
    // The source column is blue-green-red (10, 20, 30), alpha 40, above (1, 2, 3), alpha 4.
    const Case cases[] = {
        {1, 1, 0, "\x0a"},          {1, 3, 0, "\x0a\x0a\x0a"},         {1, 4, 0, "\x0a\x0a\x0a\xff"},
        {3, 1, 0, "\x16"},          {3, 1, CV_CVTIMG_SWAP_RB, "\x12"}, {4, 1, 0, "\x16"},
        {3, 3, 0, "\x0a\x14\x1e"}, {3, 3, CV_CVTIMG_SWAP_RB, "\x1e\x14\x0a"},
        {4, 4, CV_CVTIMG_SWAP_RB, "\x1e\x14\x0a\x28"},          {3, 4, 0, "\x0a\x14\x1e\xff"},
        {4, 3, CV_CVTIMG_SWAP_RB, "\x1e\x14\x0a"},               {3, 3, CV_CVTIMG_FLIP, "\x01\x02\x03"},
        {4, 3, CV_CVTIMG_FLIP | CV_CVTIMG_SWAP_RB, "\x03\x02\x01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.from << " -> " << c.to << " flags " << c.flags);
        Image src(cvCreateImage(cvSize(1, 2), IPL_DEPTH_8U, c.from));
        const uchar top[] = {10, 20, 30, 40}, bottom[] = {1, 2, 3, 4};
        std::copy(top, top + c.from, px(src.get(), 0, 0));
        std::copy(bottom, bottom + c.from, px(src.get(), 0, 1));
        Image dst(cvCreateImage(cvSize(1, 2), IPL_DEPTH_8U, c.to));
        cvConvertImage(src.get(), dst.get(), c.flags);
        EXPECT_EQ(pixel(dst.get(), 0, 0), std::string(c.top, static_cast<size_t>(c.to)));
    }
}

TEST(ConvertImage, ReadsTheSourceRegionAndWritesNothingOutsideTheDestination)
{
    Image src = pattern(6, 5, 3);
    cvSetImageROI(src.get(), cvRect(2, 1, 3, 2));
    Image big = solid(5, 4, RGB(9, 9, 9));
    cvSetImageROI(big.get(), cvRect(1, 1, 3, 2));
    cvConvertImage(src.get(), big.get(), 0);
    cvResetImageROI(big.get());
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool inside = x >= 1 && x <= 3 && y >= 1 && y <= 2;
            EXPECT_EQ(pixel(big.get(), x, y), inside ? pixel(src.get(), x + 1, y) : "\x09\x09\x09") << x << "," << y;
        }

    // Row padding belongs to nobody: 3 grey pixels take 4 bytes.
    Image grey = solid(3, 2, 0, 1);
    grey->imageData[3] = 99;
    cvConvertImage(pattern(3, 2, 3).get(), grey.get(), CV_CVTIMG_FLIP);
    EXPECT_EQ(grey->imageData[3], 99);
}

TEST(ConvertImage, RaisesForWhatItCannotConvert)
{
    Image src = solid(4, 4, 0);
    EXPECT_THROW(cvConvertImage(src.get(), solid(4, 3, 0).get(), 0), cv::Exception);
    EXPECT_THROW(cvConvertImage(solid(4, 4, 0, 2).get(), src.get(), 0), cv::Exception);
    Image deep(cvCreateImage(cvSize(4, 4), IPL_DEPTH_16U, 3));
    EXPECT_THROW(cvConvertImage(src.get(), deep.get(), 0), cv::Exception);
    EXPECT_THROW(cvConvertImage(nullptr, nullptr, 0), cv::Exception);
}

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vistamo-cvcompat-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

TEST_F(ImageFiles, SavedImagesLoadBackUprightInTheAskedChannels)
{
    Image picture = pattern(5, 3, 3);
    picture->origin = IPL_ORIGIN_BL;
    ASSERT_NE(cvSaveImage(path("p.png").c_str(), picture.get()), 0);
    const std::pair<int, int> modes[] = {
        {CV_LOAD_IMAGE_COLOR, 3}, {CV_LOAD_IMAGE_GRAYSCALE, 1}, {CV_LOAD_IMAGE_UNCHANGED, 3}};
    for (auto [mode, channels] : modes) {
        Image loaded(cvLoadImage(path("p.png").c_str(), mode));
        ASSERT_TRUE(loaded) << mode;
        EXPECT_EQ(loaded->nChannels, channels);
        EXPECT_EQ(loaded->origin, IPL_ORIGIN_TL);
        EXPECT_EQ(loaded->widthStep % 4, 0);
        if (channels == 3) {  // stored bottom row first, so that row is the file's last
            EXPECT_EQ(pixel(loaded.get(), 4, 2), pixel(picture.get(), 4, 0));
        }
    }
}

TEST_F(ImageFiles, NothingLoadsFromMissingOrDamagedFilesAndFailedSavesSaySo)
{
    std::ofstream(path("noise.png"), std::ios::binary) << std::string("\x89PNG\r\n\x1a\n", 8) << std::string(64, 'Z');
    std::ofstream(path("text.jpg")) << "not a picture";
    std::ofstream(path("empty.bmp"));
    for (const char* name : {"missing.png", "noise.png", "text.jpg", "empty.bmp", ""})
        EXPECT_EQ(cvLoadImage(path(name).c_str(), CV_LOAD_IMAGE_UNCHANGED), nullptr) << name;
    EXPECT_EQ(cvLoadImage(nullptr), nullptr);

    Image picture = solid(4, 4, 0);
    EXPECT_EQ(cvSaveImage(path("p.unknownformat").c_str(), picture.get()), 0);
    EXPECT_EQ(cvSaveImage(path("no/such/dir/p.png").c_str(), picture.get()), 0);
    EXPECT_EQ(cvSaveImage(path("p.png").c_str(), nullptr), 0);
}

}  // namespace
