// The main dialog's no-signal screen: what the picture control shows while
// no video source is open.
//
// The paint handler calls SetNoSignal on every repaint while there is no
// video, on the UI thread. The picture file is looked at on every call, so
// that a picture replaced on disk shows at the next paint, but it is decoded
// only when the file has changed: decoding on every repaint would stall the
// window. Its size is read from the file's header before anything is
// decoded, and a picture the image wrapper would refuse anyway is never
// decoded: a few hundred bytes of JPEG can claim 16000 x 16000 pixels,
// 768 MB and a second of work once decoded.
#include "TessalyDlg.h"
#include "resource.h"

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

// The picture as last read, and which version of the file it came from.
// A file rewritten in place at the same size within one tick of the
// file system's clock keeps its stamp and is not read again; a file
// replaced by renaming another over it always is.
struct NoSignalPicture {
    struct stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        time_t seconds = 0;
        long nanoseconds = 0;
        bool operator==(const stamp& o) const
        {
            return device == o.device && inode == o.inode && size == o.size && seconds == o.seconds &&
                   nanoseconds == o.nanoseconds;
        }
    };
    stamp source;
    cv::Mat picture;  // empty when that version could not be used
};

namespace {

// The image wrapper refuses a side of this many pixels or more.
constexpr long kMaxSide = 10000;
// And nothing this large is decoded: twice an 8K screen, 120 MB as BGR,
// where a header may claim 9999 x 9999 (300 MB, and more while decoding).
constexpr long long kMaxPixels = 40LL * 1000 * 1000;

bool usable_size(long long width, long long height)
{
    return width > 0 && height > 0 && width < kMaxSide && height < kMaxSide && width * height <= kMaxPixels;
}

enum class picture_format { other, jpeg, png };

struct picture_header {
    picture_format format = picture_format::other;
    long width = 0, height = 0;
    long scan_offset = 0;  // JPEG: where the first scan's header starts
};

int read_u16(std::FILE* f)
{
    const int hi = std::fgetc(f), lo = std::fgetc(f);
    return hi == EOF || lo == EOF ? -1 : hi << 8 | lo;
}

// A JPEG's frame header gives its size; it comes before the first scan,
// after any number of other segments, each of which says how long it is.
// f is just past the start-of-image marker.
bool read_jpeg_header(std::FILE* f, picture_header& out)
{
    for (;;) {
        int marker = std::fgetc(f);
        if (marker != 0xFF)
            return false;
        do
            marker = std::fgetc(f);
        while (marker == 0xFF);
        if (marker == EOF)
            return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;  // markers without a segment
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA)
            return false;  // image start, end or scan before any frame header
        const int length = read_u16(f);
        if (length < 2)
            return false;
        const long end = std::ftell(f) - 2 + length;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8 || std::fgetc(f) == EOF)  // sample precision
                return false;
            out.height = read_u16(f);
            out.width = read_u16(f);
            // The first scan follows; find it, so that the data after it can
            // be checked for an end.
            if (std::fseek(f, end, SEEK_SET) != 0)
                return false;
            for (;;) {
                const long segment = std::ftell(f);
                if (std::fgetc(f) != 0xFF)
                    return false;
                do
                    marker = std::fgetc(f);
                while (marker == 0xFF);
                if (marker == EOF || marker == 0xD9)
                    return false;
                if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
                    continue;
                if (marker == 0xDA) {
                    out.scan_offset = segment;
                    return true;
                }
                const int skip = read_u16(f);
                if (skip < 2 || std::fseek(f, skip - 2, SEEK_CUR) != 0)
                    return false;
            }
        }
        if (std::fseek(f, length - 2, SEEK_CUR) != 0)
            return false;
    }
}

// A PNG's size is in its first chunk, the image header.
bool read_png_header(std::FILE* f, picture_header& out)
{
    unsigned char chunk[16];
    if (std::fread(chunk, 1, sizeof chunk, f) != sizeof chunk)
        return false;
    if (chunk[4] != 'I' || chunk[5] != 'H' || chunk[6] != 'D' || chunk[7] != 'R')
        return false;
    auto be32 = [](const unsigned char* p) {
        return static_cast<long>(static_cast<unsigned long>(p[0]) << 24 | static_cast<unsigned long>(p[1]) << 16 |
                                 static_cast<unsigned long>(p[2]) << 8 | p[3]);
    };
    out.width = be32(chunk + 8);
    out.height = be32(chunk + 12);
    return true;
}

