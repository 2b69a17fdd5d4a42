// A camera emulator stream for publisher tests: unpaced frames of a small
// picture, read whole, and the environment that configures the emulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/stream_profile.h"
#include "vdo.h"

namespace publish_test {

// Unpaced frames, clips shared by every publisher test run through a cache
// folder in the build tree. Call before creating a stream.
void configure_emulator();

struct EmulatedFrame {
  uint32_t type;
  uint64_t timestamp;
  bool key;
  std::vector<uint8_t> payload;
};

class EmulatedCamera {
 public:
  EmulatedCamera(VideoCodecKind codec, uint32_t width, uint32_t height, double fps);
  ~EmulatedCamera();
  EmulatedCamera(const EmulatedCamera &) = delete;
  EmulatedCamera &operator=(const EmulatedCamera &) = delete;

  bool ok() const { return stream_ != nullptr; }
  const std::string &error() const { return error_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t fps() const { return fps_; }
  // The next frame; false with error() set when the emulator fails.
  bool next(EmulatedFrame &frame);

 private:
  VdoStream *stream_ = nullptr;
  std::string error_;
  uint32_t width_ = 0, height_ = 0, fps_ = 0;
};

// Frame types the publisher sends as packets.
bool is_picture_type(VideoCodecKind codec, uint32_t type);

}  // namespace publish_test
