// Keeps encoded clips so each stream configuration is encoded once: in
// memory for the process, and optionally on disk across processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clip.h"

namespace vdo_emulator {

// The clip for `setup`, from memory, from `cache_dir` (when not empty) or
// freshly encoded (and then stored in both). Null with `error` when the
// encoder fails.
std::shared_ptr<const Clip> obtain_clip(const StreamSetup &setup, const std::string &cache_dir, std::string &error);

// The file name a clip of `setup` has in the cache folder.
std::string clip_cache_name(const StreamSetup &setup);

// Disk format of a clip; false when the file is missing or malformed.
bool save_clip(const Clip &clip, const std::string &path);
bool load_clip(const std::string &path, const StreamSetup &setup, Clip &clip);

// Drops the clips held in memory (streams keep theirs while they live).
void clear_clip_cache();

}  // namespace vdo_emulator
