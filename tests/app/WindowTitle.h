#pragma once

#include <string>

namespace app_test {

// The title of the window whose GL context is current, as the window system
// holds it, read over an X connection of our own.
std::string CurrentWindowTitle();

}  // namespace app_test
