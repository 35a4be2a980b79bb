#include "frontend/dataset_track.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "frontend/module_load.h"
#include "frontend/output_file.h"
#include "frontend/output_format.h"
#include "frontend/run_cleanup.h"
#include "frontend/sha256.h"
#include "frontend/tunedump_info.h"
#include "frontend/tunedump_stems.h"
#include "tunedump/tunedump.h"

namespace {

constexpr size_t longest_id_name = 100;
// Below this a header field would be read past the file's end.
constexpr size_t header_bytes = 1084;

// A module file as read: the bytes the player gets, and the digests.
struct module_file {
    std::vector<uint8_t> bytes;  // the first VEX_IMAGE_SIZE bytes at most
    std::vector<uint8_t> header;  // bytes, at least header_bytes long
    std::string bytes_sha256;    // of bytes
    std::string file_sha256;     // of the whole file
    int64_t file_size = 0;
};

// False with the reason when the file cannot be read.
bool read_module_file(const std::string& path, module_file& m, std::string& reason)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = fd < 0 ? std::string("cannot open: ") + std::strerror(errno)
                        : "not a regular file";
        if (fd >= 0)
            close(fd);
        return false;
    }
    td_sha256 whole;
    td_sha256_start(whole);
    std::vector<uint8_t> chunk(65536);
    ssize_t n = 0;
    while ((n = read(fd, chunk.data(), chunk.size())) > 0 || (n < 0 && errno == EINTR)) {
        if (n < 0)
            continue;
        td_sha256_add(whole, chunk.data(), static_cast<size_t>(n));
        const size_t keep = std::min(static_cast<size_t>(n), VEX_IMAGE_SIZE - m.bytes.size());
        m.bytes.insert(m.bytes.end(), chunk.begin(), chunk.begin() + static_cast<ssize_t>(keep));
        m.file_size += n;
    }
    const int error = errno;
    close(fd);
    if (n < 0) {
        reason = std::string("cannot read: ") + std::strerror(error);
        return false;
    }
    const std::array<uint8_t, 32> digest = td_sha256_end(whole);
    m.file_sha256 = td_hex(digest.data(), digest.size());
    m.bytes_sha256 = td_sha256_hex(m.bytes.data(), m.bytes.size());
    m.header = m.bytes;
    if (m.header.size() < header_bytes)
        m.header.resize(header_bytes);
    return true;
}

std::string track_key(const td_dataset_setup& setup, const module_file& m)
{
    const std::string text = m.bytes_sha256 + "\n" + td_options_text(setup) + "\ntunedump " +
                             TUNEDUMP_VERSION + "\n";
    return td_sha256_hex(text.data(), text.size());
}

// The key of the complete track in folder, or "" when there is none.
std::string key_of_track(const std::string& folder, td_json& metadata)
{
    std::ifstream in(folder + "/metadata.json", std::ios::binary);
    if (!in)
        return "";
    metadata = td_json::parse(in, nullptr, false);
    if (!metadata.is_object() || !metadata.contains("key") || !metadata["key"].is_string())
        return "";
    return metadata["key"];
}

// A new name, or an old track replaced: the new folder goes in, then the
// old one is removed. Swapped at once where the file system can.
bool publish_track(const std::string& made, const std::string& final_name)
{
    if (rename(made.c_str(), final_name.c_str()) == 0)
        return true;
    if (errno != EEXIST && errno != ENOTEMPTY)
        return false;
    if (renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, final_name.c_str(), RENAME_EXCHANGE) == 0) {
        td_remove_tree(made.c_str());
        return true;
    }
    const std::string aside = made + ".old";
    if (rename(final_name.c_str(), aside.c_str()) != 0)
        return false;
    if (rename(made.c_str(), final_name.c_str()) != 0) {
        rename(aside.c_str(), final_name.c_str());
        return false;
    }
    td_remove_tree(aside.c_str());
    return true;
}

double rounded(double value) { return std::round(value * 1e6) / 1e6; }

td_json level_json(const td_level& level, int64_t values)
{
    td_json j;
    j["peak"] = rounded(level.peak / 32768.0);
    j["rms"] = rounded(std::sqrt(static_cast<double>(level.sum_squares) /
                                 static_cast<double>(std::max<int64_t>(values, 1))) /
                       32768.0);
    return j;
}

td_json channel_list(uint32_t mask)
{
    td_json list = td_json::array();
    for (int32_t c = 0; c < 32; c++)
        if ((mask >> c) & 1)
            list.push_back(c + 1);
    return list;
}

td_json options_json(const td_dataset_setup& setup)
{
    const td_render_options& r = setup.render;
    td_json j;
    j["seconds"] = setup.seconds;
    j["loops"] = r.loops;
    j["fade"] = r.fade_seconds;
    j["stereo"] = r.stereo >= 0 ? td_json(r.stereo) : td_json(nullptr);
    j["rate"] = r.rate;
    j["format"] = r.format == td_format::flac ? "flac" : "wav";
    if (r.format == td_format::flac)
        j["flac_level"] = r.flac_level;
    return j;
}

