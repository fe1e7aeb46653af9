#pragma once

// Counts, for the whole process, the GL calls that create or delete GL
// objects and the ones that read data back to the host. Calls through the
// OpenGL 1.1 entry points are interposed by definitions in this executable;
// the ones GLEW loads are wrapped in GLEW's function pointers, so Install
// must run after the last glewInit (the framework's start-up).
namespace perf {

struct GlObjectCounts {
    long long created = 0;    // textures, framebuffers, renderbuffers, buffers, shaders, programs, queries, lists
    long long deleted = 0;
    long long readBacks = 0;  // glReadPixels, glGetTexImage and their relatives
    long long passes = 0;     // glBegin: one per pass in this framework

    GlObjectCounts operator-(const GlObjectCounts& start) const {
        return {created - start.created, deleted - start.deleted, readBacks - start.readBacks,
                passes - start.passes};
    }
};

class GlObjectCounter {
public:
    static void Install();
    static GlObjectCounts Counts();
};

}  // namespace perf
