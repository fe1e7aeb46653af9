#pragma once

#include <string>
#include <vector>

// What the process under test is to miss in its GL driver; see DriverFaults.cpp.
struct DriverFaults {
    std::string hiddenExtensions;  // comma-separated extension names
    bool hideGl20 = false;
    bool hideVersion = false;
    std::string egl{};  // gpu, broken-gpu or none
};

struct ProcessResult {
    int exitStatus = -1;  // -1 when the process did not exit on its own
    std::string standardOutput;
    std::string standardError;
};

// Runs program with arguments as a child process with the driver-fault library
// preloaded, and waits for it.
ProcessResult RunWithDriverFaults(const std::string& program, const std::vector<std::string>& arguments,
                                  const DriverFaults& faults);
