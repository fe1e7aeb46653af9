#include "gpu/HeadlessContext.h"
#include "support/GlTestMain.h"

namespace {
HeadlessContext g_context;  // closed at exit, after main has shut the framework down
}

bool OpenTestContext(int*, char**) { return g_context.Open(); }
