// Emulated uvcvideo capture sticks (see fake_uvc.h): libc's file functions
// interposed, answering for the emulated nodes the way uvcvideo and
// videobuf2 answer.
//
// Everything an emulated stick holds is guarded by one mutex, never held
// while sleeping. A call that comes back in here from a thread holding it
// (this library closing a pipe of its own, a sanitizer's runtime
// symbolizing a report it makes in the middle of a copy) goes straight to
// libc.
#include "fake_uvc.h"
#include "../../platform/virtual/mjpeg_encode.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>


// glibc's entry points that its headers no longer declare, or declare
// only for fortified builds.
extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen);
int __poll_chk(struct pollfd* fds, nfds_t nfds, int timeout, size_t fdslen);
int __ppoll_chk(struct pollfd* fds, nfds_t nfds, const struct timespec* timeout, const sigset_t* mask,
                size_t fdslen);
int __xstat(int ver, const char* path, struct stat* buf);
int __xstat64(int ver, const char* path, struct stat64* buf);
int __lxstat(int ver, const char* path, struct stat* buf);
int __lxstat64(int ver, const char* path, struct stat64* buf);
int __fxstat(int ver, int fd, struct stat* buf);
int __fxstat64(int ver, int fd, struct stat64* buf);
int __fxstatat(int ver, int dirfd, const char* path, struct stat* buf, int flags);
int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* buf, int flags);
[[noreturn]] void __chk_fail(void);
}

namespace {

constexpr uint32_t kVideoMajor = 81;
// Emulated descriptors are marked in a bitmap of this many; a pipe beyond
// it is refused (EMFILE) rather than tracked more slowly.
constexpr int kMaxFds = 1 << 16;
// videobuf2's bounds for the buffer count uvcvideo asks for.
constexpr uint32_t kMinBuffers = 2;
constexpr uint32_t kMaxBuffers = 32;
// uvcvideo's metadata buffer size (UVC_METADATA_BUF_SIZE).
constexpr uint32_t kMetaBufferSize = 10240;
// Frame intervals are kept in UVC's unit, 100 ns.
constexpr uint32_t kIntervalUnits = 10000000;
constexpr int kCycle = 8;  // pictures in the moving pattern
// The producer sleeps towards the next frame in steps no longer than this,
// so that a stop is seen without a signal to interrupt it.
constexpr long kSleepStepNs = 10 * 1000 * 1000;
constexpr uint32_t kTimestampFlags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;

// ---------------------------------------------------------------------------
// libc's own functions: the next definitions after this library.

template <typename F>
F next_definition(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct libc_calls {
    int (*open)(const char*, int, ...) = next_definition<decltype(open)>("open");
    int (*open64)(const char*, int, ...) = next_definition<decltype(open64)>("open64");
    int (*openat)(int, const char*, int, ...) = next_definition<decltype(openat)>("openat");
    int (*openat64)(int, const char*, int, ...) = next_definition<decltype(openat64)>("openat64");
    int (*open_2)(const char*, int) = next_definition<decltype(open_2)>("__open_2");
    int (*open64_2)(const char*, int) = next_definition<decltype(open64_2)>("__open64_2");
    int (*openat_2)(int, const char*, int) = next_definition<decltype(openat_2)>("__openat_2");
    int (*openat64_2)(int, const char*, int) = next_definition<decltype(openat64_2)>("__openat64_2");
    int (*close)(int) = next_definition<decltype(close)>("close");
    ssize_t (*read)(int, void*, size_t) = next_definition<decltype(read)>("read");
    ssize_t (*read_chk)(int, void*, size_t, size_t) = next_definition<decltype(read_chk)>("__read_chk");
    int (*ioctl)(int, unsigned long, ...) = next_definition<decltype(ioctl)>("ioctl");
    void* (*mmap)(void*, size_t, int, int, int, off_t) = next_definition<decltype(mmap)>("mmap");
    void* (*mmap64)(void*, size_t, int, int, int, off64_t) = next_definition<decltype(mmap64)>("mmap64");
    int (*munmap)(void*, size_t) = next_definition<decltype(munmap)>("munmap");
    int (*poll)(pollfd*, nfds_t, int) = next_definition<decltype(poll)>("poll");
    int (*ppoll)(pollfd*, nfds_t, const timespec*, const sigset_t*) = next_definition<decltype(ppoll)>("ppoll");
    int (*stat)(const char*, struct stat*) = next_definition<decltype(stat)>("stat");
    int (*stat64)(const char*, struct stat64*) = next_definition<decltype(stat64)>("stat64");
    int (*lstat)(const char*, struct stat*) = next_definition<decltype(lstat)>("lstat");
    int (*lstat64)(const char*, struct stat64*) = next_definition<decltype(lstat64)>("lstat64");
    int (*fstat)(int, struct stat*) = next_definition<decltype(fstat)>("fstat");
    int (*fstat64)(int, struct stat64*) = next_definition<decltype(fstat64)>("fstat64");
    int (*fstatat)(int, const char*, struct stat*, int) = next_definition<decltype(fstatat)>("fstatat");
    int (*fstatat64)(int, const char*, struct stat64*, int) = next_definition<decltype(fstatat64)>("fstatat64");
    int (*statx)(int, const char*, int, unsigned, struct statx*) = next_definition<decltype(statx)>("statx");
    int (*xstat)(int, const char*, struct stat*) = next_definition<decltype(xstat)>("__xstat");
    int (*xstat64)(int, const char*, struct stat64*) = next_definition<decltype(xstat64)>("__xstat64");
    int (*lxstat)(int, const char*, struct stat*) = next_definition<decltype(lxstat)>("__lxstat");
    int (*lxstat64)(int, const char*, struct stat64*) = next_definition<decltype(lxstat64)>("__lxstat64");
    int (*fxstat)(int, int, struct stat*) = next_definition<decltype(fxstat)>("__fxstat");
    int (*fxstat64)(int, int, struct stat64*) = next_definition<decltype(fxstat64)>("__fxstat64");
    int (*fxstatat)(int, int, const char*, struct stat*, int) = next_definition<decltype(fxstatat)>("__fxstatat");
    int (*fxstatat64)(int, int, const char*, struct stat64*, int) =
        next_definition<decltype(fxstatat64)>("__fxstatat64");
};

// Resolved on first use: other libraries' constructors may call in here
// before this library's own have run.
const libc_calls& libc()
{
    static const libc_calls calls;
    return calls;
}

int fail(int error)
{
    errno = error;
    return -1;
}

// ---------------------------------------------------------------------------
// The emulated sticks.

// Pictures of one mode, encoded once, each handed over with one copy.
struct frame_cycle {
    std::vector<std::vector<uint8_t>> frames;
};

// The memory of one REQBUFS: a memfd with buffer i at i * stride. The
// application maps the memfd itself, so its mappings stay valid however
// the queue lets go of them, as videobuf2 frees a buffer on its last unmap.
struct allocation {
    int memfd = -1;
    uint8_t* base = nullptr;  // the producer's own view of every buffer
    size_t stride = 0;
    uint32_t length = 0;      // sizeimage when allocated
    uint32_t count = 0;
    std::vector<unsigned> mapped;  // the application's mappings of each buffer
};

struct buffer_slot {
    enum { dequeued, queued, done } state = dequeued;
    uint32_t bytesused = 0;
    bool error = false;
    uint32_t sequence = 0;
    timeval timestamp{};
};

struct producer {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> stop;
};

struct handle;

struct device {
    int n = -1;
    fake_uvc_device config;
    std::string entries[2];      // class entries of the capture and metadata nodes
    std::string nodes[2];        // their placeholder files
    struct stat node_stat[2]{};  // as the nodes stat: character devices
    bool plugged = true;
    bool signal = true;
    // The format, size (indexes into config) and interval the stream has.
    size_t format = 0;
    size_t size = 0;
    uint32_t interval = 0;
    // The queue (of the capture node).
    handle* owner = nullptr;  // the handle with uvcvideo's streaming privileges
    std::shared_ptr<allocation> memory;
    std::vector<buffer_slot> buffers;
    std::deque<unsigned> queued;
    std::deque<unsigned> done;
    bool streaming = false;
    bool waiting_for_buffers = false;  // no QBUF since the stream (re)started
    bool error = false;                // unplugged under a stream
    bool dqbuf_waiting = false;
    std::unique_ptr<producer> frames;
    std::condition_variable changed;  // buffers done, stream stopped, unplugged
    std::vector<handle*> handles;
    std::map<uint64_t, std::shared_ptr<const frame_cycle>> cycles;
    uint32_t sequence = 0;
    uint64_t produced = 0;  // frames since plugged, for frames_before_stall
    uint64_t delivered = 0;
    uint64_t dropped = 0;
    uint64_t dequeued = 0;
    uint32_t streamons = 0;
    uint64_t producer_cpu_ns = 0;
    int mappings = 0;
};

struct handle {
    std::shared_ptr<device> dev;
    int node = 0;  // 0: capture, 1: metadata
    int fd = -1;   // the application's: a pipe's read end
    int wake = -1; // its write end: a byte per buffer done, and one at STREAMOFF to wake a poll
    int flags = 0; // as opened
    unsigned bytes = 0;  // in the pipe
};

// One mmap() of a buffer by the application; a partial munmap leaves the
// rest of it as a range of its own.
struct mapping {
    uintptr_t start = 0;
    uintptr_t end = 0;
    std::shared_ptr<device> dev;
    std::shared_ptr<allocation> memory;
    unsigned index = 0;
};

struct registry {
    std::mutex lock;
    std::map<int, std::shared_ptr<device>> devices;  // plugged, or kept for their statistics
    std::unordered_map<int, std::shared_ptr<handle>> handles;  // by descriptor
    std::vector<mapping> mappings;
};

// Never destroyed: a stream still running at exit must not end the process.
registry& reg()
{
    static registry* r = new registry;
    return *r;
}

std::atomic<int> g_plugged{0};
std::atomic<int> g_mappings{0};
std::atomic<uint64_t> g_fd_bits[kMaxFds / 64];
thread_local bool t_holding = false;

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

// ThreadSanitizer does not see a lock taken inside its own blocking
// interceptors, and poll() comes in here from one: the lock's order is
// told to it directly as well.
void order_after_lock()
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(&reg().lock);
#endif
}

void order_before_unlock()
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&reg().lock);
#endif
}

