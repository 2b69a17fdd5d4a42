// Draws the emulated sensor's moving test pattern into I420 planes.
#include "test_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vdo_emulator {
namespace {

// 5x7 digits, one byte per row, bit 4 the leftmost pixel.
constexpr uint8_t DIGITS[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black (BT.601).
constexpr uint8_t BARS[8][3] = {
    {180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
    {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128},
};

constexpr uint8_t BLACK = 16;
constexpr uint8_t WHITE = 235;

uint32_t counter_digits(uint32_t period) {
  uint32_t digits = 1;
  for (uint32_t limit = 10; period > limit && digits < 9; limit *= 10) ++digits;
  return std::max(digits, 4u);
}

uint32_t counter_scale(uint32_t height) { return std::max(1u, height / 64); }

void fill_rect(Picture &picture, Rect rect, uint8_t y, uint8_t u, uint8_t v) {
  rect.width = std::min(rect.width, picture.width - std::min(rect.x, picture.width));
  rect.height = std::min(rect.height, picture.height - std::min(rect.y, picture.height));
  for (uint32_t row = rect.y; row < rect.y + rect.height; ++row) {
    std::memset(&picture.y[static_cast<size_t>(row) * picture.width + rect.x], y, rect.width);
  }
  uint32_t chroma_width = picture.width / 2;
  uint32_t x0 = rect.x / 2, x1 = (rect.x + rect.width + 1) / 2;
  for (uint32_t row = rect.y / 2; row < (rect.y + rect.height + 1) / 2; ++row) {
    std::memset(&picture.u[static_cast<size_t>(row) * chroma_width + x0], u, x1 - x0);
    std::memset(&picture.v[static_cast<size_t>(row) * chroma_width + x0], v, x1 - x0);
  }
}

void draw_counter(Picture &picture, uint32_t index, uint32_t period) {
  Rect box = counter_rect(picture.width, picture.height, period);
  fill_rect(picture, box, BLACK, 128, 128);
  uint32_t scale = counter_scale(picture.height);
  uint32_t digits = counter_digits(period);
  uint32_t value = index;
  for (uint32_t d = 0; d < digits; ++d) {
    uint32_t digit = value % 10;
    value /= 10;
    uint32_t left = box.x + scale + (digits - 1 - d) * 6 * scale;
    for (uint32_t row = 0; row < 7; ++row) {
      for (uint32_t col = 0; col < 5; ++col) {
        if (DIGITS[digit][row] & (0x10 >> col)) {
          fill_rect(picture, Rect{left + col * scale, box.y + scale + row * scale, scale, scale}, WHITE, 128, 128);
        }
      }
    }
  }
}

// Rings that spread from the centre of the lower right quadrant: motion that
// block matching cannot follow, so inter frames cost bits as real scenes do.
void draw_rings(Picture &picture, uint32_t index, uint32_t period) {
  const uint32_t left = (picture.width / 2) & ~1u, top = (picture.height / 2) & ~1u;
  const uint32_t width = picture.width - left, height = picture.height - top;
  if (picture.rings.size() != static_cast<size_t>(width) * height) {
    picture.rings.resize(static_cast<size_t>(width) * height);
    double cx = width / 2.0, cy = height / 2.0;
    for (uint32_t row = 0; row < height; ++row) {
      for (uint32_t x = 0; x < width; ++x) {
        double r = std::sqrt((x - cx) * (x - cx) + (row - cy) * (row - cy));
        picture.rings[static_cast<size_t>(row) * width + x] = static_cast<uint8_t>(static_cast<uint32_t>(r * 12.0) & 255);
      }
    }
  }
  uint8_t wave[256];
  for (int i = 0; i < 256; ++i) wave[i] = static_cast<uint8_t>(126 + 90 * std::cos(i * 2 * M_PI / 256));
  uint8_t phase = static_cast<uint8_t>(256 - (static_cast<uint64_t>(index) * 256 * 2) / period);
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t *ring = &picture.rings[static_cast<size_t>(row) * width];
    uint8_t *y = &picture.y[static_cast<size_t>(row + top) * picture.width + left];
    for (uint32_t x = 0; x < width; ++x) y[x] = wave[static_cast<uint8_t>(ring[x] + phase)];
  }
}

}  // namespace

Picture make_picture(uint32_t width, uint32_t height) {
  Picture picture{width, height, {}, {}, {}, {}};
  picture.y.resize(static_cast<size_t>(width) * height);
  picture.u.resize(static_cast<size_t>(width / 2) * (height / 2));
  picture.v.resize(picture.u.size());
  return picture;
}

Rect counter_rect(uint32_t width, uint32_t height, uint32_t period) {
  uint32_t scale = counter_scale(height);
  Rect rect{0, 0, (counter_digits(period) * 6 + 1) * scale, 9 * scale};
  rect.width = std::min(rect.width, width);
  rect.height = std::min(rect.height, height);
  // Bottom left, clear of the edge; chroma-aligned so the box is clean.
  rect.x = std::min(2 * scale, width - rect.width) & ~1u;
  rect.y = (height - rect.height - std::min(2 * scale, height - rect.height)) & ~1u;
  return rect;
}

void draw_test_pattern(Picture &picture, uint32_t index, uint32_t period) {
  const uint32_t width = picture.width, height = picture.height;
  period = std::max(period, 1u);
  index %= period;

  // Background: a luma ramp that travels 256 pixels per loop.
  uint32_t shift = static_cast<uint32_t>((static_cast<uint64_t>(index) * 256) / period);
  std::vector<uint8_t> ramp(256 + width);
  for (size_t x = 0; x < ramp.size(); ++x) ramp[x] = static_cast<uint8_t>(BLACK + ((x & 255) * (WHITE - BLACK)) / 255);
  for (uint32_t row = 0; row < height; ++row) {
    std::memcpy(&picture.y[static_cast<size_t>(row) * width], &ramp[(row / 2 + shift) & 255], width);
  }
  uint32_t chroma_width = width / 2, chroma_height = height / 2;
  for (uint32_t row = 0; row < chroma_height; ++row) {
    uint8_t *u = &picture.u[static_cast<size_t>(row) * chroma_width];
    uint8_t *v = &picture.v[static_cast<size_t>(row) * chroma_width];
    for (uint32_t x = 0; x < chroma_width; ++x) {
      u[x] = static_cast<uint8_t>(96 + (64 * x) / std::max(chroma_width, 1u));
      v[x] = static_cast<uint8_t>(96 + (64 * row) / std::max(chroma_height, 1u));
    }
  }

  // Colour bars across the top quarter.
  uint32_t bar_height = (height / 4) & ~1u;
  for (uint32_t bar = 0; bar < 8; ++bar) {
    uint32_t x0 = (width * bar / 8) & ~1u, x1 = (width * (bar + 1) / 8) & ~1u;
    fill_rect(picture, Rect{x0, 0, x1 - x0, bar_height}, BARS[bar][0], BARS[bar][1], BARS[bar][2]);
  }

  draw_rings(picture, index, period);

  // A box that goes right and comes back once per loop.
  uint32_t side = std::max(2u, (height / 6) & ~1u);
  uint32_t travel = width > side ? width - side : 0;
  uint64_t phase = (static_cast<uint64_t>(index) * 2 * travel) / period;  // 0 .. 2*travel
  uint32_t left = static_cast<uint32_t>(phase <= travel ? phase : 2 * travel - phase) & ~1u;
  uint32_t top = std::min(height - std::min(side, height), (height * 2 / 5) & ~1u);
  fill_rect(picture, Rect{left, top, side, side}, 82, 90, 240);

  draw_counter(picture, index, period);
}

}  // namespace vdo_emulator
