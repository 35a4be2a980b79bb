// One module of a dataset run, in a worker process: its sequences found,
// each rendered as a track folder (mix, stems, MIDI, notes, metadata.json)
// in a scratch folder and renamed into the output folder when complete.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "frontend/command_line.h"
#include "frontend/dataset_manifest.h"

// What every track of a run shares.
struct td_dataset_setup {
    td_render_options render;  // the format is wav or flac here
    std::string seconds;       // "song" or 1..1200
    std::string outdir;
    std::string scratch;  // this worker's folder for tracks being made, in outdir
};

// The track of sequence n of the module at relative path: the path with
// '/' as "__", every byte but letters, digits, '-', '_' and '.' as '_' (a
// leading '.' too, so that no track is hidden), cut to 100 characters; then
// '-' and the first 8 hex digits of the path's sha256; then "-sN" for N >= 1.
std::string td_track_id(const std::string& relative, int32_t sequence);
// The shard number of a relative path: the first 8 bytes of its sha256 as
// a big-endian number (a run takes it when it is I mod N).
uint64_t td_shard_number(const std::string& relative);
// The render options that change a track's files, as text for its key.
std::string td_options_text(const td_dataset_setup& setup);

// What a worker tells its run, one JSON object at a time:
//   {"event":"sequences","count":K}    the module has K sequences
//   {"event":"start","sequence":n,"id":..,"limit":S}  a track is rendering,
//                                      to be stopped after S seconds
//   {"event":"row","row":{..},"done":B,"seconds":T}  a manifest row; done
//                                      when the track was there already,
//                                      T the seconds of audio rendered
using td_dataset_report = std::function<void(const td_json&)>;
// Renders sequences first.. of the module at path (relative to the input
// folder) as tracks, skipping each one complete with the same key.
void td_render_module(const td_dataset_setup& setup, const std::string& path,
                      const std::string& relative, int32_t first, const td_dataset_report& report);