// The registry's lock, held. A call that this thread makes meanwhile and
// that comes back in here (from a sanitizer's runtime reporting in the
// middle of it, say, or from this library itself) goes straight to libc
// instead of waiting on the lock it holds.
class held {
public:
    held() : m_lock(reg().lock)
    {
        order_after_lock();
        t_holding = true;
    }
    ~held()
    {
        if (m_lock.owns_lock()) {
            t_holding = false;
            order_before_unlock();
        }
    }
    held(const held&) = delete;
    held& operator=(const held&) = delete;
    void lock()
    {
        m_lock.lock();
        order_after_lock();
        t_holding = true;
    }
    void unlock()
    {
        t_holding = false;
        order_before_unlock();
        m_lock.unlock();
    }
    bool owns_lock() const { return m_lock.owns_lock(); }
    // This thread runs nothing else meanwhile: it stays marked as holding.
    void wait(std::condition_variable& changed)
    {
        order_before_unlock();
        changed.wait(m_lock);
        order_after_lock();
    }

private:
    std::unique_lock<std::mutex> m_lock;
};

bool marked_fd(int fd)
{
    return fd >= 0 && fd < kMaxFds && (g_fd_bits[fd / 64].load(std::memory_order_relaxed) >> (fd % 64) & 1);
}

// For the interposed functions: whether to answer for this descriptor.
bool emulated_fd(int fd) { return !t_holding && marked_fd(fd); }

void mark_fd(int fd, bool on)
{
    const uint64_t bit = uint64_t{1} << (fd % 64);
    if (on)
        g_fd_bits[fd / 64].fetch_or(bit, std::memory_order_relaxed);
    else
        g_fd_bits[fd / 64].fetch_and(~bit, std::memory_order_relaxed);
}

// Whether a path may name an emulated node, before anything is looked up:
// its last part mentions "video" (video<N>, or a by-id link).
bool may_be_node(const char* path)
{
    if (!path || t_holding || g_plugged.load(std::memory_order_relaxed) == 0)
        return false;
    const char* slash = std::strrchr(path, '/');
    return std::strstr(slash ? slash + 1 : path, "video") != nullptr;
}

uint32_t interval_of(double fps) { return static_cast<uint32_t>(std::llround(kIntervalUnits / fps)); }

const fake_uvc_format& current_format(const device& d) { return d.config.formats[d.format]; }
const fake_uvc_size& current_size(const device& d) { return current_format(d).sizes[d.size]; }

uint32_t default_interval(const fake_uvc_size& s)
{
    return interval_of(s.default_fps > 0 ? s.default_fps : s.fps.front());
}

bool compressed(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG; }

uint32_t size_image(const fake_uvc_size& s) { return s.width * s.height * 2; }

// v4l2_simplify_fraction as the kernel applies it to UVC intervals: a
// continued fraction of at most 8 terms, cut at a term of 333 or more.
void simplify(uint32_t& numerator, uint32_t& denominator)
{
    uint32_t terms[8];
    unsigned n = 0;
    uint32_t x = numerator, y = denominator;
    for (; n < 8 && y != 0; ++n) {
        terms[n] = x / y;
        if (terms[n] >= 333) {
            if (n < 2)
                ++n;
            break;
        }
        const uint32_t r = x - terms[n] * y;
        x = y;
        y = r;
    }
    x = 0;
    y = 1;
    for (unsigned i = n; i > 0; --i) {
        const uint32_t r = y;
        y = terms[i - 1] * y + x;
        x = r;
    }
    numerator = y;
    denominator = x;
}

// uvcvideo's conversion of a requested period to 100 ns units, saturating.
uint32_t fraction_to_interval(uint32_t numerator, uint32_t denominator)
{
    if (denominator == 0 || numerator / denominator >= UINT32_MAX / kIntervalUnits)
        return UINT32_MAX;
    uint32_t multiplier = kIntervalUnits;
    while (numerator > UINT32_MAX / multiplier) {
        multiplier /= 2;
        denominator /= 2;
    }
    return denominator ? numerator * multiplier / denominator : 0;
}

// The offered interval nearest the one asked for, as uvcvideo finds it in
// a list that runs from fastest to slowest.
uint32_t nearest_interval(const fake_uvc_size& s, uint32_t wanted)
{
    uint32_t best = UINT32_MAX;
    size_t i = 0;
    for (; i < s.fps.size(); ++i) {
        const uint32_t offered = interval_of(s.fps[i]);
        const uint32_t distance = wanted > offered ? wanted - offered : offered - wanted;
        if (distance > best)
            break;
        best = distance;
    }
    return interval_of(s.fps[i - 1]);
}

void copy_text(__u8* to, size_t size, const std::string& text)
{
    std::memset(to, 0, size);
    std::memcpy(to, text.data(), std::min(text.size(), size - 1));
}

// ---------------------------------------------------------------------------
// The pictures.

// Dark, with a bright square at step's place along its way across, above
// a green band on the bottom edge.
cv::Mat test_picture(int width, int height, int step)
{
    cv::Mat bgr(height, width, CV_8UC3, cv::Scalar(24, 24, 24));
    const int band = std::max(2, height / 8);
    cv::rectangle(bgr, cv::Rect(0, height - band, width, band), cv::Scalar(0, 200, 0), cv::FILLED);
    const int side = std::max(2, height / 4) & ~1;
    const int x = (step * std::max(0, width - side) / (kCycle - 1)) & ~1;
    const int y = std::max(0, (height - band - side) / 2);
    cv::rectangle(bgr, cv::Rect(x, y, side, side), cv::Scalar(235, 235, 235), cv::FILLED);
    return bgr;
}

// YUYV as BT.601 limited range, the chroma of each pair averaged.
std::vector<uint8_t> encode_yuyv(const cv::Mat& bgr)
{
    const cv::Matx34f to_yuv(0.098f, 0.504f, 0.257f, 16.f,     // Y
                             0.439f, -0.291f, -0.148f, 128.f,  // U
                             -0.071f, -0.368f, 0.439f, 128.f); // V
    cv::Mat yuv;
    cv::transform(bgr, yuv, to_yuv);
    const int width = bgr.cols;
    std::vector<uint8_t> out(static_cast<size_t>(width) * bgr.rows * 2);
    for (int y = 0; y < bgr.rows; ++y) {
        const uint8_t* p = yuv.ptr<uint8_t>(y);
        uint8_t* o = out.data() + static_cast<size_t>(y) * width * 2;
        for (int x = 0; x < width; x += 2, p += 6, o += 4) {
            const uint8_t* q = x + 1 < width ? p + 3 : p;
            o[0] = p[0];
            o[1] = static_cast<uint8_t>((p[1] + q[1] + 1) / 2);
            o[2] = q[0];
            o[3] = static_cast<uint8_t>((p[2] + q[2] + 1) / 2);
        }
    }
    return out;
}

