// Long parameter values for the store's crash and concurrency tests: each is
// complete only as a whole, so a torn or mixed write cannot pass as one.
#pragma once

#include <string>

namespace axparameter_test {

// The value of `parameter` in `generation` 0 or 1 for writer `family`.
// Generation 0 holds only ASCII 1..127 (newlines, '=', '&', '%' included),
// generation 1 only bytes 128..255 (invalid UTF-8), so the two differ in
// every byte; lengths differ between generations, parameters and families.
inline std::string generation_value(int parameter, int generation, int family) {
  std::size_t length = 5000 + 1500 * generation + 37 * parameter + 11 * family;
  std::string value(length, '\0');
  for (std::size_t k = 0; k < length; ++k) {
    unsigned step = static_cast<unsigned>(k * 7 + parameter * 13 + family * 31);
    value[k] = static_cast<char>(generation == 0 ? 1 + step % 127 : 128 + step % 128);
  }
  return value;
}

inline std::string parameter_name(int parameter) { return "Value" + std::to_string(parameter); }

}  // namespace axparameter_test
