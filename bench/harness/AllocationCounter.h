#pragma once

#include <string>
#include <vector>

// Counts heap allocations (malloc, calloc, realloc, the aligned forms, and so
// operator new, which goes through malloc) made while counting is on, and
// tells whose they are: the innermost caller outside the C and C++ runtimes
// is either this executable (the framework and demo code are linked into it
// statically) or some shared library (the GL driver, X, GLUT). Allocations go
// on as usual; only their count is taken. Thread-safe: the driver's worker
// threads allocate too.
namespace perf {

struct AllocationReport {
    long long ours = 0;        // innermost non-runtime caller in this executable
    long long others = 0;      // in a shared library
    long long bytesOurs = 0;
    long long bytesOthers = 0;
    // "library or function: count", most frequent first, from a sample of calls.
    std::vector<std::string> sites;
};

class AllocationCounter {
public:
    // Learns where the runtimes live and primes the unwinder; call once GL is
    // up (its libraries are loaded by then) and before Start.
    static void Install();
    static void Start();   // from zero
    static void Pause();
    static void Resume();  // counting on, the counts so far kept
    static AllocationReport Report();
};

}  // namespace perf