uint64_t cycle_key(uint32_t fourcc, const fake_uvc_size& s)
{
    return uint64_t{fourcc} << 32 | s.width << 16 | s.height;
}

// ---------------------------------------------------------------------------
// The queue. Everything here is called with the registry's lock held.

timeval monotonic_now()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return timeval{now.tv_sec, now.tv_nsec / 1000};
}

void drain(handle& h)
{
    uint8_t junk[64];
    while (h.bytes > 0) {
        const ssize_t got = libc().read(h.fd, junk, std::min<size_t>(h.bytes, sizeof junk));
        if (got <= 0 && errno != EINTR)
            break;
        if (got > 0)
            h.bytes -= static_cast<unsigned>(got);
    }
    h.bytes = 0;
}

void signal_ready(handle& h)
{
    const uint8_t one = 1;
    if (h.wake >= 0 && ::write(h.wake, &one, 1) == 1)
        ++h.bytes;
}

// The producer is told to stop; the caller joins it once the lock is let go.
std::unique_ptr<producer> stop_frames(device& d)
{
    if (d.frames)
        d.frames->stop->store(true);
    return std::move(d.frames);
}

// STREAMOFF: every buffer back to the application, the pipe emptied, and
// a poll blocked on it woken to see that the stream stopped.
std::unique_ptr<producer> cancel_stream(device& d)
{
    std::unique_ptr<producer> stopped = stop_frames(d);
    d.streaming = false;
    d.error = false;
    d.waiting_for_buffers = true;
    for (buffer_slot& b : d.buffers)
        b.state = buffer_slot::dequeued;
    d.queued.clear();
    d.done.clear();
    if (d.owner) {
        drain(*d.owner);
        signal_ready(*d.owner);
    }
    d.changed.notify_all();
    return stopped;
}

// The queue lets go of its buffers; mapped ones live on in their mappings.
void free_buffers(device& d)
{
    if (d.memory) {
        libc().munmap(d.memory->base, d.memory->stride * d.memory->count);
        ::close(d.memory->memfd);
        d.memory.reset();
    }
    d.buffers.clear();
    d.queued.clear();
    d.done.clear();
}

bool allocate(device& d, uint32_t count)
{
    auto memory = std::make_shared<allocation>();
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    memory->length = size_image(current_size(d));
    memory->stride = (memory->length + page - 1) / page * page;
    memory->count = count;
    memory->mapped.assign(count, 0);
    memory->memfd = ::memfd_create("fake-uvc-buffers", MFD_CLOEXEC);
    if (memory->memfd < 0)
        return false;
    const size_t total = memory->stride * count;
    void* base = MAP_FAILED;
    if (::ftruncate(memory->memfd, static_cast<off_t>(total)) == 0)
        base = libc().mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, memory->memfd, 0);
    if (base == MAP_FAILED) {
        ::close(memory->memfd);
        return false;
    }
    memory->base = static_cast<uint8_t*>(base);
    d.memory = memory;
    d.buffers.assign(count, buffer_slot());
    return true;
}

// uvcvideo's privileges: the first handle to change the stream owns it.
bool acquire(device& d, handle* h)
{
    if (d.config.busy || (d.owner && d.owner != h))
        return false;
    d.owner = h;
    return true;
}

bool privileged(const device& d, const handle* h) { return !d.config.busy && d.owner == h; }

// The handle is closed: a stream it owns stops and its buffers go.
std::unique_ptr<producer> release(device& d, handle* h)
{
    std::unique_ptr<producer> stopped;
    if (d.owner == h) {
        stopped = stop_frames(d);
        d.streaming = false;
        d.error = false;
        free_buffers(d);
        d.owner = nullptr;
        d.changed.notify_all();
    }
    d.handles.erase(std::remove(d.handles.begin(), d.handles.end(), h), d.handles.end());
    return stopped;
}

void fill_buffer(const device& d, unsigned index, v4l2_buffer& b)
{
    const buffer_slot& slot = d.buffers[index];
    b = v4l2_buffer{};
    b.index = index;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.bytesused = slot.bytesused;
    b.field = V4L2_FIELD_NONE;
    b.timestamp = slot.timestamp;
    b.sequence = slot.sequence;
    b.m.offset = static_cast<uint32_t>(index * d.memory->stride);
    b.length = d.memory->length;
    b.flags = kTimestampFlags;
    if (slot.state == buffer_slot::queued)
        b.flags |= V4L2_BUF_FLAG_QUEUED;
    else if (slot.state == buffer_slot::done)
        b.flags |= V4L2_BUF_FLAG_DONE | (slot.error ? V4L2_BUF_FLAG_ERROR : 0);
    if (d.memory->mapped[index] > 0)
        b.flags |= V4L2_BUF_FLAG_MAPPED;
}

// One frame interval has passed with the signal on: the frame goes into
// the oldest queued buffer, or is lost.
void complete_frame(device& d, const frame_cycle& cycle)
{
    const uint32_t sequence = d.sequence++;
    if (d.config.frames_before_stall && ++d.produced >= d.config.frames_before_stall)
        d.signal = false;
    if (d.queued.empty()) {
        ++d.dropped;
        return;
    }
    const unsigned index = d.queued.front();
    d.queued.pop_front();
    buffer_slot& slot = d.buffers[index];
    const std::vector<uint8_t>& picture = cycle.frames[sequence % cycle.frames.size()];
    uint8_t* to = d.memory->base + index * d.memory->stride;
    const size_t size = std::min<size_t>(picture.size(), d.memory->length);
    std::memcpy(to, picture.data(), size);
    const uint64_t count = ++d.delivered;
    slot.bytesused = static_cast<uint32_t>(size);
    slot.error = d.config.error_every && count % d.config.error_every == 0;
    if (slot.error) {
        std::memset(to + size / 2, 0x80, size - size / 2);
    } else if (d.config.truncate_every && compressed(current_format(d).fourcc) &&
               count % d.config.truncate_every == 0) {
        const double kept = std::clamp(d.config.truncate_to, 0.0, 1.0);
        slot.bytesused = std::max<uint32_t>(1, static_cast<uint32_t>(size * kept));
    }
    slot.sequence = sequence;
    slot.timestamp = monotonic_now();
    slot.state = buffer_slot::done;
    d.done.push_back(index);
    if (d.owner)
        signal_ready(*d.owner);
    d.changed.notify_all();
}

