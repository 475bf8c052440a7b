#include "glibc_heap.h"

#include <malloc.h>

void glibc_heap_for_frames()
{
    // Every frame allocates and frees buffers of several megabytes (the
    // frame, the presentation's copy). By default the allocator maps and
    // unmaps each one, and faulting its pages in again costs more than
    // drawing the frame: keep such blocks in the heap instead.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}
