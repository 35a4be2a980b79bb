#include "frontend/dataset_manifest.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "frontend/output_file.h"
#include "frontend/run_cleanup.h"

td_json td_track_row(const td_json& metadata)
{
    td_json row;
    row["id"] = metadata.at("track_id");
    row["status"] = "ok";
    row["module"] = metadata.at("module").at("path");
    row["sequence"] = metadata.at("sequence").at("number");
    row["seconds"] = metadata.at("output").at("seconds");
    row["stems"] = metadata.at("stems").size();
    row["key"] = metadata.at("key");
    return row;
}

td_json td_skipped_row(const std::string& id, const std::string& module, const std::string& reason)
{
    td_json row;
    row["id"] = id;
    row["status"] = "skipped";
    row["module"] = module;
    row["reason"] = reason;
    return row;
}

td_json td_failed_row(const std::string& id, const std::string& module, int32_t sequence,
                      const std::string& reason)
{
    td_json row;
    row["id"] = id;
    row["status"] = "failed";
    row["module"] = module;
    row["sequence"] = sequence;
    row["reason"] = reason;
    return row;
}

// Names from modules may hold any byte: those that are not UTF-8 are
// replaced rather than refused.
std::string td_manifest_line(const td_json& row)
{
    return row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string td_manifest_name(int32_t shard_index, int32_t shard_count)
{
    if (shard_count == 0)
        return "manifest.jsonl";
    return "manifest-" + std::to_string(shard_index) + "-of-" + std::to_string(shard_count) +
           ".jsonl";
}

namespace {

std::string id_of(const std::string& line)
{
    const td_json row = td_json::parse(line, nullptr, false);
    return row.is_object() && row.contains("id") && row["id"].is_string() ? row["id"].get<std::string>()
                                                                          : std::string();
}

bool is_manifest(const std::string& name)
{
    const std::string jsonl = ".jsonl";
    return name.rfind("manifest", 0) == 0 && name.size() > jsonl.size() &&
           name.compare(name.size() - jsonl.size(), jsonl.size(), jsonl) == 0;
}

std::vector<std::string> folder_names(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool read_json(const std::string& path, td_json& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out = td_json::parse(in, nullptr, false);
    return !out.is_discarded();
}

// The skipped and failed rows of a manifest whose ids no track has and no
// row taken before.
void take_other_rows(const std::string& path, const std::map<std::string, std::string>& tracks,
                     std::map<std::string, std::string>& others)
{
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const std::string id = id_of(line);
        const td_json row = td_json::parse(line, nullptr, false);
        const std::string status = row.is_object() ? row.value("status", "") : "";
        if ((status == "skipped" || status == "failed") && !id.empty() && tracks.count(id) == 0)
            others.emplace(id, line + "\n");
    }
}

}  // namespace

void td_sort_manifest(std::vector<std::string>& lines)
{
    std::vector<std::pair<std::string, std::string>> keyed;
    for (std::string& line : lines)
        keyed.emplace_back(id_of(line), std::move(line));
    std::sort(keyed.begin(), keyed.end());
    lines.clear();
    for (auto& k : keyed)
        lines.push_back(std::move(k.second));
}

bool td_write_manifest(const std::string& path, const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const std::string& line : lines)
        bytes += line;
    td_output_file file;
    if (!td_file_write_whole(file, path, bytes))
        return false;
    td_signals_hold();
    const bool ok = td_file_publish(file);
    td_signals_release();
    return ok;
}

int td_rebuild_manifest(const std::string& outdir)
{
    std::map<std::string, std::string> tracks, others;  // by id
    int32_t failed = 0, skipped = 0;
    for (const std::string& name : folder_names(outdir)) {
        td_json metadata;
        if (read_json(outdir + "/" + name + "/metadata.json", metadata) && metadata.is_object() &&
            metadata.value("track_id", "") == name)
            tracks[name] = td_manifest_line(td_track_row(metadata));
    }
    // The shards' manifests first, then one of an unsharded run.
    std::vector<std::string> manifests;
    for (const std::string& name : folder_names(outdir))
        if (is_manifest(name) && name != "manifest.jsonl")
            manifests.push_back(name);
    manifests.push_back("manifest.jsonl");
    for (const std::string& name : manifests)
        take_other_rows(outdir + "/" + name, tracks, others);
    std::vector<std::string> lines;
    for (auto& t : tracks)
        lines.push_back(t.second);
    for (auto& o : others) {
        (o.second.find("\"status\":\"failed\"") != std::string::npos ? failed : skipped)++;
        lines.push_back(o.second);
    }
    td_sort_manifest(lines);
    struct stat info;
    if (stat(outdir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        !td_write_manifest(outdir + "/manifest.jsonl", lines)) {
        std::fprintf(stderr, "tunedump: cannot write %s/manifest.jsonl\n", outdir.c_str());
        return 1;
    }
    std::printf("%s/manifest.jsonl: %zu tracks, %d skipped, %d failed\n", outdir.c_str(),
                tracks.size(), skipped, failed);
    return 0;
}
