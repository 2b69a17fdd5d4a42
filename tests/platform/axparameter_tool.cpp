// Test helper: a second process on the parameter store.
//   axparameter_tool APP get NAME          prints the value's bytes
//   axparameter_tool APP set NAME VALUE S  writes VALUE, with sync when S is 1
//   axparameter_tool APP hammer FAMILY PARAMETERS COUNT
//       writes alternating complete values (axparameter_values.h) to Value0..,
//       forever when COUNT is 0, and reports every finished write on stdout as
//       one byte: parameter * 2 + generation.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "axparameter.h"
#include "axparameter_values.h"

namespace {

int fail(GError *error) {
  std::fprintf(stderr, "%s\n", error ? error->message : "unknown error");
  if (error) g_error_free(error);
  return 1;
}

int hammer(AXParameter *handle, int family, int parameters, long count) {
  using axparameter_test::generation_value;
  using axparameter_test::parameter_name;
  // Continue from whatever the store holds: each parameter's next write is
  // the generation it does not hold now.
  std::vector<int> next(parameters, 0);
  for (int p = 0; p < parameters; ++p) {
    gchar *value = nullptr;
    GError *error = nullptr;
    if (!ax_parameter_get(handle, parameter_name(p).c_str(), &value, &error)) return fail(error);
    next[p] = generation_value(p, 0, family) == value ? 1 : 0;
    g_free(value);
  }
  for (long i = 0; count == 0 || i < count; ++i) {
    int p = static_cast<int>(i % parameters);
    gboolean sync = (i / parameters) % 2;
    GError *error = nullptr;
    if (!ax_parameter_set(handle, parameter_name(p).c_str(),
                          generation_value(p, next[p], family).c_str(), sync, &error)) {
      return fail(error);
    }
    char report = static_cast<char>(p * 2 + next[p]);
    if (write(STDOUT_FILENO, &report, 1) != 1) return 1;
    next[p] ^= 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s APP get|set|hammer ...\n", argv[0]);
    return 2;
  }
  GError *error = nullptr;
  AXParameter *handle = ax_parameter_new(argv[1], &error);
  if (!handle) return fail(error);

  int status = 2;
  std::string mode = argv[2];
  if (mode == "get" && argc == 4) {
    gchar *value = nullptr;
    if (ax_parameter_get(handle, argv[3], &value, &error)) {
      std::fwrite(value, 1, std::strlen(value), stdout);
      g_free(value);
      status = 0;
    } else {
      status = fail(error);
    }
  } else if (mode == "set" && argc == 6) {
    status = ax_parameter_set(handle, argv[3], argv[4], std::atoi(argv[5]), &error) ? 0 : fail(error);
  } else if (mode == "hammer" && argc == 6) {
    status = hammer(handle, std::atoi(argv[3]), std::atoi(argv[4]), std::atol(argv[5]));
  }
  ax_parameter_free(handle);
  return status;
}
