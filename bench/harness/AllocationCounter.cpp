#include "AllocationCounter.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace perf {
namespace {

struct Range {
    uintptr_t begin = 0, end = 0;
    bool Contains(uintptr_t address) const { return address >= begin && address < end; }
};

constexpr int kMaxRuntimeRanges = 32;
Range g_executable;
Range g_runtime[kMaxRuntimeRanges];
int g_runtimeCount = 0;

std::atomic<bool> g_counting{false};
std::atomic<long long> g_ours{0}, g_others{0}, g_bytesOurs{0}, g_bytesOthers{0};

constexpr int kMaxSamples = 4096;
std::atomic<int> g_sampleCount{0};
uintptr_t g_samples[kMaxSamples];

thread_local bool t_inHook = false;

bool IsRuntime(const char* path) {
    const char* name = std::strrchr(path, '/');
    name = name ? name + 1 : path;
    static const char* const kRuntimes[] = {"libc.so", "libc-", "libstdc++.so", "libgcc_s.so", "libm.so",
                                            "ld-linux", "libpthread.so"};
    for (const char* runtime : kRuntimes)
        if (std::strncmp(name, runtime, std::strlen(runtime)) == 0) return true;
    return false;
}

int CollectRanges(dl_phdr_info* info, size_t, void* data) {
    const bool executable = *static_cast<int*>(data) == 0;
    *static_cast<int*>(data) += 1;
    const bool runtime = !executable && IsRuntime(info->dlpi_name);
    if (!executable && !runtime) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || !(header.p_flags & PF_X)) continue;
        Range range{info->dlpi_addr + header.p_vaddr, info->dlpi_addr + header.p_vaddr + header.p_memsz};
        if (executable)
            g_executable = range;
        else if (g_runtimeCount < kMaxRuntimeRanges)
            g_runtime[g_runtimeCount++] = range;
    }
    return 0;
}

bool InRuntime(uintptr_t address) {
    for (int i = 0; i < g_runtimeCount; ++i)
        if (g_runtime[i].Contains(address)) return true;
    return false;
}

// frames[0] is in Record, frames[1] in the interposed allocator: the caller
// starts at frames[2].
__attribute__((noinline)) void Record(size_t size) {
    if (t_inHook) return;
    t_inHook = true;
    void* frames[24];
    const int depth = backtrace(frames, 24);
    uintptr_t owner = 0;
    for (int i = 2; i < depth; ++i) {
        const auto address = reinterpret_cast<uintptr_t>(frames[i]);
        if (!InRuntime(address)) {
            owner = address;
            break;
        }
    }
    if (g_executable.Contains(owner)) {
        g_ours.fetch_add(1, std::memory_order_relaxed);
        g_bytesOurs.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    } else {
        g_others.fetch_add(1, std::memory_order_relaxed);
        g_bytesOthers.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    }
    const int slot = g_sampleCount.fetch_add(1, std::memory_order_relaxed);
    if (slot < kMaxSamples) g_samples[slot] = owner;
    t_inHook = false;
}

inline void Count(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) Record(size);
}

std::string SiteName(uintptr_t address) {
    Dl_info info{};
    if (address == 0 || dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fname == nullptr)
        return "unknown";
    if (g_executable.Contains(address)) return info.dli_sname ? info.dli_sname : "this executable";
    const char* name = std::strrchr(info.dli_fname, '/');
    return name ? name + 1 : info.dli_fname;
}

}  // namespace

void AllocationCounter::Install() {
    int index = 0;
    dl_iterate_phdr(CollectRanges, &index);
    // The first backtrace loads the unwinder, which allocates.
    void* frames[4];
    backtrace(frames, 4);
}

void AllocationCounter::Start() {
    g_ours = g_others = g_bytesOurs = g_bytesOthers = 0;
    g_sampleCount = 0;
    g_counting = true;
}

void AllocationCounter::Pause() { g_counting = false; }

void AllocationCounter::Resume() { g_counting = true; }

AllocationReport AllocationCounter::Report() {
    const bool counting = g_counting.exchange(false);
    AllocationReport report;
    report.ours = g_ours;
    report.others = g_others;
    report.bytesOurs = g_bytesOurs;
    report.bytesOthers = g_bytesOthers;
    std::map<std::string, long long> sites;
    const int samples = std::min(g_sampleCount.load(), kMaxSamples);
    for (int i = 0; i < samples; ++i) ++sites[SiteName(g_samples[i])];
    std::vector<std::pair<long long, std::string>> ordered;
    for (const auto& site : sites) ordered.emplace_back(site.second, site.first);
    std::sort(ordered.rbegin(), ordered.rend());
    for (const auto& site : ordered) report.sites.push_back(site.second + ": " + std::to_string(site.first));
    g_counting = counting;
    return report;
}

}  // namespace perf

// The allocator entry points of this executable take precedence over the C
// library's for every caller in the process, shared libraries included.
extern "C" {

void* malloc(size_t size) {
    perf::Count(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    perf::Count(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    perf::Count(size);
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    perf::Count(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    perf::Count(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    perf::Count(size);
    void* memory = __libc_memalign(alignment, size);
    if (memory == nullptr) return ENOMEM;
    *result = memory;
    return 0;
}

}  // extern "C"
