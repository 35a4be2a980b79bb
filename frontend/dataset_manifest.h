// The dataset's manifest: one JSON line per track, per module skipped and
// per track failed, and its rebuilding from the tracks and the shards'
// manifests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using td_json = nlohmann::ordered_json;

// A complete track's row, from its metadata.json: the same whether the
// track was rendered now, found done, or read back by a rebuild.
td_json td_track_row(const td_json& metadata);
td_json td_skipped_row(const std::string& id, const std::string& module, const std::string& reason);
td_json td_failed_row(const std::string& id, const std::string& module, int32_t sequence,
                      const std::string& reason);
// The row as one line, ending in a newline.
std::string td_manifest_line(const td_json& row);
// The manifest's name in outdir: manifest.jsonl, or manifest-I-of-N.jsonl
// for shard I of N (count 0: not sharded).
std::string td_manifest_name(int32_t shard_index, int32_t shard_count);
// Lines sorted by their rows' ids (then by the lines themselves).
void td_sort_manifest(std::vector<std::string>& lines);
// Writes the lines as the whole file path, by rename; false when it could
// not be written.
bool td_write_manifest(const std::string& path, const std::vector<std::string>& lines);
// --dataset-manifest: outdir/manifest.jsonl from every track folder's
// metadata.json and the skipped and failed rows of every manifest in
// outdir (a failed row whose track is now complete is left out). Prints a
// line saying what it holds; 0 on success.
int td_rebuild_manifest(const std::string& outdir);
