// Notes: what the recorder makes of single cells, that it changes no
// output byte, that every path that moves the voices records the same
// notes, and that a MIDI reader not ours reads the files as the CSV says.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "frontend/note_files.h"
#include "frontend/notes_csv.h"
#include "frontend/notes_midi.h"
#include "tests/support/cli.h"
#include "tests/support/generated.h"
#include "tests/support/harness.h"

using namespace harness;

namespace {

constexpr int32_t rate = 44100;
constexpr int32_t tick = 882, row = 6 * tick;

enum class path { stereo, left, stems, skip_second_half };

struct recording {
    td_note_list notes;
    td_note_names names;
    std::vector<int16_t> audio;  // stereo; zero where skipped
};

// Loads the module image, records while the frames go through the pump in
// blocks of 1000 frames, then stops recording and takes the notes.
recording record(const std::vector<uint8_t>& bytes, int32_t frames, path way = path::stereo,
                 int32_t solo = 0, bool on = true, int32_t at_rate = rate)
{
    recording r;
    vex_init(at_rate, 4096);
    mix_solosample = solo;
    place(bytes);
    EXPECT_EQ(vex_get(image), 1);
    mix_solosample = 0;
    vex_start(1);
    vex_notes_record(on ? 1 : 0);
    r.audio.assign(2 * static_cast<size_t>(frames), 0);
    std::vector<std::vector<int16_t>> stem(32, std::vector<int16_t>(2000));
    int16_t* stems[32];
    for (int n = 0; n < 32; n++)
        stems[n] = stem[static_cast<size_t>(n)].data();
    std::vector<int16_t> left(1000);
    for (int32_t done = 0; done < frames; done += 1000) {
        const int32_t n = std::min(1000, frames - done);
        int16_t* out = r.audio.data() + 2 * done;
        if (way == path::left) {
            mix_newhand_left(0, left.data(), 2 * n);
            for (int32_t k = 0; k < n; k++)
                out[2 * k] = left[static_cast<size_t>(k)];
        } else if (way == path::stems) {
            mix_newhand_stems(0, out, 4 * n, stems);
        } else if (way == path::skip_second_half && done >= frames / 2) {
            vex_skip(n);
        } else {
            mix_newhand(0, out, 4 * n);
        }
    }
    vex_notes_record(0);
    td_take_notes(r.notes);
    r.names = td_note_names_of(image);
    return r;
}

std::vector<std::string> csv_rows(const recording& r)
{
    std::istringstream in(td_notes_csv(r.notes, r.names, rate));
    std::vector<std::string> rows;
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "start_frame,end_frame,start_s,end_s,channel,sample,sample_name,note,period,"
                    "pitch,volume");
    while (std::getline(in, line))
        rows.push_back(line);
    return rows;
}

// Every change of every note, in the CSV's order: "frame:period:volume".
std::string changes_of(const td_note_list& list)
{
    std::string out;
    for (const vex_note& n : td_notes_in_order(list))
        for (int32_t i = 0; i < n.changes; i++) {
            const vex_note_change& c = list.changes[static_cast<size_t>(n.first_change + i)];
            char text[64];
            std::snprintf(text, sizeof text, "%s%lld:%d:%d", out.empty() ? "" : " ",
                          static_cast<long long>(c.frame), c.period, c.volume);
            out += text;
        }
    return out;
}

// No frame is heard outside the notes of its samples: with the audio of a
// solo render, every frame that is not silent lies within a note.
void expect_heard_only_within_notes(const recording& r)
{
    std::vector<bool> covered(r.audio.size() / 2, false);
    for (const vex_note& n : r.notes.notes)
        for (int64_t f = n.start_frame; f < n.end_frame; f++)
            covered.at(static_cast<size_t>(f)) = true;
    for (size_t f = 0; f < covered.size(); f++)
        if (!covered[f] && (r.audio[2 * f] != 0 || r.audio[2 * f + 1] != 0)) {
            ADD_FAILURE() << "frame " << f << " is heard outside every note";
            return;
        }
}

void name_sample(std::vector<uint8_t>& bytes, int n, const std::string& name)
{
    std::copy(name.begin(), name.end(), bytes.begin() + 20 + 30 * (n - 1));
}

