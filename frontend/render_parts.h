// A long render into a file, split into parts that render side by side, one
// process each: every part but the first moves the song on to where it
// starts without rendering, then writes its frames at their place in the
// file; where the last part starts is settled as they render, so that the
// last two end together (frontend/part_boundary.h). The bytes are those of
// one render from start to end. The parts die with the program.
#pragma once
#include <cstdint>

#include "frontend/output_sink.h"
#include "frontend/render.h"

// How many parts: 0 lets td_parts_for choose (one per processor for long
// renders); tests set it to force a split.
extern int td_render_parts;
// The parts for a render into sink: 1 where the sink takes its frames only
// in order, or the render is short.
int td_parts_for(td_sink& sink, const td_render_shape& shape);
// Renders the started module into sink as shape says, in parts where that
// pays, with the pieces' writer started and finished here. True when every
// part got there; the caller then finishes the sink. With notes, the note
// files started before (td_note_files_start) are written and finished by
// the process that renders the last part, which passes every frame, and
// left by the others; then true also says they got there.
bool td_render_to(td_sink& sink, const td_render_shape& shape, bool notes = false);
