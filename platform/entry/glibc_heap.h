// Process-wide heap tuning for programs that move video frames (layer-
// internal): the viewer's entry point, and the benchmarks that measure its
// frame path, which must run under the same allocator settings.
#pragma once

// Keeps blocks of up to 64 MB in glibc's heap instead of mapping and
// unmapping each one. Call once, first thing in main, before any thread.
void glibc_heap_for_frames();
