#include "PassCounter.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {
long long g_begins = 0;
}

extern "C" void GLAPIENTRY glBegin(GLenum mode) {
    static auto real = reinterpret_cast<void(GLAPIENTRY*)(GLenum)>(dlsym(RTLD_NEXT, "glBegin"));
    if (real == nullptr) {
        std::fprintf(stderr, "PassCounter: glBegin not found\n");
        std::abort();
    }
    ++g_begins;
    real(mode);
}

PassCounter::PassCounter() : startPasses_(g_begins) {
    glGenQueries(1, &query_);
    glBeginQuery(GL_SAMPLES_PASSED, query_);
}

PassCounter::~PassCounter() {
    if (!taken_) glEndQuery(GL_SAMPLES_PASSED);
    glDeleteQueries(1, &query_);
}

PassCounter::Counts PassCounter::Take() {
    glEndQuery(GL_SAMPLES_PASSED);
    taken_ = true;
    GLuint64 samples = 0;
    glGetQueryObjectui64v(query_, GL_QUERY_RESULT, &samples);
    return {g_begins - startPasses_, static_cast<long long>(samples)};
}
