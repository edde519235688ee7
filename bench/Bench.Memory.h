#pragma once
// Bench.Memory: how much the process's peak memory grows over one piece of work, read from
// /proc/self/status after the kernel's high-water mark has been rewound to the current size:
//
//     Bench::TPeakGrowth Peak;        // rewinds the mark
//     Work();
//     Largest = std::max(Largest, Peak.MiB());

namespace Bench {

/// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"); 0 when it cannot be read.
long ProcessStatusKiB(const char* Field);

/// The growth of the process's peak resident memory from construction on.
class TPeakGrowth {
  public:
    TPeakGrowth();
    /// MiB the peak has risen above the resident size at construction.
    double MiB() const;

  private:
    long FStartKiB;  // the resident size when the mark was rewound
};

}  // namespace Bench
