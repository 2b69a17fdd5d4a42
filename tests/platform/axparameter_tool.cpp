// Test helper: a second process on the parameter store.
//   axparameter_tool APP get NAME          prints the value's bytes
//   axparameter_tool APP set NAME VALUE S  writes VALUE, with sync when S is 1
//   axparameter_tool APP hammer FAMILY PARAMETERS COUNT
//       runs hammer_parameters (axparameter_writer.h), reporting on stdout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "axparameter.h"
#include "axparameter_writer.h"

namespace {

int fail(GError *error) {
  std::fprintf(stderr, "%s\n", error ? error->message : "unknown error");
  if (error) g_error_free(error);
  return 1;
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
    status = axparameter_test::hammer_parameters(handle, std::atoi(argv[3]), std::atoi(argv[4]),
                                                 std::atol(argv[5]), STDOUT_FILENO, &error)
                 ? 0
                 : fail(error);
  }
  ax_parameter_free(handle);
  return status;
}
