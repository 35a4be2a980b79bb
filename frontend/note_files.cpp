#include "frontend/note_files.h"

#include "frontend/notes_csv.h"
#include "frontend/notes_midi.h"

namespace {

bool ends_with(const std::string& s, const std::string& end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string without_extension(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return has ? path.substr(0, dot) : path;
}

std::string contents(const td_note_file& f, const td_note_list& list, const td_note_names& names,
                     int32_t rate)
{
    if (ends_with(f.path, ".csv"))
        return td_notes_csv(f.sample == 0 ? list : td_notes_of_sample(list, f.sample), names, rate);
    return f.sample == 0 ? td_notes_midi(list, names, rate)
                         : td_notes_midi_of_sample(list, names, rate, f.sample);
}

}  // namespace

td_note_file td_note_file_at(const std::string& path, int32_t sample)
{
    td_note_file f;
    f.path = path;
    f.sample = sample;
    return f;
}

std::vector<td_note_file> td_note_files_for(const std::string& notes_file, const std::string& dest)
{
    std::vector<td_note_file> files;
    if (!notes_file.empty()) {
        files.push_back(td_note_file_at(notes_file));
        return files;
    }
    const std::string base = without_extension(dest);
    files.push_back(td_note_file_at(base + ".csv"));
    files.push_back(td_note_file_at(base + ".mid"));
    return files;
}

bool td_make_note_files(std::vector<td_note_file>& files, const td_note_list& list,
                        const td_note_names& names, int32_t rate)
{
    for (td_note_file& f : files) {
        if (!td_file_write_whole(f.file, f.path, contents(f, list, names, rate))) {
            td_discard_note_files(files);
            return false;
        }
    }
    return true;
}

bool td_publish_note_files(std::vector<td_note_file>& files)
{
    bool ok = true;
    for (td_note_file& f : files)
        ok = td_file_publish(f.file) && ok;
    return ok;
}

void td_discard_note_files(std::vector<td_note_file>& files)
{
    for (td_note_file& f : files)
        td_file_discard(f.file);
}
