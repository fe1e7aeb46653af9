#include "app/Window.h"

int main(int argc, char** argv) { return RunDemo(argc, argv); }
