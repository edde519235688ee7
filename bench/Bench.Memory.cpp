#include "Bench.Memory.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace Bench {

long ProcessStatusKiB(const char* Field) {
    std::ifstream In("/proc/self/status");
    std::string Line;
    while (std::getline(In, Line))
        if (Line.rfind(Field, 0) == 0) return std::atol(Line.c_str() + std::strlen(Field));
    return 0;
}

TPeakGrowth::TPeakGrowth() {
    // "5" resets the peak resident size (VmHWM) to the current one.
    std::ofstream("/proc/self/clear_refs") << "5";
    FStartKiB = ProcessStatusKiB("VmRSS:");
}

double TPeakGrowth::MiB() const {
    return static_cast<double>(ProcessStatusKiB("VmHWM:") - FStartKiB) / 1024.0;
}

}  // namespace Bench
