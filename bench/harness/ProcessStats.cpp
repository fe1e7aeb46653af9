#include "ProcessStats.h"

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "gpu/Framework.h"
#include "gpu/ResourcePool.h"

namespace perf {

long long ResidentKiB() {
    long long pages = 0, resident = 0;
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return -1;
    const int read = std::fscanf(file, "%lld %lld", &pages, &resident);
    std::fclose(file);
    if (read != 2) return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long long HeapInUse() { return static_cast<long long>(mallinfo2().uordblks); }

int PoolTextures() {
    return g_resourcePool ? static_cast<int>(g_resourcePool->Textures().size()) : 0;
}

int PoolFramebuffers() {
    return g_resourcePool ? static_cast<int>(g_resourcePool->Framebuffers().size()) : 0;
}

bool AllFinite(const std::vector<float>& values) {
    for (float value : values)
        if (!std::isfinite(value)) return false;
    return true;
}

float MaxAbs(const std::vector<float>& values) {
    float largest = 0.0f;
    for (float value : values) largest = std::fmax(largest, std::fabs(value));
    return largest;
}

}  // namespace perf