uint64_t thread_cpu_ns()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void add_ns(timespec& t, uint64_t ns)
{
    const uint64_t total = static_cast<uint64_t>(t.tv_nsec) + ns;
    t.tv_sec += static_cast<time_t>(total / 1000000000u);
    t.tv_nsec = static_cast<long>(total % 1000000000u);
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps until `until` on the monotonic clock; false once told to stop.
bool sleep_until(const timespec& until, const std::atomic<bool>& stop)
{
    for (;;) {
        if (stop.load())
            return false;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (!before(now, until))
            return true;
        timespec step = now;
        add_ns(step, kSleepStepNs);
        const timespec& wake = before(until, step) ? until : step;
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    }
}

// The stick's side of a stream: one frame per interval on an absolute
// schedule, the pictures made once per mode beforehand.
void produce(std::shared_ptr<device> d, std::shared_ptr<std::atomic<bool>> stop)
{
    // CPU time is added as it is spent: a producer that is still on its
    // way out may overlap the next one.
    uint64_t counted = 0;
    const auto count_cpu = [&] {
        const uint64_t spent = thread_cpu_ns();
        d->producer_cpu_ns += spent - counted;
        counted = spent;
    };
    held hold;
    const uint32_t fourcc = current_format(*d).fourcc;
    const fake_uvc_size size = current_size(*d);
    const uint64_t interval_ns = uint64_t{d->interval} * 100;
    std::shared_ptr<const frame_cycle> cycle;
    if (auto found = d->cycles.find(cycle_key(fourcc, size)); found != d->cycles.end())
        cycle = found->second;
    hold.unlock();
    // The moving square's cycles are the same for every stick: made once
    // per process, so that a stick plugged again streams at once, also
    // under a sanitizer that makes the encoding slow.
    const bool shared = !d->config.picture;
    // Never destroyed: a producer may still be on its way out at exit.
    static auto& shared_lock = *new std::mutex;
    static auto& shared_cycles = *new std::map<uint64_t, std::shared_ptr<const frame_cycle>>;
    if (!cycle && shared) {
        std::lock_guard<std::mutex> hold_shared(shared_lock);
        if (auto found = shared_cycles.find(cycle_key(fourcc, size)); found != shared_cycles.end())
            cycle = found->second;
    }

    if (!cycle) {
        auto made = std::make_shared<frame_cycle>();
        for (int step = 0; step < kCycle && !stop->load(); ++step) {
            const int width = static_cast<int>(size.width), height = static_cast<int>(size.height);
            cv::Mat picture = d->config.picture ? d->config.picture(width, height, step) : cv::Mat();
            if (picture.cols != width || picture.rows != height || picture.type() != CV_8UC3)
                picture = test_picture(width, height, step);
            made->frames.push_back(compressed(fourcc) ? capture_encode_mjpeg(picture) : encode_yuyv(picture));
        }
        hold.lock();
        count_cpu();
        if (made->frames.size() == kCycle)
            d->cycles[cycle_key(fourcc, size)] = made;
        hold.unlock();
        if (shared && made->frames.size() == kCycle) {
            std::lock_guard<std::mutex> hold_shared(shared_lock);
            shared_cycles[cycle_key(fourcc, size)] = made;
        }
        cycle = made;
        if (made->frames.size() != kCycle)
            return;
    }

    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    add_ns(next, interval_ns);
    while (sleep_until(next, *stop)) {
        hold.lock();
        if (stop->load())
            break;
        if (d->signal)
            complete_frame(*d, *cycle);
        count_cpu();
        hold.unlock();
        // A slot missed while this thread was held up is skipped, not
        // made up for with a burst.
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        do
            add_ns(next, interval_ns);
        while (before(next, now));
    }
    if (!hold.owns_lock())
        hold.lock();
    count_cpu();
}

bool start_stream(const std::shared_ptr<device>& d)
{
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto frames = std::make_unique<producer>();
    frames->stop = stop;
    try {
        frames->thread = std::thread(produce, d, stop);
    } catch (const std::exception&) {
        return false;
    }
    d->frames = std::move(frames);
    return true;
}

// ---------------------------------------------------------------------------
// ioctl.

void fill_pix(const fake_uvc_format& f, const fake_uvc_size& s, v4l2_pix_format& pix)
{
    pix = v4l2_pix_format{};
    pix.width = s.width;
    pix.height = s.height;
    pix.pixelformat = f.fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = compressed(f.fourcc) ? 0 : s.width * 2;
    pix.sizeimage = size_image(s);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
    // Set by the V4L2 core on every format it returns.
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

// uvcvideo's choice for a format request: the format asked for or the
// default one, and its frame size least different from the request.
void try_format(const device& d, const v4l2_pix_format& asked, size_t& format, size_t& size)
{
    format = 0;
    for (size_t i = 0; i < d.config.formats.size(); ++i)
        if (d.config.formats[i].fourcc == asked.pixelformat) {
            format = i;
            break;
        }
    // uvcvideo keeps the request in 16 bits.
    const uint32_t rw = static_cast<uint16_t>(asked.width), rh = static_cast<uint16_t>(asked.height);
    uint32_t best = UINT32_MAX;
    size = 0;
    const auto& sizes = d.config.formats[format].sizes;
    for (size_t i = 0; i < sizes.size() && best != 0; ++i) {
        const uint32_t w = sizes[i].width, h = sizes[i].height;
        const uint32_t overlap = std::min(w, rw) * std::min(h, rh);
        const uint32_t distance = w * h + rw * rh - 2 * overlap;
        if (distance < best) {
            best = distance;
            size = i;
        }
    }
}

void fill_caps(const device& d, int node, v4l2_capability& cap)
{
    cap = v4l2_capability{};
    copy_text(cap.driver, sizeof cap.driver, "uvcvideo");
    copy_text(cap.card, sizeof cap.card, d.config.card);
    copy_text(cap.bus_info, sizeof cap.bus_info, d.config.bus_info);
    cap.version = (6u << 16) | (1u << 8);
    cap.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                       V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
    cap.device_caps = (node == 0 ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | V4L2_CAP_STREAMING |
                      V4L2_CAP_EXT_PIX_FORMAT;
}

std::string format_description(uint32_t fourcc)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG: return "Motion-JPEG";
    case V4L2_PIX_FMT_YUYV: return "YUYV 4:2:2";
    default: return std::string{static_cast<char>(fourcc & 0xFF), static_cast<char>(fourcc >> 8 & 0xFF),
                                static_cast<char>(fourcc >> 16 & 0xFF), static_cast<char>(fourcc >> 24 & 0xFF)};
    }
}

// The struct is read once and written once: the caller's memory is not
// trusted to hold still, nor to hold anything but what is read from it.
template <typename T>
T take(const void* arg)
{
    T value;
    std::memcpy(&value, arg, sizeof value);
    return value;
}

template <typename T>
int give(void* arg, const T& value)
{
    std::memcpy(arg, &value, sizeof value);
    return 0;
}

bool is_control(unsigned long request)
{
    switch (request) {
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: return true;
    default: return false;
    }
}

int meta_ioctl(device& d, unsigned long request, void* arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP: {
        v4l2_capability cap;
        fill_caps(d, 1, cap);
        return give(arg, cap);
    }
    case VIDIOC_ENUM_FMT: {
        const auto in = take<v4l2_fmtdesc>(arg);
        if (in.type != V4L2_BUF_TYPE_META_CAPTURE || in.index != 0)
            return fail(EINVAL);
        v4l2_fmtdesc out{};
        out.type = in.type;
        out.pixelformat = V4L2_META_FMT_UVC;
        copy_text(out.description, sizeof out.description, "UVC Payload Header Metadata");
        return give(arg, out);
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        const auto in = take<v4l2_format>(arg);
        if (in.type != V4L2_BUF_TYPE_META_CAPTURE)
            return fail(EINVAL);
        v4l2_format out{};
        out.type = in.type;
        out.fmt.meta.dataformat = V4L2_META_FMT_UVC;
        out.fmt.meta.buffersize = kMetaBufferSize;
        return give(arg, out);
    }
    case VIDIOC_REQBUFS:
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: return fail(EINVAL);
    default: return fail(ENOTTY);
    }
}

