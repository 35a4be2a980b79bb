// --dataset: every module under a folder into track folders of aligned
// audio, stems and notes, by worker processes, listed in a manifest; and
// --dataset-manifest, which rebuilds that manifest.
#pragma once
#include "frontend/command_line.h"

// 0 when every module was rendered, skipped as not a module, or found
// done; 1 when a track failed or the run could not start.
int td_dataset_main(const td_request& request);
int td_dataset_manifest_main(const td_request& request);
