// The clip cache: a few clips in memory, and files in VDO_EMULATOR_CACHE_DIR.
#include "clip_cache.h"

#include <glib.h>

#include <cstring>
#include <list>
#include <mutex>
#include <utility>

namespace vdo_emulator {
namespace {

constexpr char MAGIC[8] = {'V', 'D', 'O', 'C', 'L', 'I', 'P', '1'};
constexpr size_t MEMORY_CLIPS = 8;
// Bump when the test pattern or the encoder settings change, so old files are not reused.
constexpr int CLIP_GENERATION = 1;

std::mutex cache_lock;
std::list<std::pair<std::string, std::shared_ptr<const Clip>>> memory_clips;  // newest first

void put_u32(std::string &out, uint32_t value) { out.append(reinterpret_cast<const char *>(&value), 4); }

bool take_u32(const uint8_t *&at, const uint8_t *end, uint32_t &value) {
  if (end - at < 4) return false;
  std::memcpy(&value, at, 4);
  at += 4;
  return true;
}

bool type_fits(Codec codec, uint32_t type) {
  const CodecRow &row = codec_row(codec);
  return type >= row.first_picture_type && type <= row.last_picture_type;
}

void remember(const std::string &name, std::shared_ptr<const Clip> clip) {
  memory_clips.emplace_front(name, std::move(clip));
  if (memory_clips.size() > MEMORY_CLIPS) memory_clips.pop_back();
}

}  // namespace

std::string clip_cache_name(const StreamSetup &setup) {
  const CodecRow &row = codec_row(setup.codec);
  g_autofree char *name = g_strdup_printf(
      "%s-%ux%u-%u_%u-g%u-n%u-r%d-b%u-c%u-%s-v%d.clip", row.name, setup.width, setup.height,
      setup.fps_num, setup.fps_den, setup.gop_frames, setup.clip_frames, static_cast<int>(setup.rate_mode),
      setup.bitrate, setup.compression, row.encoder_build().c_str(), CLIP_GENERATION);
  return name;
}

bool save_clip(const Clip &clip, const std::string &path) {
  std::string out(MAGIC, sizeof MAGIC);
  put_u32(out, static_cast<uint32_t>(clip.codec));
  put_u32(out, clip.width);
  put_u32(out, clip.height);
  put_u32(out, static_cast<uint32_t>(clip.frames.size()));
  for (const ClipFrame &frame : clip.frames) {
    put_u32(out, frame.type);
    put_u32(out, frame.key ? 1 : 0);
    put_u32(out, static_cast<uint32_t>(frame.bytes.size()));
    out.append(reinterpret_cast<const char *>(frame.bytes.data()), frame.bytes.size());
  }
  g_autofree char *folder = g_path_get_dirname(path.c_str());
  if (g_mkdir_with_parents(folder, 0755) != 0) return false;
  // Written to a temporary file and renamed: readers never see half a clip.
  return g_file_set_contents(path.c_str(), out.data(), static_cast<gssize>(out.size()), nullptr);
}

bool load_clip(const std::string &path, const StreamSetup &setup, Clip &clip) {
  g_autofree char *contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return false;
  const auto *at = reinterpret_cast<const uint8_t *>(contents);
  const uint8_t *end = at + length;
  if (length < sizeof MAGIC || std::memcmp(at, MAGIC, sizeof MAGIC) != 0) return false;
  at += sizeof MAGIC;
  uint32_t codec = 0, width = 0, height = 0, count = 0;
  if (!take_u32(at, end, codec) || !take_u32(at, end, width) || !take_u32(at, end, height) ||
      !take_u32(at, end, count)) {
    return false;
  }
  if (codec != static_cast<uint32_t>(setup.codec) || width != setup.width || height != setup.height ||
      count != setup.clip_frames) {
    return false;
  }
  clip = Clip{setup.codec, width, height, {}, {}, 0, 0};
  clip.frames.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0, key = 0, size = 0;
    if (!take_u32(at, end, type) || !take_u32(at, end, key) || !take_u32(at, end, size)) return false;
    if (!type_fits(setup.codec, type) || key > 1 || size == 0 || static_cast<size_t>(end - at) < size) return false;
    clip.frames.push_back(ClipFrame{std::vector<uint8_t>(at, at + size), type, key == 1});
    at += size;
  }
  if (at != end || !clip.frames.front().key) return false;
  index_clip(clip);
  return true;
}

std::shared_ptr<const Clip> obtain_clip(const StreamSetup &setup, const std::string &cache_dir, std::string &error) {
  std::string name = clip_cache_name(setup);
  // One lock over lookup and encode: two streams of one configuration never encode twice.
  std::lock_guard lock(cache_lock);
  for (auto it = memory_clips.begin(); it != memory_clips.end(); ++it) {
    if (it->first == name) {
      memory_clips.splice(memory_clips.begin(), memory_clips, it);
      return it->second;
    }
  }
  auto clip = std::make_shared<Clip>();
  std::string path = cache_dir.empty() ? std::string() : cache_dir + G_DIR_SEPARATOR_S + name;
  if (path.empty() || !load_clip(path, setup, *clip)) {
    if (!encode_clip(setup, *clip, error)) return nullptr;
    // The disk cache only saves time: a folder that cannot be written is no error.
    if (!path.empty() && !save_clip(*clip, path)) g_debug("vdo emulator: cannot write clip cache %s", path.c_str());
  }
  remember(name, clip);
  return clip;
}

void clear_clip_cache() {
  std::lock_guard lock(cache_lock);
  memory_clips.clear();
}

}  // namespace vdo_emulator
