// The Motion-JPEG encoder of the virtual sticks, the emulated V4L2 sticks,
// the tests and the benchmarks: frames as capture sticks send them, through
// libjpeg's own API, which can put a restart marker after every row of
// blocks (the TurboJPEG API cannot). It uses nothing of the layer, so that
// the emulated sticks' preloaded library can build it in too.
#include "mjpeg_encode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// Errors of the encoder come back here instead of ending the process.
struct jpeg_failure {
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

[[noreturn]] void jpeg_fail(j_common_ptr c) { std::longjmp(reinterpret_cast<jpeg_failure*>(c->err)->back, 1); }

void jpeg_quiet(j_common_ptr, int) {}

}  // namespace

std::vector<uint8_t> capture_encode_mjpeg(const cv::Mat& bgr)
{
    std::vector<uint8_t> out;
    if (bgr.empty() || bgr.type() != CV_8UC3)
        return out;
    jpeg_compress_struct c{};
    jpeg_failure failure{};
    c.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpeg_fail;
    failure.manager.emit_message = jpeg_quiet;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(failure.back) == 0) {
        jpeg_create_compress(&c);
        jpeg_mem_dest(&c, &buffer, &size);
        c.image_width = static_cast<JDIMENSION>(bgr.cols);
        c.image_height = static_cast<JDIMENSION>(bgr.rows);
        c.input_components = 3;
        c.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&c);
        jpeg_set_quality(&c, 90, TRUE);
        c.comp_info[0].h_samp_factor = 2;
        c.comp_info[0].v_samp_factor = 1;
        c.restart_in_rows = 1;
        jpeg_start_compress(&c, TRUE);
        while (c.next_scanline < c.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(bgr.ptr<uint8_t>(static_cast<int>(c.next_scanline)));
            jpeg_write_scanlines(&c, &row, 1);
        }
        jpeg_finish_compress(&c);
        out.assign(buffer, buffer + size);
    }
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return out;
}
