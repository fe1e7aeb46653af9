#include <gtest/gtest.h>

#include <array>

#include "app/Interaction.h"

// Built with AddressSanitizer around the input callbacks: a write through a
// button number that has no flag lands in a redzone and stops the process.
namespace {

TEST(MouseButtonBoundsTest, ButtonsWithoutAFlagTouchNothing) {
    for (int& flag : g_aiMouseButton) flag = 0;
    const std::array<int, 5> untracked = {3, 4, 5, -1, 1000};
    for (int button : untracked) {
        for (int state : {0, 1}) Mouse(button, state, 12, 34);
        EXPECT_EQ(g_aiMouseButton[0] + g_aiMouseButton[1] + g_aiMouseButton[2], 0) << "button " << button;
        EXPECT_EQ(g_iMouseX, 12);
        EXPECT_EQ(g_iMouseY, 34);
    }
}

}  // namespace
