#include "FaultyDriverProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

// A file the child writes one of its streams to; removed when done.
class CaptureFile {
public:
    CaptureFile() : path_(TemporaryDirectory() + "/zentor-capture-XXXXXX") {
        const int descriptor = mkstemp(path_.data());
        if (descriptor == -1) throw std::runtime_error("cannot create " + path_);
        close(descriptor);
    }
    ~CaptureFile() { std::remove(path_.c_str()); }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    const char* Path() const { return path_.c_str(); }
    std::string Contents() const {
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    static std::string TemporaryDirectory() {
        const char* directory = std::getenv("TMPDIR");
        return directory != nullptr && *directory != '\0' ? directory : "/tmp";
    }

    std::string path_;
};

bool IsFaultVariable(const char* entry) {
    return std::strncmp(entry, "LD_PRELOAD=", 11) == 0 || std::strncmp(entry, "ZENTOR_FAULT_", 13) == 0;
}

// This process's environment with the faults replacing any it already had.
std::vector<std::string> FaultEnvironment(const DriverFaults& faults) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!IsFaultVariable(*entry)) environment.emplace_back(*entry);
    environment.push_back(std::string("LD_PRELOAD=") + ZENTOR_DRIVER_FAULTS_LIBRARY);
    if (!faults.hiddenExtensions.empty())
        environment.push_back("ZENTOR_FAULT_HIDE_EXTENSIONS=" + faults.hiddenExtensions);
    if (faults.hideGl20) environment.emplace_back("ZENTOR_FAULT_HIDE_GL20=1");
    if (faults.hideVersion) environment.emplace_back("ZENTOR_FAULT_NO_VERSION=1");
    return environment;
}

std::vector<char*> NullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int ExitStatus(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

}  // namespace

ProcessResult RunWithDriverFaults(const std::string& program, const std::vector<std::string>& arguments,
                                  const DriverFaults& faults) {
    CaptureFile output, error;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.Path(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error.Path(), O_WRONLY | O_TRUNC, 0);

    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = FaultEnvironment(faults);
    std::vector<char*> argv = NullTerminated(argumentTexts);
    std::vector<char*> envp = NullTerminated(environmentTexts);

    pid_t child = 0;
    const int spawnError = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawnError));

    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) == -1) {
        if (errno != EINTR) throw std::runtime_error("lost child " + program);
    }
    ProcessResult result;
    result.exitStatus = ExitStatus(waitStatus);
    result.standardOutput = output.Contents();
    result.standardError = error.Contents();
    return result;
}
