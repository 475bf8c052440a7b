// The cursor's display count.
#include "user_internal.h"

namespace {

thread_local int t_cursor_count = 0;

}  // namespace

int ShowCursor(BOOL show)
{
    t_cursor_count += show ? 1 : -1;
    return t_cursor_count;
}
