// Linked into every test of the ThreadSanitizer build: OpenCV's thread pool
// hands work back through code ThreadSanitizer does not see, so each
// process holds OpenCV to its calling thread (a band loop then runs the
// bands one after another, and a large copy happens where it is asked).
#include <opencv2/core/utility.hpp>

namespace {

const bool serial = [] {
    cv::setNumThreads(1);
    return true;
}();

}  // namespace
