// The viewer with a virtual capture stick, so that anyone can watch live
// video without the hardware. The stick's sound is virtual too (a tone that
// goes nowhere): the machine's own microphone is not played back through
// its speakers. Options (the product takes none):
//   --no-device   no stick: the no-signal screen
//   --file PATH   frames from a video file instead of the test pattern; only
//                 a regular file is taken, anything else ends the demo
#include "Pipe.h"
#include "TessalyApp.h"

#include <videoinput.h>
#include <wavevirtual.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    // The dialog opens the stick, and with it the file, on the user-interface
    // thread: a pipe or a device there could block it for good. stat opens
    // nothing, so this check cannot block.
    if (!stick.file.empty()) {
        struct stat st;
        const char* problem = nullptr;
        if (::stat(stick.file.c_str(), &st) != 0)
            problem = std::strerror(errno);
        else if (!S_ISREG(st.st_mode))
            problem = "not a regular file";
        if (problem) {
            std::fprintf(stderr, "vistamo-demo: --file %s: %s\n", stick.file.c_str(), problem);
            // Before the entry point: nothing is open yet that needs closing.
            std::_Exit(2);
        }
    }
    wave_virtual_install(wave_virtual_config{});
    return video_input_add_virtual(stick);
}();

}  // namespace
