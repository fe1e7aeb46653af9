// The headless context of the browser build: a WebGL 2 context on a canvas
// of its own that the page never shows.
#include <emscripten/emscripten.h>
#include <emscripten/html5.h>

#include <cstdint>
#include <cstdio>

#include "gpu/HeadlessContext.h"

namespace {

const char* const kCanvasSelector = "#zentor-headless-canvas";

void AddHiddenCanvas() {
    EM_ASM({
        if (document.getElementById('zentor-headless-canvas')) return;
        var canvas = document.createElement('canvas');
        canvas.id = 'zentor-headless-canvas';
        canvas.width = 1;
        canvas.height = 1;
        canvas.style.display = 'none';
        document.body.appendChild(canvas);
    });
}

EMSCRIPTEN_WEBGL_CONTEXT_HANDLE HandleOf(void* context) {
    return static_cast<EMSCRIPTEN_WEBGL_CONTEXT_HANDLE>(reinterpret_cast<intptr_t>(context));
}

}  // namespace

bool HeadlessContext::Open() {
    if (IsOpen()) return true;
    AddHiddenCanvas();
    EmscriptenWebGLContextAttributes attributes;
    emscripten_webgl_init_context_attributes(&attributes);
    attributes.majorVersion = 2;
    attributes.minorVersion = 0;
    attributes.alpha = false;
    attributes.depth = false;
    attributes.antialias = false;
    const EMSCRIPTEN_WEBGL_CONTEXT_HANDLE handle = emscripten_webgl_create_context(kCanvasSelector, &attributes);
    if (handle <= 0 || emscripten_webgl_make_context_current(handle) != EMSCRIPTEN_RESULT_SUCCESS) {
        if (handle > 0) emscripten_webgl_destroy_context(handle);
        std::fprintf(stderr, "HeadlessContext::Open: the browser gives no WebGL 2 context\n");
        return false;
    }
    context_ = reinterpret_cast<void*>(static_cast<intptr_t>(handle));
    platform_ = "webgl2";
    return true;
}

void HeadlessContext::Close() {
    if (!IsOpen()) return;
    emscripten_webgl_make_context_current(0);
    emscripten_webgl_destroy_context(HandleOf(context_));
    context_ = nullptr;
    platform_ = nullptr;
}
