#include "FaultyDriverProcess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string Contents(FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    return text;
}

std::vector<char*> NullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ProcessResult RunWithDriverFaults(const std::string& program, const std::vector<std::string>& arguments,
                                  const DriverFaults& faults) {
    const File output(std::tmpfile(), std::fclose), error(std::tmpfile(), std::fclose);
    if (!output || !error) throw std::runtime_error("cannot create a temporary file");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(output.get()), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(error.get()), STDERR_FILENO);

    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    // This process's environment with the faults replacing any it already had.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0 && std::strncmp(*entry, "ZENTOR_FAULT_", 13) != 0)
            environment.emplace_back(*entry);
    environment.push_back(std::string("LD_PRELOAD=") + ZENTOR_DRIVER_FAULTS_LIBRARY);
    if (!faults.hiddenExtensions.empty())
        environment.push_back("ZENTOR_FAULT_HIDE_EXTENSIONS=" + faults.hiddenExtensions);
    if (faults.hideGl20) environment.emplace_back("ZENTOR_FAULT_HIDE_GL20=1");
    if (faults.hideVersion) environment.emplace_back("ZENTOR_FAULT_NO_VERSION=1");
    if (!faults.egl.empty()) environment.push_back("ZENTOR_FAULT_EGL=" + faults.egl);
    std::vector<char*> argv = NullTerminated(argumentTexts), envp = NullTerminated(environment);

    pid_t child = 0;
    const int spawnError = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawnError));
    int status = 0;
    while (waitpid(child, &status, 0) == -1)
        if (errno != EINTR) throw std::runtime_error("lost child " + program);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Contents(output.get()), Contents(error.get())};
}
