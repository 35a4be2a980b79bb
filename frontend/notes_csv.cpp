#include "frontend/notes_csv.h"

#include <cinttypes>
#include <cstdio>

const char* const td_notes_csv_header =
    "start_frame,end_frame,start_s,end_s,channel,sample,sample_name,note,period,pitch,volume\n";

std::string td_notes_csv_row(const vex_note& n, const td_note_names& names, int32_t rate)
{
    char pitch[32] = "";
    if (n.period > 0)
        std::snprintf(pitch, sizeof pitch, "%.3f", td_note_pitch(n.period));
    const std::string& name = names[static_cast<size_t>(n.sample) & 31];
    char row[256];
    std::snprintf(row, sizeof row, "%" PRId64 ",%" PRId64 ",%.6f,%.6f,%d,%d,%s,%s,%d,%s,%d\n",
                  n.start_frame, n.end_frame, static_cast<double>(n.start_frame) / rate,
                  static_cast<double>(n.end_frame) / rate, n.channel + 1, n.sample, name.c_str(),
                  td_note_name(n.note).c_str(), n.period, pitch, n.volume);
    return row;
}

std::string td_notes_csv(const td_note_list& list, const td_note_names& names, int32_t rate)
{
    std::string out = td_notes_csv_header;
    for (const vex_note& n : td_notes_in_order(list))
        out += td_notes_csv_row(n, names, rate);
    return out;
}
