// The render pump's report to the note recorder after each replay tick.
#pragma once
#include <cstdint>

#include "driver/sd_notes.h"

// Hands the recorder the tick's first frame and the notes of the cells the
// tick played.
void vex_notes_cells(int64_t frame);

inline void vex_notes_tick(int64_t frame)
{
    if (sd_notes_on)
        vex_notes_cells(frame);
}