// What one track was made of.
struct track {
    std::string relative;
    std::string id;
    std::string key;
    int32_t number = 0;
    int32_t sequences = 0;
    vex_sequence sequence{};
    td_render_shape shape;
    td_stems_stats stats;
    uint32_t stems = 0;  // bit n: sample n has a stem
};

td_json stem_json(const td_dataset_setup& setup, const module_file& m, const track& t, int32_t n)
{
    const char* extension = td_extension(setup.render.format);
    const td_sample_fields f = td_sample_fields_of(m.header.data(), n);
    td_json j;
    j["sample"] = n;
    j["name"] = td_printable(td_sample_name(m.header.data(), n), td_name_bytes);
    j["file"] = td_stem_path(td_stems_layout{"stems"}, n, extension);
    j["midi"] = "MIDI/" + td_stem_name(n, td_sample_name(td_module_image(), n), td_name_bytes,
                                       ".mid");
    j["length"] = f.length;
    j["loop_start"] = f.loop_start;
    j["loop_length"] = f.loop_length;
    j["volume"] = f.volume;
    j["finetune"] = f.finetune;
    j["channels"] = channel_list(t.stats.channels[n]);
    j["notes"] = t.stats.notes[n];
    j.update(level_json(t.stats.levels[n], int64_t{t.shape.frames} * t.shape.channels));
    return j;
}

td_json metadata_of(const td_dataset_setup& setup, const module_file& m, const track& t)
{
    const int32_t rate = setup.render.rate;
    const vex_sequence& s = t.sequence;
    td_json j;
    j["track_id"] = t.id;
    j["key"] = t.key;
    j["tunedump"] = TUNEDUMP_VERSION;
    j["module"] = {{"path", t.relative},
                   {"sha256", m.file_sha256},
                   {"bytes", m.file_size},
                   {"title", td_printable(m.header.data(), td_title_bytes)},
                   {"signature", td_signature_of(m.header.data())},
                   {"channels", td_channels(m.header.data())}};
    j["sequence"] = {{"number", t.number},
                     {"of", t.sequences},
                     {"start_position", s.start_position},
                     {"frames", s.frames},
                     {"seconds", static_cast<double>(s.frames) / rate},
                     {"loop_start_frame", s.loop_start >= 0 ? td_json(s.loop_start) : td_json()},
                     {"loop_start_seconds", s.loop_start >= 0
                                                ? td_json(static_cast<double>(s.loop_start) / rate)
                                                : td_json()}};
    j["output"] = {{"rate", rate},
                   {"channels", t.shape.channels},
                   {"frames", t.shape.frames},
                   {"seconds", static_cast<double>(t.shape.frames) / rate}};
    j["options"] = options_json(setup);
    td_json mix = {{"file", td_stem_path(td_stems_layout{}, 0, td_extension(setup.render.format))}};
    mix.update(level_json(t.stats.levels[0], int64_t{t.shape.frames} * t.shape.channels));
    mix["largest_difference_from_stems"] = t.stats.largest_difference;
    j["mix"] = mix;
    int32_t notes = 0;
    for (const int32_t count : t.stats.notes)
        notes += count;
    j["notes"] = {{"csv", "notes.csv"}, {"midi", "notes.mid"}, {"count", notes}};
    j["stems"] = td_json::array();
    for (int32_t n = 1; n < 32; n++)
        if ((t.stems >> n) & 1)
            j["stems"].push_back(stem_json(setup, m, t, n));
    return j;
}

td_render_shape shape_for(const td_render_options& options, int32_t frames)
{
    td_render_shape shape;
    shape.frames = frames;
    shape.channels = options.stereo >= 0 ? 2 : 1;
    shape.rate = options.rate;
    shape.fade_frames = td_fade_frames(options.fade_seconds, options.rate, frames);
    return shape;
}

bool write_metadata(const std::string& dir, const td_json& metadata)
{
    td_output_file file;
    const std::string text =
        metadata.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (!td_file_write_whole(file, dir + "/metadata.json", text))
        return false;
    td_signals_hold();
    const bool ok = td_file_publish(file);
    td_signals_release();
    return ok;
}

// The track's files into dir (made here), its metadata in metadata; false
// with the reason.
bool render_track(const td_dataset_setup& setup, const module_file& m, track& t,
                  const std::string& dir, td_json& metadata, std::string& reason)
{
    reason = "File error.";
    if (!td_start_player(setup.render)) {
        reason = "the player could not be started";
        return false;
    }
    td_place_module(m.bytes.data(), m.bytes.size());
    mix_solosample = 0;
    int32_t frames = 0;
    const std::string song = std::to_string(t.number);
    bool ok = td_load_and_start(setup.seconds.c_str(), song.c_str(), setup.render, &frames);
    if (!ok)
        reason = "the module could not be started";
    t.shape = shape_for(setup.render, frames);
    const td_output_form form{setup.render.format, setup.render.flac_level,
                              td_printable(m.header.data(), td_title_bytes)};
    td_stems_layout layout;
    layout.stems_dir = "stems";
    layout.quiet = true;
    layout.stats = &t.stats;
    ok = ok && td_write_stems(dir.c_str(), t.shape, form, true, layout) == 0;
    for (int32_t n = 1; ok && n < 32; n++)
        if (vex_sample_used(n))
            t.stems |= uint32_t{1} << n;
    if (ok)
        metadata = metadata_of(setup, m, t);
    ok = ok && write_metadata(dir, metadata);
    vex_close();
    return ok;
}

