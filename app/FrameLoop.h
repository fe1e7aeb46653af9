#pragma once

// One displayed frame: one simulation step, the lit surface, drops, buffer
// swap and the frame-rate title.
void Display();
