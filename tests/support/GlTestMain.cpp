#include "support/GlTestMain.h"

#include "gpu/Framework.h"

#include <cstdio>

void GlTest::TearDown() {
    const GLenum error = glGetError();
    EXPECT_EQ(error, static_cast<GLenum>(GL_NO_ERROR)) << "test left GL error 0x" << std::hex << error;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!OpenTestContext(&argc, argv)) return 1;
    if (!InitFramework()) {
        std::fprintf(stderr, "the framework cannot initialise on this GL\n");
        return 1;
    }
    // The first shader program would otherwise run glewInit again mid-test and
    // reset GLEW's entry points under any call counter wrapping them.
    CheckGlslSupport();
    const int result = RUN_ALL_TESTS();
    ShutdownFramework();
    return result;
}
