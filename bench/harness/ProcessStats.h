#pragma once

#include <vector>

namespace perf {

// Resident set size of this process, in KiB (from /proc/self/statm).
long long ResidentKiB();
// Bytes the C heap has handed out and not yet got back, all arenas.
long long HeapInUse();
// Pool entries: textures and framebuffer objects known to the framework.
int PoolTextures();
int PoolFramebuffers();

bool AllFinite(const std::vector<float>& values);
float MaxAbs(const std::vector<float>& values);

}  // namespace perf
