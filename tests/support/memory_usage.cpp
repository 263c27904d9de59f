#include "tests/support/memory_usage.h"

#include <fstream>
#include <string>

namespace recvhtml::test {

namespace {

std::size_t StatusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == name + ":") {
            std::size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

}  // namespace

std::size_t CurrentRssBytes() {
    return StatusField("VmRSS");
}

std::size_t PeakRssBytes() {
    return StatusField("VmHWM");
}

bool ResetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // resets the peak resident set size to the current one
    clear.flush();
    return static_cast<bool>(clear);
}

}  // namespace recvhtml::test