// Called with the lock held through `hold`; a stopped producer is handed
// back in `stopped` to be joined once it is let go.
int capture_ioctl(held& hold, const std::shared_ptr<handle>& h, unsigned long request,
                  void* arg, std::unique_ptr<producer>& stopped)
{
    device& d = *h->dev;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        v4l2_capability cap;
        fill_caps(d, 0, cap);
        return give(arg, cap);
    }
    case VIDIOC_ENUM_FMT: {
        const auto in = take<v4l2_fmtdesc>(arg);
        if (in.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || in.index >= d.config.formats.size())
            return fail(EINVAL);
        const fake_uvc_format& f = d.config.formats[in.index];
        v4l2_fmtdesc out{};
        out.index = in.index;
        out.type = in.type;
        out.flags = compressed(f.fourcc) ? V4L2_FMT_FLAG_COMPRESSED : 0;
        out.pixelformat = f.fourcc;
        copy_text(out.description, sizeof out.description, format_description(f.fourcc));
        return give(arg, out);
    }
    case VIDIOC_G_FMT: {
        if (take<v4l2_format>(arg).type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        v4l2_format out{};
        out.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fill_pix(current_format(d), current_size(d), out.fmt.pix);
        return give(arg, out);
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        const auto in = take<v4l2_format>(arg);
        if (in.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (request == VIDIOC_S_FMT && !acquire(d, h.get()))
            return fail(EBUSY);
        size_t format = 0, size = 0;
        try_format(d, in.fmt.pix, format, size);
        if (request == VIDIOC_S_FMT) {
            if (d.memory)
                return fail(EBUSY);
            d.format = format;
            d.size = size;
            d.interval = default_interval(d.config.formats[format].sizes[size]);
        }
        v4l2_format out{};
        out.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fill_pix(d.config.formats[format], d.config.formats[format].sizes[size], out.fmt.pix);
        return give(arg, out);
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        const auto in = take<v4l2_frmsizeenum>(arg);
        for (const fake_uvc_format& f : d.config.formats) {
            if (f.fourcc != in.pixel_format)
                continue;
            if (in.index >= f.sizes.size())
                break;
            v4l2_frmsizeenum out{};
            out.index = in.index;
            out.pixel_format = in.pixel_format;
            out.type = V4L2_FRMSIZE_TYPE_DISCRETE;
            out.discrete.width = f.sizes[in.index].width;
            out.discrete.height = f.sizes[in.index].height;
            return give(arg, out);
        }
        return fail(EINVAL);
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        const auto in = take<v4l2_frmivalenum>(arg);
        for (const fake_uvc_format& f : d.config.formats) {
            if (f.fourcc != in.pixel_format)
                continue;
            for (const fake_uvc_size& s : f.sizes) {
                if (s.width != in.width || s.height != in.height || in.index >= s.fps.size())
                    continue;
                v4l2_frmivalenum out{};
                out.index = in.index;
                out.pixel_format = in.pixel_format;
                out.width = in.width;
                out.height = in.height;
                out.type = V4L2_FRMIVAL_TYPE_DISCRETE;
                out.discrete.numerator = interval_of(s.fps[in.index]);
                out.discrete.denominator = kIntervalUnits;
                simplify(out.discrete.numerator, out.discrete.denominator);
                return give(arg, out);
            }
            break;
        }
        return fail(EINVAL);
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        const auto in = take<v4l2_streamparm>(arg);
        if (in.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (request == VIDIOC_S_PARM) {
            if (!acquire(d, h.get()) || d.streaming)
                return fail(EBUSY);
            const v4l2_fract asked = in.parm.capture.timeperframe;
            d.interval = nearest_interval(current_size(d), fraction_to_interval(asked.numerator, asked.denominator));
        }
        v4l2_streamparm out{};
        out.type = in.type;
        out.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        out.parm.capture.timeperframe.numerator = d.interval;
        out.parm.capture.timeperframe.denominator = kIntervalUnits;
        simplify(out.parm.capture.timeperframe.numerator, out.parm.capture.timeperframe.denominator);
        return give(arg, out);
    }
    case VIDIOC_ENUMINPUT: {
        const auto in = take<v4l2_input>(arg);
        if (in.index != 0)
            return fail(EINVAL);
        v4l2_input out{};
        copy_text(out.name, sizeof out.name, "Camera 1");
        out.type = V4L2_INPUT_TYPE_CAMERA;
        return give(arg, out);
    }
    case VIDIOC_G_INPUT: return give(arg, 0u);
    case VIDIOC_S_INPUT:
        if (!acquire(d, h.get()))
            return fail(EBUSY);
        return take<unsigned>(arg) == 0 ? 0 : fail(EINVAL);
    case VIDIOC_REQBUFS: {
        const auto in = take<v4l2_requestbuffers>(arg);
        if (in.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (!acquire(d, h.get()))
            return fail(EBUSY);
        if (in.memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (d.streaming)
            return fail(EBUSY);
        // Buffers still mapped are orphaned, not refused (videobuf2 since
        // Linux 5.0): they go with their last mapping.
        free_buffers(d);
        v4l2_requestbuffers out{};
        out.type = in.type;
        out.memory = in.memory;
        out.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
        if (in.count == 0) {
            d.owner = nullptr;
            return give(arg, out);
        }
        out.count = std::clamp(in.count, kMinBuffers, kMaxBuffers);
        if (!allocate(d, out.count))
            return fail(ENOMEM);
        d.waiting_for_buffers = true;
        return give(arg, out);
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        const auto in = take<v4l2_buffer>(arg);
        if (in.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (!privileged(d, h.get()))
            return fail(EBUSY);
        if (request == VIDIOC_DQBUF) {
            int flags = ::fcntl(h->fd, F_GETFL);
            const bool nonblocking = flags >= 0 && (flags & O_NONBLOCK);
            for (;;) {
                if (d.dqbuf_waiting)
                    return fail(EBUSY);
                if (!d.streaming)
                    return fail(EINVAL);
                if (d.error)
                    return fail(EIO);
                if (!d.done.empty())
                    break;
                if (nonblocking)
                    return fail(EAGAIN);
                d.dqbuf_waiting = true;
                hold.wait(d.changed);
                d.dqbuf_waiting = false;
                if (!privileged(d, h.get()))
                    return fail(EINVAL);  // closed meanwhile
            }
            const unsigned index = d.done.front();
            d.done.pop_front();
            if (h->bytes > 0) {
                uint8_t byte;
                if (libc().read(h->fd, &byte, 1) == 1)
                    --h->bytes;
            }
            v4l2_buffer out;
            fill_buffer(d, index, out);
            out.flags &= ~V4L2_BUF_FLAG_DONE;
            d.buffers[index].state = buffer_slot::dequeued;
            ++d.dequeued;
            return give(arg, out);
        }
        if (in.index >= d.buffers.size())
            return fail(EINVAL);
        if (request == VIDIOC_QBUF) {
            if (d.error)
                return fail(EIO);
            if (in.memory != V4L2_MEMORY_MMAP)
                return fail(EINVAL);
            if (in.flags & V4L2_BUF_FLAG_REQUEST_FD)
                return fail(EBADR);
            if (d.buffers[in.index].state != buffer_slot::dequeued)
                return fail(EINVAL);
            d.buffers[in.index].state = buffer_slot::queued;
            d.buffers[in.index].error = false;
            d.queued.push_back(in.index);
            d.waiting_for_buffers = false;
        }
        v4l2_buffer out;
        fill_buffer(d, in.index, out);
        return give(arg, out);
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (!privileged(d, h.get()))
            return fail(EBUSY);
        if (take<int>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (request == VIDIOC_STREAMOFF) {
            stopped = cancel_stream(d);
            return 0;
        }
        if (d.streaming)
            return 0;
        if (d.buffers.empty())
            return fail(EINVAL);
        drain(*h);
        d.sequence = 0;
        if (!start_stream(h->dev))
            return fail(ENOMEM);
        d.streaming = true;
        ++d.streamons;
        return 0;
    }
    default: return is_control(request) ? fail(EINVAL) : fail(ENOTTY);
    }
}

int emulated_ioctl(int fd, unsigned long request, void* arg)
{
    std::unique_ptr<producer> stopped;
    int result;
    {
        held hold;
        const auto found = reg().handles.find(fd);
        if (found == reg().handles.end())
            return fail(EBADF);
        const std::shared_ptr<handle> h = found->second;
        if (!h->dev->plugged)
            return fail(ENODEV);
        // Another driver's request is unknown to a V4L2 node.
        if (_IOC_TYPE(request) != 'V')
            return fail(ENOTTY);
        if (!arg)
            return fail(EFAULT);
        result = h->node == 0 ? capture_ioctl(hold, h, request, arg, stopped) : meta_ioctl(*h->dev, request, arg);
    }
    const int error = errno;
    if (stopped)
        stopped->thread.join();
    errno = error;
    return result;
}

// ---------------------------------------------------------------------------
// open, close, mmap, poll, stat.

// The plugged device and node whose placeholder this is.
device* node_of(const struct stat& st, int& node)
{
    for (auto& [n, d] : reg().devices)
        for (int i = 0; d->plugged && i < 2; ++i)
            if (d->node_stat[i].st_dev == st.st_dev && d->node_stat[i].st_ino == st.st_ino) {
                node = i;
                return d.get();
            }
    return nullptr;
}

// An application's open() of an emulated node; -2 when it names none.
int open_node(int dirfd, const char* path, int flags)
{
    if (!may_be_node(path) || (flags & O_PATH))
        return -2;
    struct stat st;
    if (libc().fstatat(dirfd, path, &st, (flags & O_NOFOLLOW) ? AT_SYMLINK_NOFOLLOW : 0) != 0)
        return -2;
    held hold;
    int node = 0;
    device* d = node_of(st, node);
    if (!d)
        return -2;
    if ((flags & O_CREAT) && (flags & O_EXCL))
        return fail(EEXIST);
    if (flags & O_DIRECTORY)
        return fail(ENOTDIR);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    if (ends[0] >= kMaxFds || ends[1] < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return fail(EMFILE);
    }
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    if (flags & O_NONBLOCK)
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    if (!(flags & O_CLOEXEC))
        ::fcntl(ends[0], F_SETFD, 0);
    auto h = std::make_shared<handle>();
    h->dev = reg().devices.at(d->n);
    h->node = node;
    h->fd = ends[0];
    h->wake = ends[1];
    h->flags = flags;
    d->handles.push_back(h.get());
    reg().handles[h->fd] = h;
    mark_fd(h->fd, true);
    return h->fd;
}

void close_node(int fd)
{
    std::unique_ptr<producer> stopped;
    int wake = -1;
    {
        held hold;
        const auto found = reg().handles.find(fd);
        if (found == reg().handles.end())
            return;
        const std::shared_ptr<handle> h = found->second;
        reg().handles.erase(found);
        mark_fd(fd, false);
        stopped = release(*h->dev, h.get());
        wake = h->wake;
        h->wake = -1;
    }
    if (wake >= 0)
        ::close(wake);
    if (stopped)
        stopped->thread.join();
}

// A range of the address space is no longer mapped.
void forget_range(uintptr_t start, uintptr_t end)
{
    held hold;
    std::vector<mapping>& all = reg().mappings;
    std::vector<mapping> pieces;
    for (auto it = all.begin(); it != all.end();) {
        if (it->end <= start || it->start >= end) {
            ++it;
            continue;
        }
        if (it->start < start) {
            pieces.push_back(*it);
            pieces.back().end = start;
        }
        if (it->end > end) {
            pieces.push_back(*it);
            pieces.back().start = end;
        }
        --it->memory->mapped[it->index];
        --it->dev->mappings;
        it = all.erase(it);
    }
    for (mapping& piece : pieces) {
        ++piece.memory->mapped[piece.index];
        ++piece.dev->mappings;
        all.push_back(std::move(piece));
    }
    g_mappings.store(static_cast<int>(all.size()), std::memory_order_relaxed);
}

size_t page_round(size_t length)
{
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

void* map_node(void* addr, size_t length, int prot, int flags, int fd, off64_t offset)
{
    held hold;
    const auto found = reg().handles.find(fd);
    if (found == reg().handles.end())
        return (errno = EBADF, MAP_FAILED);
    handle& h = *found->second;
    device& d = *h.dev;
    if (!d.plugged)
        return (errno = ENODEV, MAP_FAILED);
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    if (length == 0 || offset < 0 || static_cast<uint64_t>(offset) % page != 0)
        return (errno = EINVAL, MAP_FAILED);
    if ((prot & PROT_WRITE) && (flags & MAP_SHARED) && (h.flags & O_ACCMODE) == O_RDONLY)
        return (errno = EACCES, MAP_FAILED);
    if (h.node != 0 || !d.memory || !(flags & MAP_SHARED) || !(prot & PROT_READ))
        return (errno = EINVAL, MAP_FAILED);
    allocation& memory = *d.memory;
    const uint64_t index = static_cast<uint64_t>(offset) / memory.stride;
    if (static_cast<uint64_t>(offset) % memory.stride != 0 || index >= memory.count ||
        page_round(length) > page_round(memory.length))
        return (errno = EINVAL, MAP_FAILED);
    void* at = libc().mmap(addr, length, prot, flags, memory.memfd, offset);
    if (at == MAP_FAILED)
        return at;
    mapping m;
    m.start = reinterpret_cast<uintptr_t>(at);
    m.end = m.start + page_round(length);
    m.dev = h.dev;
    m.memory = d.memory;
    m.index = static_cast<unsigned>(index);
    ++memory.mapped[m.index];
    ++d.mappings;
    reg().mappings.push_back(std::move(m));
    g_mappings.store(static_cast<int>(reg().mappings.size()), std::memory_order_relaxed);
    return at;
}

void* mmap_any(void* addr, size_t length, int prot, int flags, int fd, off64_t offset, bool large)
{
    if (!(flags & MAP_ANONYMOUS) && emulated_fd(fd)) {
        void* at = map_node(addr, length, prot, flags, fd, offset);
        return at;
    }
    void* at = large ? libc().mmap64(addr, length, prot, flags, fd, offset)
                     : libc().mmap(addr, length, prot, flags, fd, static_cast<off_t>(offset));
    // A fixed mapping replaces whatever was there.
    if (at != MAP_FAILED && (flags & MAP_FIXED) && !t_holding && g_mappings.load(std::memory_order_relaxed) > 0) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(at);
        forget_range(start, start + page_round(length));
    }
    return at;
}

// What the node reports to poll(), as the V4L2 core and videobuf2 answer;
// `settled` when that cannot change without a call from the application
// (or an unplug), so that the real poll need not wait for it.
short node_events(const handle& h, short asked, bool& settled)
{
    const device& d = *h.dev;
    settled = true;
    if (!d.plugged)
        return static_cast<short>(POLLERR | POLLHUP | (asked & POLLPRI));
    if (!(asked & (POLLIN | POLLRDNORM))) {
        settled = false;
        return 0;
    }
    if (h.node != 0 || !d.streaming || d.error || d.waiting_for_buffers)
        return POLLERR;
    if (!d.done.empty())
        return static_cast<short>((POLLIN | POLLRDNORM) & asked);
    settled = false;
    return 0;
}

int64_t monotonic_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool any_emulated(const pollfd* fds, nfds_t count)
{
    for (nfds_t i = 0; i < count; ++i)
        if (emulated_fd(fds[i].fd))
            return true;
    return false;
}

// poll() or ppoll() over descriptors some of which are emulated: the real
// call waits on the pipes (which a buffer done, a STREAMOFF or an unplug
// make ready), then each emulated descriptor's events are replaced by the
// node's own. timeout_ns < 0: no limit.
int poll_nodes(pollfd* fds, nfds_t count, int64_t timeout_ns, const sigset_t* mask, bool with_mask)
{
    const int64_t deadline = timeout_ns < 0 ? -1 : monotonic_ns() + timeout_ns;
    for (;;) {
        bool settled = false;
        {
            held hold;
            for (nfds_t i = 0; i < count && !settled; ++i) {
                const auto found = marked_fd(fds[i].fd) ? reg().handles.find(fds[i].fd) : reg().handles.end();
                if (found != reg().handles.end())
                    node_events(*found->second, fds[i].events, settled);
            }
        }
        int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - monotonic_ns());
        if (settled)
            left = 0;
        int r;
        if (with_mask) {
            timespec wait{left / 1000000000, left % 1000000000};
            r = libc().ppoll(fds, count, left < 0 ? nullptr : &wait, mask);
        } else {
            const int ms = left < 0 ? -1 : static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, INT32_MAX));
            r = libc().poll(fds, count, ms);
        }
        if (r < 0)
            return r;
        int ready = 0;
        {
            held hold;
            for (nfds_t i = 0; i < count; ++i) {
                const auto found = marked_fd(fds[i].fd) ? reg().handles.find(fds[i].fd) : reg().handles.end();
                if (found != reg().handles.end()) {
                    bool ignored;
                    const short events = node_events(*found->second, fds[i].events, ignored);
                    fds[i].revents = static_cast<short>(events & (fds[i].events | POLLERR | POLLHUP));
                }
                ready += fds[i].revents != 0;
            }
        }
        if (ready > 0 || (deadline >= 0 && monotonic_ns() >= deadline))
            return ready;
        // Only a pipe woke it, for a change the node does not report: wait on.
    }
}

// An emulated node's stat: the placeholder's, made a character device.
template <typename Stat>
void as_node(Stat& st)
{
    held hold;
    for (auto& [n, d] : reg().devices)
        for (int i = 0; d->plugged && i < 2; ++i)
            if (d->node_stat[i].st_dev == st.st_dev && d->node_stat[i].st_ino == st.st_ino) {
                st.st_mode = d->node_stat[i].st_mode;
                st.st_rdev = d->node_stat[i].st_rdev;
                st.st_size = 0;
                st.st_blocks = 0;
                return;
            }
}

// fstat of an emulated descriptor: its node's, as when it was plugged.
template <typename Stat>
bool node_fstat(int fd, Stat& out)
{
    held hold;
    const auto found = reg().handles.find(fd);
    if (found == reg().handles.end())
        return false;
    const struct stat& st = found->second->dev->node_stat[found->second->node];
    out = Stat{};
    out.st_dev = st.st_dev;
    out.st_ino = st.st_ino;
    out.st_mode = st.st_mode;
    out.st_nlink = st.st_nlink;
    out.st_uid = st.st_uid;
    out.st_gid = st.st_gid;
    out.st_rdev = st.st_rdev;
    out.st_blksize = st.st_blksize;
    out.st_atim = st.st_atim;
    out.st_mtim = st.st_mtim;
    out.st_ctim = st.st_ctim;
    return true;
}

template <typename Stat>
int after_path_stat(int result, const char* path, Stat* buf)
{
    if (result == 0 && buf && may_be_node(path))
        as_node(*buf);
    return result;
}

bool empty_path(const char* path, int flags) { return (flags & AT_EMPTY_PATH) && path && path[0] == '\0'; }

// ---------------------------------------------------------------------------
// Plugging.

bool write_text(const std::string& path, const std::string& text)
{
    const int fd = libc().open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

bool exists(const std::string& path)
{
    struct stat st;
    return libc().lstat(path.c_str(), &st) == 0;
}

void remove_files(const device& d)
{
    for (int i = 0; i < 2; ++i) {
        for (const char* file : {"/name", "/index", "/dev"})
            ::unlink((d.entries[i] + file).c_str());
        ::rmdir(d.entries[i].c_str());
        ::unlink(d.nodes[i].c_str());
    }
}

bool valid(const fake_uvc_device& config)
{
    if (config.formats.empty() || config.card.empty())
        return false;
    for (const fake_uvc_format& f : config.formats) {
        if (f.fourcc == 0 || f.sizes.empty())
            return false;
        for (const fake_uvc_size& s : f.sizes) {
            if (s.width == 0 || s.height == 0 || s.width > 8192 || s.height > 8192 || s.fps.empty())
                return false;
            for (double fps : s.fps)
                if (!(fps >= 0.1 && fps <= 1000))
                    return false;
            if (s.default_fps > 0 && std::find(s.fps.begin(), s.fps.end(), s.default_fps) == s.fps.end())
                return false;
        }
    }
    return true;
}

std::shared_ptr<device> find_device(int n)
{
    const auto found = reg().devices.find(n);
    return found == reg().devices.end() ? nullptr : found->second;
}

fake_uvc_size size_of(uint32_t width, uint32_t height, std::vector<double> fps, double default_fps = 0)
{
    fake_uvc_size s;
    s.width = width;
    s.height = height;
    s.fps = std::move(fps);
    s.default_fps = default_fps;
    return s;
}

fake_uvc_format format_of(uint32_t fourcc, std::vector<fake_uvc_size> sizes)
{
    fake_uvc_format f;
    f.fourcc = fourcc;
    f.sizes = std::move(sizes);
    return f;
}

// The mode argument of an open, which callers pass only when it may
// create a file.
mode_t creation_mode(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The interposed functions.

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    const int fd = open_node(AT_FDCWD, path, flags);
    return fd != -2 ? fd : libc().open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    const int fd = open_node(AT_FDCWD, path, flags);
    return fd != -2 ? fd : libc().open64(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    const int fd = open_node(dirfd, path, flags);
    return fd != -2 ? fd : libc().openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    const int fd = open_node(dirfd, path, flags);
    return fd != -2 ? fd : libc().openat64(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    const int fd = open_node(AT_FDCWD, path, flags);
    return fd != -2 ? fd : libc().open_2(path, flags);
}

int __open64_2(const char* path, int flags)
{
    const int fd = open_node(AT_FDCWD, path, flags);
    return fd != -2 ? fd : libc().open64_2(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    const int fd = open_node(dirfd, path, flags);
    return fd != -2 ? fd : libc().openat_2(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    const int fd = open_node(dirfd, path, flags);
    return fd != -2 ? fd : libc().openat64_2(dirfd, path, flags);
}

int close(int fd)
{
    if (emulated_fd(fd))
        close_node(fd);
    return libc().close(fd);
}

ssize_t read(int fd, void* buf, size_t count)
{
    if (!emulated_fd(fd))
        return libc().read(fd, buf, count);
    held hold;
    const auto found = reg().handles.find(fd);
    if (found == reg().handles.end())
        return fail(EBADF);
    return fail(found->second->dev->plugged ? EINVAL : ENODEV);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen)
{
    if (!emulated_fd(fd))
        return libc().read_chk(fd, buf, count, buflen);
    if (count > buflen)
        __chk_fail();
    return read(fd, buf, count);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (!emulated_fd(fd))
        return libc().ioctl(fd, request, arg);
    // The file's own flags are the VFS's business, not the driver's.
    if (request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC)
        return libc().ioctl(fd, request, arg);
    return emulated_ioctl(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept
{
    return mmap_any(addr, length, prot, flags, fd, offset, false);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept
{
    return mmap_any(addr, length, prot, flags, fd, offset, true);
}

int munmap(void* addr, size_t length) noexcept
{
    const int r = libc().munmap(addr, length);
    if (r == 0 && !t_holding && g_mappings.load(std::memory_order_relaxed) > 0) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(addr);
        forget_range(start, start + page_round(length));
    }
    return r;
}

// glibc declares poll's array write-only, but its events are read: the
// compiler's guess that they are unset is wrong here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

int poll(struct pollfd* fds, nfds_t nfds, int timeout)
{
    if (!fds || !any_emulated(fds, nfds))
        return libc().poll(fds, nfds, timeout);
    return poll_nodes(fds, nfds, timeout < 0 ? -1 : int64_t{timeout} * 1000000, nullptr, false);
}

int __poll_chk(struct pollfd* fds, nfds_t nfds, int timeout, size_t fdslen)
{
    if (fdslen / sizeof *fds < nfds)
        __chk_fail();
    return poll(fds, nfds, timeout);
}

int ppoll(struct pollfd* fds, nfds_t nfds, const struct timespec* timeout, const sigset_t* mask)
{
    if (!fds || !any_emulated(fds, nfds))
        return libc().ppoll(fds, nfds, timeout, mask);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000))
        return fail(EINVAL);
    const int64_t ns = timeout ? static_cast<int64_t>(timeout->tv_sec) * 1000000000 + timeout->tv_nsec : -1;
    return poll_nodes(fds, nfds, ns, mask, true);
}

#pragma GCC diagnostic pop

int __ppoll_chk(struct pollfd* fds, nfds_t nfds, const struct timespec* timeout, const sigset_t* mask,
                size_t fdslen)
{
    if (fdslen / sizeof *fds < nfds)
        __chk_fail();
    return ppoll(fds, nfds, timeout, mask);
}

int stat(const char* path, struct stat* buf) noexcept { return after_path_stat(libc().stat(path, buf), path, buf); }

int stat64(const char* path, struct stat64* buf) noexcept
{
    return after_path_stat(libc().stat64(path, buf), path, buf);
}

int lstat(const char* path, struct stat* buf) noexcept { return after_path_stat(libc().lstat(path, buf), path, buf); }

int lstat64(const char* path, struct stat64* buf) noexcept
{
    return after_path_stat(libc().lstat64(path, buf), path, buf);
}

int fstat(int fd, struct stat* buf) noexcept
{
    if (emulated_fd(fd) && node_fstat(fd, *buf))
        return 0;
    return libc().fstat(fd, buf);
}

int fstat64(int fd, struct stat64* buf) noexcept
{
    if (emulated_fd(fd) && node_fstat(fd, *buf))
        return 0;
    return libc().fstat64(fd, buf);
}

int fstatat(int dirfd, const char* path, struct stat* buf, int flags) noexcept
{
    if (empty_path(path, flags) && emulated_fd(dirfd) && node_fstat(dirfd, *buf))
        return 0;
    return after_path_stat(libc().fstatat(dirfd, path, buf, flags), path, buf);
}

int fstatat64(int dirfd, const char* path, struct stat64* buf, int flags) noexcept
{
    if (empty_path(path, flags) && emulated_fd(dirfd) && node_fstat(dirfd, *buf))
        return 0;
    return after_path_stat(libc().fstatat64(dirfd, path, buf, flags), path, buf);
}

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf) noexcept
{
    const int r = libc().statx(dirfd, path, flags, mask, buf);
    if (r != 0)
        return r;
    struct stat st{};
    bool node = false;
    if (empty_path(path, flags) && emulated_fd(dirfd)) {
        node = node_fstat(dirfd, st);
    } else if (may_be_node(path)) {
        st.st_dev = makedev(buf->stx_dev_major, buf->stx_dev_minor);
        st.st_ino = buf->stx_ino;
        st.st_mode = 0;
        as_node(st);
        node = S_ISCHR(st.st_mode);
    }
    if (node) {
        buf->stx_mode = static_cast<uint16_t>(st.st_mode);
        buf->stx_ino = st.st_ino;
        buf->stx_dev_major = major(st.st_dev);
        buf->stx_dev_minor = minor(st.st_dev);
        buf->stx_rdev_major = major(st.st_rdev);
        buf->stx_rdev_minor = minor(st.st_rdev);
        buf->stx_size = 0;
        buf->stx_blocks = 0;
    }
    return r;
}

int __xstat(int ver, const char* path, struct stat* buf)
{
    return after_path_stat(libc().xstat(ver, path, buf), path, buf);
}

int __xstat64(int ver, const char* path, struct stat64* buf)
{
    return after_path_stat(libc().xstat64(ver, path, buf), path, buf);
}

int __lxstat(int ver, const char* path, struct stat* buf)
{
    return after_path_stat(libc().lxstat(ver, path, buf), path, buf);
}

int __lxstat64(int ver, const char* path, struct stat64* buf)
{
    return after_path_stat(libc().lxstat64(ver, path, buf), path, buf);
}

int __fxstat(int ver, int fd, struct stat* buf)
{
    if (emulated_fd(fd) && buf && node_fstat(fd, *buf))
        return 0;
    return libc().fxstat(ver, fd, buf);
}

int __fxstat64(int ver, int fd, struct stat64* buf)
{
    if (emulated_fd(fd) && buf && node_fstat(fd, *buf))
        return 0;
    return libc().fxstat64(ver, fd, buf);
}

int __fxstatat(int ver, int dirfd, const char* path, struct stat* buf, int flags)
{
    if (empty_path(path, flags) && emulated_fd(dirfd) && buf && node_fstat(dirfd, *buf))
        return 0;
    return after_path_stat(libc().fxstatat(ver, dirfd, path, buf, flags), path, buf);
}

int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* buf, int flags)
{
    if (empty_path(path, flags) && emulated_fd(dirfd) && buf && node_fstat(dirfd, *buf))
        return 0;
    return after_path_stat(libc().fxstatat64(ver, dirfd, path, buf, flags), path, buf);
}

// ---------------------------------------------------------------------------
// The sticks' API.

const fake_uvc_device* fake_uvc_cheap_usb2(void)
{
    static const fake_uvc_device stick = [] {
        fake_uvc_device d;
        d.formats = {format_of(V4L2_PIX_FMT_MJPEG, {size_of(1920, 1080, {60, 50, 30}), size_of(1280, 720, {60, 50, 30}),
                                                    size_of(640, 480, {60, 30})}),
                     format_of(V4L2_PIX_FMT_YUYV, {size_of(1920, 1080, {5}), size_of(1280, 720, {10}),
                                                   size_of(640, 480, {30})})};
        return d;
    }();
    return &stick;
}

const fake_uvc_device* fake_uvc_usb3(void)
{
    static const fake_uvc_device stick = [] {
        fake_uvc_device d;
        for (uint32_t fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV})
            d.formats.push_back(format_of(fourcc, {size_of(1920, 1080, {60, 50, 30}), size_of(1280, 720, {60, 50, 30}),
                                                   size_of(640, 480, {60, 30})}));
        return d;
    }();
    return &stick;
}

const fake_uvc_device* fake_uvc_no_1080p(void)
{
    static const fake_uvc_device stick = [] {
        fake_uvc_device d;
        d.formats = {format_of(V4L2_PIX_FMT_MJPEG, {size_of(1280, 720, {60, 30}, 30), size_of(640, 480, {60, 30})}),
                     format_of(V4L2_PIX_FMT_YUYV, {size_of(1280, 720, {10})})};
        return d;
    }();
    return &stick;
}

int fake_uvc_plug(const char* class_root, const char* dev_root, const fake_uvc_device* config)
{
    if (!class_root || !dev_root || !config || !valid(*config))
        return -1;
    std::string node;
    int n = -1;
    {
        held hold;
        ::mkdir(class_root, 0755);
        const std::string classes = class_root, devs = dev_root;
        const auto taken = [&](int k) {
            const auto d = find_device(k);
            return (d && d->plugged) || exists(classes + "/video" + std::to_string(k)) ||
                   exists(devs + "/video" + std::to_string(k));
        };
        for (int k = 0; k + 1 < 256 && n < 0; k += 2)
            if (!taken(k) && !taken(k + 1))
                n = k;
        if (n < 0)
            return -1;
        auto d = std::make_shared<device>();
        d->n = n;
        d->config = *config;
        d->interval = default_interval(d->config.formats[0].sizes[0]);
        bool made = true;
        for (int i = 0; i < 2; ++i) {
            const std::string name = "video" + std::to_string(n + i);
            d->entries[i] = classes + "/" + name;
            d->nodes[i] = devs + "/" + name;
            const std::string numbers = std::to_string(kVideoMajor) + ":" + std::to_string(n + i) + "\n";
            made = made && ::mkdir(d->entries[i].c_str(), 0755) == 0 &&
                   write_text(d->entries[i] + "/name", d->config.card + "\n") &&
                   write_text(d->entries[i] + "/index", std::to_string(i) + "\n") &&
                   write_text(d->entries[i] + "/dev", numbers) &&
                   write_text(d->nodes[i], "") && libc().stat(d->nodes[i].c_str(), &d->node_stat[i]) == 0;
            d->node_stat[i].st_mode = S_IFCHR | 0660;
            d->node_stat[i].st_rdev = makedev(kVideoMajor, static_cast<unsigned>(n + i));
            d->node_stat[i].st_size = 0;
            d->node_stat[i].st_blocks = 0;
        }
        if (!made) {
            remove_files(*d);
            return -1;
        }
        reg().devices[n] = d;
        g_plugged.fetch_add(1);
        node = d->nodes[0];
    }
    // Through the process's own symbol search, as the application calls it.
    using stat_call = int (*)(const char*, struct stat*);
    const auto process_stat = reinterpret_cast<stat_call>(::dlsym(RTLD_DEFAULT, "stat"));
    struct stat st{};
    if (!process_stat || process_stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        std::fprintf(stderr, "fake_uvc: the process does not call this library's stat(): it must come before libc "
                             "(link it, or name it in LD_PRELOAD after any sanitizer runtime)\n");
        fake_uvc_forget(n);
        return -1;
    }
    return n;
}

void fake_uvc_unplug(int n)
{
    std::unique_ptr<producer> stopped;
    std::vector<int> wakes;
    {
        held hold;
        const auto d = find_device(n);
        if (!d || !d->plugged)
            return;
        d->plugged = false;
        g_plugged.fetch_sub(1);
        remove_files(*d);
        stopped = stop_frames(*d);
        // The queue stays as it is until the owner closes; what was queued
        // is returned as failed, and a DQBUF in progress gives up.
        if (d->streaming) {
            d->error = true;
            for (unsigned index : d->queued) {
                d->buffers[index].state = buffer_slot::done;
                d->buffers[index].error = true;
                d->buffers[index].bytesused = 0;
                d->done.push_back(index);
            }
            d->queued.clear();
        }
        // A closed write end wakes every poll on the read ends.
        for (handle* h : d->handles) {
            wakes.push_back(h->wake);
            h->wake = -1;
        }
        d->changed.notify_all();
    }
    for (int fd : wakes)
        if (fd >= 0)
            ::close(fd);
    if (stopped)
        stopped->thread.join();
}

void fake_uvc_set_signal(int n, bool on)
{
    held hold;
    if (const auto d = find_device(n))
        d->signal = on;
}

fake_uvc_stats fake_uvc_stats_of(int n)
{
    fake_uvc_stats stats{};
    held hold;
    const auto d = find_device(n);
    if (!d)
        return stats;
    stats.open_fds = static_cast<int>(d->handles.size());
    stats.mappings = d->mappings;
    stats.delivered = d->delivered;
    stats.dequeued = d->dequeued;
    stats.dropped = d->dropped;
    stats.plugged = d->plugged;
    stats.streaming = d->streaming && d->plugged;
    stats.signal = d->signal;
    stats.fourcc = current_format(*d).fourcc;
    stats.width = current_size(*d).width;
    stats.height = current_size(*d).height;
    stats.interval_num = d->interval;
    stats.interval_den = kIntervalUnits;
    simplify(stats.interval_num, stats.interval_den);
    stats.streamons = d->streamons;
    stats.producer_cpu_ns = d->producer_cpu_ns;
    return stats;
}

void fake_uvc_forget(int n)
{
    fake_uvc_unplug(n);
    held hold;
    reg().devices.erase(n);
}

void fake_uvc_reset(void)
{
    std::vector<int> all;
    {
        held hold;
        for (const auto& [n, d] : reg().devices)
            all.push_back(n);
    }
    for (int n : all)
        fake_uvc_forget(n);
}

}  // extern "C"
