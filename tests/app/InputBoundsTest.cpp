#include <gtest/gtest.h>

#include "app/Interaction.h"

// Built with AddressSanitizer around the input callbacks: a write through a
// button number that has no flag lands in a redzone and stops the process.
TEST(MouseButtonBoundsTest, ButtonsWithoutAFlagTouchNothing) {
    for (int button : {3, 4, 5, -1, 1000})
        for (int state : {0, 1}) Mouse(button, state, 12, 34);
    EXPECT_EQ(g_aiMouseButton[0] + g_aiMouseButton[1] + g_aiMouseButton[2], 0);
}