// Only JPEG and PNG headers are read. Any other format is refused rather
// than decoded blind: most decoders allocate the size their header claims
// before they look at the data.
bool read_header(std::FILE* f, picture_header& out)
{
    unsigned char start[8];
    if (std::fread(start, 1, 2, f) != 2)
        return false;
    if (start[0] == 0xFF && start[1] == 0xD8) {
        out.format = picture_format::jpeg;
        return read_jpeg_header(f, out);
    }
    static const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::fread(start + 2, 1, 6, f) == 6 && std::equal(start, start + 8, png)) {
        out.format = picture_format::png;
        return read_png_header(f, out);
    }
    return false;
}

// A JPEG whose data stops before its end-of-image marker is cut short; the
// decoder would make up the missing rows. Inside the scans a 0xFF byte is
// always followed by 0x00 or a restart marker, so the end marker cannot
// appear there by chance.
bool jpeg_has_end(const std::vector<uchar>& bytes, long scan_offset)
{
    for (size_t i = static_cast<size_t>(scan_offset); i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9)
            return true;
    return false;
}

// The picture in path, decoded, or an empty image when it cannot be used:
// not JPEG or PNG, cut short, undecodable, or 10000 pixels or more in
// either direction.
cv::Mat load_picture(const char* path)
{
    // Whatever has taken the picture's place (a pipe, a device) must not
    // hold up the window: opened without waiting, and read only if it is a
    // plain file.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0)
        return {};
    std::FILE* f = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fdopen(fd, "rb") : nullptr;
    if (!f) {
        ::close(fd);
        return {};
    }
    cv::Mat picture;
    picture_header header;
    if (read_header(f, header) && usable_size(header.width, header.height)) {
        try {
            // Decoded from the bytes whose header was checked, whatever
            // happens to the file meanwhile.
            std::vector<uchar> bytes;
            if (std::fseek(f, 0, SEEK_END) == 0) {
                const long size = std::ftell(f);
                if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
                    bytes.resize(static_cast<size_t>(size));
                    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
                }
            }
            if (!bytes.empty() &&
                (header.format != picture_format::jpeg || jpeg_has_end(bytes, header.scan_offset)))
                picture = cv::imdecode(bytes, cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            picture.release();
        } catch (const std::bad_alloc&) {
            picture.release();
        }
    }
    std::fclose(f);
    if (!picture.empty() && !usable_size(picture.cols, picture.rows))
        picture.release();
    return picture;
}

}  // namespace

void CTessalyDlg::SetNoSignal()
{
    try {
        CRect rect(0, 0, 0, 0);
        if (CWnd* control = GetDlgItem(IDC_PICTURE))
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

        // A missing file leaves the text, silently. A picture that cannot
        // be used is traced once per version of the file, not on every paint.
        struct stat st;
        if (::stat(m_strNoSignalImage.GetString(), &st) != 0) {
            m_noSignalPicture.reset();
            return;
        }
        const NoSignalPicture::stamp now{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
        if (!m_noSignalPicture || !(m_noSignalPicture->source == now)) {
            m_noSignalPicture.reset();  // the old picture goes before the new one is decoded
            auto fresh = std::make_shared<NoSignalPicture>();
            fresh->source = now;
            fresh->picture = load_picture(m_strNoSignalImage.GetString());
            m_noSignalPicture = fresh;
            if (fresh->picture.empty())
                ::OutputDebugStringA("SetNoSignal error\n");
        }
        if (!m_noSignalPicture->picture.empty()) {
            IplImage pictureHeader = cvIplImage(m_noSignalPicture->picture);
            DrawFrameCentered(&pictureHeader);
        }
    } catch (const cv::Exception&) {
        ::OutputDebugStringA("SetNoSignal error\n");
    }
}
