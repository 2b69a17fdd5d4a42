// The writer of the store's crash and concurrency tests, and its values: each
// value is complete only as a whole, so a torn or mixed write cannot pass as one.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "axparameter.h"

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

// Writes alternating generations to Value0..Value<parameters - 1> in turn,
// with and without sync, `count` writes or forever when 0. Each parameter
// starts with the generation it does not hold now. Every finished write is
// reported on `report_fd` as one byte: parameter * 2 + generation. Returns
// false (with the error) when a read or write fails.
inline bool hammer_parameters(AXParameter *handle, int family, int parameters, long count,
                              int report_fd, GError **error) {
  std::vector<int> next(parameters, 0);
  for (int p = 0; p < parameters; ++p) {
    gchar *value = nullptr;
    if (!ax_parameter_get(handle, parameter_name(p).c_str(), &value, error)) return false;
    next[p] = generation_value(p, 0, family) == value ? 1 : 0;
    g_free(value);
  }
  for (long i = 0; count == 0 || i < count; ++i) {
    int p = static_cast<int>(i % parameters);
    gboolean sync = (i / parameters) % 2 != 0 ? TRUE : FALSE;
    if (!ax_parameter_set(handle, parameter_name(p).c_str(),
                          generation_value(p, next[p], family).c_str(), sync, error)) {
      return false;
    }
    char report = static_cast<char>(p * 2 + next[p]);
    if (write(report_fd, &report, 1) != 1) return false;
    next[p] ^= 1;
  }
  return true;
}

}  // namespace axparameter_test