// max(60 s, audio seconds x audio files / 10), the files being the mix and
// a stem for each sample the sequence names.
int64_t time_limit(const td_dataset_setup& setup, const vex_sequence& s)
{
    const int32_t rate = setup.render.rate;
    const int64_t frames = setup.seconds == "song" ? s.frames : std::stoll(setup.seconds) * rate;
    const int64_t files = 1 + std::popcount(s.samples_used & ~uint32_t{1});
    return std::max<int64_t>(60, (frames * files / rate + 9) / 10);
}

td_json row_event(const td_json& row, bool done, double seconds)
{
    return td_json{{"event", "row"}, {"row", row}, {"done", done}, {"seconds", seconds}};
}

}  // namespace

std::string td_track_id(const std::string& relative, int32_t sequence)
{
    std::string name;
    for (size_t i = 0; i < relative.size() && name.size() < longest_id_name; i++) {
        const unsigned char c = static_cast<unsigned char>(relative[i]);
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (c == '/')
            name += "__";
        else
            name += kept ? static_cast<char>(c) : '_';
    }
    if (name.size() > longest_id_name)
        name.resize(longest_id_name);
    if (!name.empty() && name[0] == '.')
        name[0] = '_';
    name += "-" + td_sha256_hex(relative.data(), relative.size()).substr(0, 8);
    if (sequence >= 1)
        name += "-s" + std::to_string(sequence);
    return name;
}

uint64_t td_shard_number(const std::string& relative)
{
    td_sha256 h;
    td_sha256_start(h);
    td_sha256_add(h, relative.data(), relative.size());
    const std::array<uint8_t, 32> digest = td_sha256_end(h);
    uint64_t n = 0;
    for (int i = 0; i < 8; i++)
        n = n << 8 | digest[static_cast<size_t>(i)];
    return n;
}

std::string td_options_text(const td_dataset_setup& setup)
{
    const td_render_options& r = setup.render;
    std::string text = "seconds=" + setup.seconds + " loops=" + std::to_string(r.loops) +
                       " fade=" + std::to_string(r.fade_seconds) + " stereo=" +
                       (r.stereo >= 0 ? std::to_string(r.stereo) : "off") +
                       " rate=" + std::to_string(r.rate) +
                       " format=" + (r.format == td_format::flac ? "flac" : "wav");
    if (r.format == td_format::flac)
        text += " flac_level=" + std::to_string(r.flac_level);
    return text;
}

void td_render_module(const td_dataset_setup& setup, const std::string& path,
                      const std::string& relative, int32_t first, const td_dataset_report& report)
{
    module_file m;
    std::string reason;
    if (!read_module_file(path, m, reason)) {
        report(row_event(td_skipped_row(td_track_id(relative, 0), relative, reason), false, 0));
        return;
    }
    vex_sequence sequences[VEX_MAX_SEQUENCES];
    int32_t count = 0;
    if (td_start_player(setup.render)) {
        td_place_module(m.bytes.data(), m.bytes.size());
        count = vex_sequences_looped(td_module_image(), sequences, VEX_MAX_SEQUENCES,
                                     setup.render.loops);
    }
    if (count == 0) {
        reason = pt_errorstr != nullptr ? pt_errorstr : "not a module";
        report(row_event(td_skipped_row(td_track_id(relative, 0), relative, reason), false, 0));
        return;
    }
    report(td_json{{"event", "sequences"}, {"count", count}});
    const std::string key = track_key(setup, m);
    for (int32_t n = first; n < count; n++) {
        track t;
        t.relative = relative;
        t.id = td_track_id(relative, n);
        t.key = key;
        t.number = n;
        t.sequences = count;
        t.sequence = sequences[n];
        const std::string final_name = setup.outdir + "/" + t.id;
        td_json metadata;
        if (key_of_track(final_name, metadata) == key) {
            report(row_event(td_track_row(metadata), true, 0));
            continue;
        }
        report(td_json{{"event", "start"},
                       {"sequence", n},
                       {"id", t.id},
                       {"limit", time_limit(setup, sequences[n])}});
        const std::string made = setup.scratch + "/" + t.id;
        td_remove_tree(made.c_str());
        const bool ok = render_track(setup, m, t, made, metadata, reason) &&
                        publish_track(made, final_name);
        td_remove_tree(made.c_str());
        if (ok)
            report(row_event(td_track_row(metadata), false,
                             static_cast<double>(t.shape.frames) / t.shape.rate));
        else
            report(row_event(td_failed_row(t.id, relative, n, reason), false, 0));
    }
}
