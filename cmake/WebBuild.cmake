# The browser build, configured through Emscripten's toolchain (emcmake, as
# scripts/web.sh does): WebGL 2 for the libraries (gpu/CMakeLists.txt), and
# for every program a heap that grows with the textures' host copies and a
# runtime that ends when main returns or exit is called, so that a page hears
# the exit status and a quit demo stops drawing.
add_link_options(-sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1)
