// The headless context with the demo's scene built: the tests compare the
// scene's own frame with the benchmarks' rebuilt one.
#include <gtest/gtest.h>

#include "GlContext.h"
#include "app/Scene.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!perf::OpenHeadlessContext()) return 1;
    InitScene();
    const int result = RUN_ALL_TESTS();
    DestroyScene();
    return result;
}