struct placed {
    int row, channel;
    mb_cell cell;
};

struct cell_case {
    const char* name;
    std::vector<placed> cells;
    std::vector<std::string> csv;
    const char* changes;  // every change, as changes_of gives them
};

}  // namespace

TEST(Notes, CellTable)
{
    const uint16_t c2 = mb_period(36), d2 = mb_period(38);
    const mb_cell note{1, c2, 0, 0};
    const cell_case table[] = {
        {"a plain note", {{0, 0, note}},
         {"0,21168,0.000000,0.480000,1,1,lead,C-2,428,60.000,64"}, ""},
        {"EDx delays the note to its tick", {{0, 0, note}, {1, 0, {1, d2, 0xE, 0xD3}}},
         {"0,7938,0.000000,0.180000,1,1,lead,C-2,428,60.000,64",
          "7938,21168,0.180000,0.480000,1,1,lead,D-2,381,62.014,64"}, ""},
        {"E9x starts on every second tick", {{0, 0, note}, {1, 0, {1, c2, 0xE, 0x92}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,7056,0.120000,0.160000,1,1,lead,C-2,428,60.000,64",
          "7056,8820,0.160000,0.200000,1,1,lead,C-2,428,60.000,64",
          "8820,21168,0.200000,0.480000,1,1,lead,C-2,428,60.000,64"}, ""},
        {"9xx with a note", {{0, 0, note}, {1, 0, {1, d2, 0x9, 0x02}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,21168,0.120000,0.480000,1,1,lead,D-2,381,62.014,64"}, ""},
        {"9xx without a note", {{0, 0, note}, {1, 0, {0, 0, 0x9, 0x02}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,21168,0.120000,0.480000,1,1,lead,,428,60.000,64"}, ""},
        {"9xx past the sample's end starts nothing (past the loop it ends the loop)",
         {{0, 0, note}, {1, 0, {0, 0, 0x9, 0x10}}},
         {"0,10643,0.000000,0.241338,1,1,lead,C-2,428,60.000,64"}, ""},
        {"3xx bends the running note", {{0, 0, note}, {1, 0, {0, d2, 0x3, 0x08}}},
         {"0,21168,0.000000,0.480000,1,1,lead,C-2,428,60.000,64"},
         "6174:420:64 7056:412:64 7938:404:64 8820:396:64 9702:388:64"},
        {"3xx naming another sample switches on tick 0", {{0, 0, note}, {1, 0, {2, d2, 0x3, 0x08}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,21168,0.120000,0.480000,1,2,pad,D-2,428,60.000,40"},
         "6174:420:40 7056:412:40 7938:404:40 8820:396:40 9702:388:40"},
        {"ECx ends the note on its tick", {{0, 0, note}, {1, 0, {1, c2, 0xE, 0xC2}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,7056,0.120000,0.160000,1,1,lead,C-2,428,60.000,64"}, ""},
        {"C00 then C40 without a note: the note goes on until the last C00",
         {{0, 0, note}, {1, 0, {0, 0, 0xC, 0x00}}, {2, 0, {0, 0, 0xC, 0x40}},
          {3, 0, {0, 0, 0xC, 0x00}}},
         {"0,15876,0.000000,0.360000,1,1,lead,C-2,428,60.000,64"}, "5292:428:0 10584:428:64"},
        {"a sample switched without a note", {{0, 0, note}, {1, 0, {2, 0, 0, 0}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64",
          "5292,21168,0.120000,0.480000,1,2,pad,,428,60.000,40"}, ""},
        {"a one-shot sample runs out on its exact frame", {{0, 0, {3, c2, 0, 0}}},
         {"0,5321,0.000000,0.120658,1,3,hit_2,C-2,428,60.000,64"}, ""},
        {"arpeggio", {{0, 0, note}, {1, 0, {0, 0, 0x0, 0x47}}},
         {"0,21168,0.000000,0.480000,1,1,lead,C-2,428,60.000,64"},
         "6174:339:64 7056:285:64 7938:428:64 8820:339:64 9702:285:64"},
        {"vibrato", {{0, 0, note}, {1, 0, {0, 0, 0x4, 0x44}}},
         {"0,21168,0.000000,0.480000,1,1,lead,C-2,428,60.000,64"},
         "7056:431:64 7938:433:64 8820:435:64 9702:436:64"},
        {"a first sample with 3xx plays from 0 at no period", {{0, 0, {1, d2, 0x3, 0x00}}},
         {"0,21168,0.000000,0.480000,1,1,lead,D-2,0,,64"}, ""},
        {"a note never raised from volume 0 is not listed", {{0, 0, note}, {1, 0, {1, c2, 0xC, 0}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64"}, ""},
        {"an empty sample silences the note", {{0, 0, note}, {1, 0, {4, 0, 0, 0}}},
         {"0,5292,0.000000,0.120000,1,1,lead,C-2,428,60.000,64"}, ""},
        {"starts on one tick sort by channel", {{0, 1, note}, {0, 0, {2, d2, 0, 0}}},
         {"0,21168,0.000000,0.480000,1,2,pad,D-2,381,62.014,40",
          "0,21168,0.000000,0.480000,2,1,lead,C-2,428,60.000,64"}, ""},
    };
    for (const cell_case& c : table) {
        SCOPED_TRACE(c.name);
        mb_module m = mb_new("M.K.");
        m.samples[1] = flat_sample(2000, 10, true);
        m.samples[2] = flat_sample(2000, 20, true);
        m.samples[2].volume = 40;
        m.samples[3] = flat_sample(1000, 100, false);
        for (const placed& p : c.cells)
            mb_at(m, 0, p.row, p.channel) = p.cell;
        std::vector<uint8_t> bytes = mb_build(m);
        name_sample(bytes, 1, "lead");
        name_sample(bytes, 2, "pad");
        name_sample(bytes, 3, " hit#2 ");
        const recording r = record(bytes, 4 * row);
        EXPECT_EQ(csv_rows(r), c.csv);
        EXPECT_EQ(changes_of(r.notes), c.changes);
        expect_heard_only_within_notes(r);
        if (c.cells.size() == 1 && c.cells[0].cell.sample == 3) {
            int64_t heard = 0;
            for (size_t f = 0; f < r.audio.size() / 2; f++)
                if (r.audio[2 * f] != 0)
                    heard = static_cast<int64_t>(f) + 1;
            EXPECT_EQ(heard, r.notes.notes.at(0).end_frame) << "the last frame heard";
        }
    }
}

namespace {

std::string all_of(const recording& r)
{
    return td_notes_csv(r.notes, r.names, rate) + changes_of(r.notes);
}

std::vector<int16_t> left_values(const std::vector<int16_t>& stereo)
{
    std::vector<int16_t> left(stereo.size(), 0);
    for (size_t k = 0; k < stereo.size(); k += 2)
        left[k] = stereo[k];
    return left;
}

// Every way of moving the song on records the notes of the plain render,
// and recording changes nothing that is rendered. A solo render lists its
// sample's notes and is heard only within them.
void expect_one_set_of_notes(const std::vector<uint8_t>& bytes, int32_t frames, int solos)
{
    const recording full = record(bytes, frames);
    ASSERT_FALSE(full.notes.notes.empty());
    const recording quiet = record(bytes, frames, path::stereo, 0, false);
    EXPECT_TRUE(full.audio == quiet.audio) << "recording changed the render";
    EXPECT_TRUE(quiet.notes.notes.empty());
    const recording left = record(bytes, frames, path::left);
    EXPECT_TRUE(left.audio == left_values(full.audio));
    EXPECT_EQ(all_of(left), all_of(full)) << "left";
    const recording stems = record(bytes, frames, path::stems);
    EXPECT_TRUE(stems.audio == full.audio);
    EXPECT_EQ(all_of(stems), all_of(full)) << "stems";
    const recording skipped = record(bytes, frames, path::skip_second_half);
    EXPECT_EQ(all_of(skipped), all_of(full)) << "render, then skip";
    for (int32_t n = 1; n <= solos; n++) {
        SCOPED_TRACE("solo " + std::to_string(n));
        const recording solo = record(bytes, frames, path::stereo, n);
        EXPECT_EQ(all_of(solo), td_notes_csv(td_notes_of_sample(full.notes, n), full.names, rate) +
                                    changes_of(td_notes_of_sample(full.notes, n)));
        expect_heard_only_within_notes(solo);
    }
}

}  // namespace

TEST(Notes, OneSetOfNotesWhateverMovesTheSong)
{
    for (const auto& [channels, seed] : {std::pair{4, 41}, std::pair{8, 42}, std::pair{32, 43}}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        const mb_module m = generated_modules::generated(channels, seed);
        expect_one_set_of_notes(mb_build(m), 8 * rate, 10);
    }
    for (const char* name : {"The_Last_V8.mod", "ironseed-VOID.mod"}) {
        const std::string bytes = cli::slurp(std::string(TUNEDUMP_CORPUS_DIR "/") + name);
        if (bytes.empty())
            continue;
        SCOPED_TRACE(name);
        expect_one_set_of_notes({bytes.begin(), bytes.end()}, 20 * rate, 31);
    }
}

namespace {

// Prints each note-on and each bend of a sounding note as "kind track
// seconds pitch", pitch being the key plus the bend at a range of 24.
const char* const mido_lister = R"(import sys, mido
f = mido.MidiFile(sys.argv[1])
assert f.type == 1 and f.length >= 0
tempo = [m.tempo for m in f.tracks[0] if m.type == 'set_tempo'][0]
for track in f.tracks[1:]:
    ticks, name, key, bend = 0, '', {}, {}
    for m in track:
        ticks += m.time
        t = mido.tick2second(ticks, f.ticks_per_beat, tempo)
        if m.type == 'track_name':
            name = m.name
        elif m.type == 'pitchwheel':
            bend[m.channel] = m.pitch
            if m.channel in key:
                print('bend', name, t, key[m.channel] + m.pitch * 24 / 8192)
        elif m.type == 'note_on' and m.velocity > 0:
            key[m.channel] = m.note
            print('on', name, t, m.note + bend.get(m.channel, 0) * 24 / 8192)
        elif m.type in ('note_on', 'note_off'):
            key.pop(m.channel, None)
)";

struct heard {
    std::string kind;
    double seconds, pitch;
    bool used = false;
};

bool mido_here()
{
    return std::system("/usr/bin/python3 -c 'import mido' > /dev/null 2>&1") == 0;
}

// What mido reads from the file, by track name, in order of time.
std::map<std::string, std::vector<heard>> read_with_mido(const std::string& midi)
{
    const std::string dir = cli::scratch_dir();
    {
        std::ofstream(dir + "/list.py") << mido_lister;
        std::ofstream(dir + "/notes.mid", std::ios::binary) << midi;
    }
    std::map<std::string, std::vector<heard>> tracks;
    FILE* out = popen(("/usr/bin/python3 " + dir + "/list.py " + dir + "/notes.mid").c_str(), "r");
    if (out == nullptr)
        return tracks;
    char kind[8], name[64];
    double seconds, pitch;
    while (std::fscanf(out, "%7s %63s %lf %lf", kind, name, &seconds, &pitch) == 4)
        tracks[name].push_back(heard{kind, seconds, pitch});
    EXPECT_EQ(pclose(out), 0) << "mido could not read the file";
    // Tracks of one name (a sample on more than 15 channels) interleave.
    for (auto& [name, events] : tracks)
        std::stable_sort(events.begin(), events.end(),
                         [](const heard& a, const heard& b) { return a.seconds < b.seconds; });
    return tracks;
}

double seconds(int64_t frame) { return static_cast<double>(frame) / rate; }

// One event in the track at the time within 1 ms, of the pitch within a cent.
void expect_heard(std::vector<heard>& track, bool note_on, double seconds, double pitch)
{
    auto at = std::lower_bound(track.begin(), track.end(), seconds - 0.001,
                               [](const heard& h, double s) { return h.seconds < s; });
    for (; at != track.end() && at->seconds <= seconds + 0.001; ++at)
        if (!at->used && std::fabs(at->pitch - pitch) <= 0.01 && (!note_on || at->kind == "on")) {
            at->used = true;
            return;
        }
    ADD_FAILURE() << (note_on ? "no note-on" : "no note-on or bend") << " at " << seconds
                  << " s of pitch " << pitch;
}

// Every note with a period starts at its frame and pitch; every change of
// period is there as a bend or a new note.
void expect_midi_as_notes(const td_note_list& list, const td_note_names& names,
                          const std::string& midi)
{
    std::map<std::string, std::vector<heard>> tracks = read_with_mido(midi);
    for (const vex_note& n : td_notes_in_order(list)) {
        const std::string& name = names[static_cast<size_t>(n.sample)];
        ASSERT_TRUE(tracks.count(name)) << "no track " << name;
        std::vector<heard>& track = tracks[name];
        if (n.period > 0)
            expect_heard(track, true, seconds(n.start_frame), td_note_pitch(n.period));
        int32_t period = n.period;
        for (int32_t i = 0; i < n.changes; i++) {
            const vex_note_change& c = list.changes[static_cast<size_t>(n.first_change + i)];
            if (c.period > 0 && c.period != period)
                expect_heard(track, period <= 0, seconds(c.frame), td_note_pitch(c.period));
            period = c.period > 0 ? c.period : period;
        }
    }
}

}  // namespace

TEST(Notes, MidoReadsTheMidiFilesAsTheCsvSays)
{
    if (!mido_here())
        GTEST_SKIP() << "/usr/bin/python3 has no mido";
    const recording r =
        record(mb_build(generated_modules::generated(32, 44)), 6 * rate);
    td_note_names names = r.names;
    for (int n = 1; n < 32; n++)
        names[static_cast<size_t>(n)] = "sample" + std::to_string(n);
    expect_midi_as_notes(r.notes, names, td_notes_midi(r.notes, names, rate));
    const td_note_list one = td_notes_of_sample(r.notes, 2);
    expect_midi_as_notes(one, names, td_notes_midi_of_sample(r.notes, names, rate, 2));
    // One sample on 32 channels: three tracks of its name. A slide further
    // than the bend range starts new keys.
    mb_module m = mb_new("32CH");
    m.samples[1] = flat_sample(2000, 10, true);
    for (int ch = 0; ch < 32; ch++)
        mb_at(m, 0, 0, ch) = mb_cell{1, mb_period(12 + 2 * ch), 0, 0};
    mb_at(m, 0, 0, 0) = mb_cell{1, mb_period(12), 0x1, 0xFF};
    mb_at(m, 0, 0, 1) = mb_cell{1, mb_period(14), 0x4, 0x8F};
    const recording wide = record(mb_build(m), 2 * rate);
    const std::string midi = td_notes_midi(wide.notes, names, rate);
    EXPECT_EQ(midi[11], 4) << "a tempo track and three of sample 1";
    expect_midi_as_notes(wide.notes, names, midi);
}

TEST(Notes, StartsFallOnTickBoundariesAt48kHz)
{
    mb_module m = mb_new("32CH");
    m.samples[1] = flat_sample(2000, 10, true);
    for (int ch = 0; ch < 32; ch++)
        mb_at(m, 0, ch, ch) = mb_cell{1, mb_period(24 + ch), 0, 0};
    const recording r = record(mb_build(m), 48000 * 5, path::stereo, 1, true, 48000);
    const std::vector<vex_note> notes = td_notes_in_order(r.notes);
    ASSERT_EQ(notes.size(), 32u);
    for (int ch = 0; ch < 32; ch++) {
        EXPECT_EQ(notes[static_cast<size_t>(ch)].channel, ch);
        EXPECT_EQ(notes[static_cast<size_t>(ch)].start_frame, int64_t{6} * samples_per_tick * ch);
    }
    expect_heard_only_within_notes(r);
}

// The files written as the render goes, with no note longer than needed
// in memory, hold what the whole list of notes gives.
TEST(Notes, FilesWrittenAsTheRenderGoes)
{
    const std::string dir = cli::scratch_dir() + "/streamed";
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    const std::vector<uint8_t> bytes = mb_build(generated_modules::generated(32, 45));
    const int32_t frames = 20 * rate;
    const recording whole = record(bytes, frames);
    vex_init(rate, 4096);
    place(bytes);
    ASSERT_EQ(vex_get(image), 1);
    vex_start(1);
    std::vector<td_note_file> files = {td_note_file_at(dir + "/all.csv"),
                                       td_note_file_at(dir + "/all.mid")};
    ASSERT_TRUE(td_note_files_start(files, whole.names, rate));
    files.push_back(td_note_file_at(dir + "/two.mid", 2));
    std::vector<int16_t> audio(2 * 3000);
    for (int32_t done = 0; done < frames; done += 3000) {
        mix_newhand(0, audio.data(), 4 * std::min(3000, frames - done));
        td_note_files_take();
    }
    ASSERT_TRUE(td_note_files_finish());
    ASSERT_TRUE(td_publish_note_files(files));
    EXPECT_TRUE(cli::slurp(dir + "/all.csv") == td_notes_csv(whole.notes, whole.names, rate));
    EXPECT_TRUE(cli::slurp(dir + "/all.mid") == td_notes_midi(whole.notes, whole.names, rate));
    EXPECT_TRUE(cli::slurp(dir + "/two.mid") ==
                td_notes_midi_of_sample(whole.notes, whole.names, rate, 2));
}

namespace {

// The note files of the command line: beside the destination, named, with
// stems, split renders, and a notes file that cannot be written.
TEST(Notes, FilesOfTheCommandLine)
{
    const std::string dir = cli::scratch_dir() + "/note-files", mod = dir + "/six.mod";
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    ASSERT_TRUE(mb_write(generated_modules::generated(6, 61), mod));
    ASSERT_EQ(cli::run({"--notes", mod, "0", "120", dir + "/song.wav"}).status, 0);
    // A render in parts (a file) lists what one process (a pipe) does.
    ASSERT_EQ(cli::run({"--notes=" + dir + "/piped.csv", mod, "0", "120", "-"}).status, 0);
    EXPECT_TRUE(cli::slurp(dir + "/song.csv") == cli::slurp(dir + "/piped.csv"));
    EXPECT_FALSE(cli::slurp(dir + "/song.mid").empty());

    // Stems: the whole song's notes, and each stem's MIDI file is the one
    // the solo render of its sample writes.
    const cli::result stems = cli::run({"--notes", "--stems", mod, "20", dir + "/stems"});
    ASSERT_EQ(stems.status, 0) << stems.err;
    ASSERT_EQ(cli::run({"--notes=" + dir + "/all.csv", mod, "0", "20", dir + "/x.wav"}).status, 0);
    EXPECT_TRUE(cli::slurp(dir + "/stems/notes.csv") == cli::slurp(dir + "/all.csv"));
    int stem_files = 0;
    for (int n = 1; n < 32; n++) {
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "/%02d", n);
        const size_t at = stems.out.find(dir + "/stems" + prefix);
        if (at == std::string::npos)
            continue;
        const std::string wav = stems.out.substr(at, stems.out.find_first_of(" \n", at) - at);
        const std::string midi = dir + "/stems/MIDI" + wav.substr(wav.rfind('/'), wav.size() -
                                     wav.rfind('/') - 4) + ".mid";
        ASSERT_EQ(cli::run({"--notes=" + dir + "/solo.mid", mod, std::to_string(n), "20",
                            dir + "/x.wav"}).status, 0);
        EXPECT_TRUE(cli::slurp(midi) == cli::slurp(dir + "/solo.mid")) << midi;
        stem_files++;
    }
    EXPECT_GE(stem_files, 4);

    struct refusal {
        std::vector<std::string> args;
        std::string err;
    };
    const refusal refusals[] = {
        {{"--notes", mod, "0", "1", "-"}, "--notes needs a file"},
        {{"--notes=n.txt", mod, "0", "1", dir + "/x.wav"}, "ends in .csv or .mid"},
        {{"--notes=n.csv", "--stems", mod, "1", dir + "/s"}, "no file name with --stems"},
    };
    for (const refusal& r : refusals) {
        const cli::result got = cli::run(r.args);
        EXPECT_EQ(got.status, 1);
        EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    }
    // Notes that cannot be written: the audio is not published either.
    std::ofstream(dir + "/kept.wav") << "old";
    const cli::result failed =
        cli::run({"--notes=" + dir + "/no/such.csv", mod, "0", "2", dir + "/kept.wav"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "File error.\n");
    EXPECT_EQ(cli::slurp(dir + "/kept.wav"), "old");
}

}  // namespace
