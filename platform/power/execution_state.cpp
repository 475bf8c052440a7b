// Keeping the system and the display awake.
#include <windows.h>

#include <atomic>

namespace {

std::atomic<EXECUTION_STATE> g_state{ES_CONTINUOUS};

}  // namespace

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags)
{
    if (!(flags & ES_CONTINUOUS))
        return g_state.load();
    return g_state.exchange(flags);
}
