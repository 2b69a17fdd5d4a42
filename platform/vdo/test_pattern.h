// The emulated sensor's picture: a moving 4:2:0 test pattern with colour
// bars, a travelling box and the frame number drawn as digits.
#pragma once

#include <cstdint>
#include <vector>

namespace vdo_emulator {

// An I420 picture: full-size luma, half-size chroma planes.
struct Picture {
  uint32_t width;
  uint32_t height;
  std::vector<uint8_t> y;
  std::vector<uint8_t> u;
  std::vector<uint8_t> v;
  std::vector<uint8_t> rings;  // ring index per pixel of the ring quadrant, made on first use
};

struct Rect {
  uint32_t x, y, width, height;
};

// Allocates the planes of an even-sized picture.
Picture make_picture(uint32_t width, uint32_t height);

// Draws frame `index` of a loop of `period` frames; frame `period` would
// look like frame 0, so a clip replayed in a loop moves without a jump.
void draw_test_pattern(Picture &picture, uint32_t index, uint32_t period);

// Where the frame counter sits (luma coordinates), for checking it.
Rect counter_rect(uint32_t width, uint32_t height, uint32_t period);

}  // namespace vdo_emulator
