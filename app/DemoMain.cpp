// The viewer with a virtual capture stick, so that anyone can watch live
// video without the hardware. The stick's sound is virtual too (a tone that
// goes nowhere): the machine's own microphone is not played back through
// its speakers. Options (the product takes none):
//   --no-device   no stick: the no-signal screen
//   --file PATH   frames from a video file instead of the test pattern
#include "Pipe.h"
#include "TessalyApp.h"

#include <videoinput.h>
#include <wavevirtual.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

CTessalyApp theApp;
CPipe g_AudioPipe;
UINT g_UserMessage = ::RegisterWindowMessageW(L"User");

namespace {

std::vector<std::string> arguments()
{
    // Read before the entry point, from the kernel's copy of the command line.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

// Plugged in before the dialog searches for it.
const int g_demoDevice = [] {
    video_input_virtual_device stick;
    const auto args = arguments();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--no-device")
            return 0;
        if (args[i] == "--file" && i + 1 < args.size())
            stick.file = args[++i];
    }
    wave_virtual_install(wave_virtual_config{});
    return video_input_add_virtual(stick);
}();

}  // namespace
