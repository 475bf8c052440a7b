// Capturing debug output (layer-internal, for tests and tools).
//
// OutputDebugStringA always writes to standard error. A sink, if set, also
// receives every text, on the thread that wrote it; the sink is called with
// no lock of the layer held, so it may itself log or block briefly.
#pragma once

#include <functional>
#include <string>

void debug_output_set_sink(std::function<void(const std::string&)> sink);
