// Which parameters an application group has, and the names the store accepts.
#include "param_declarations.h"

#include <cstring>

#include "axparameter.h"

namespace {

constexpr std::size_t NAME_MAX_LENGTH = 128;

bool is_word_char(char c) { return g_ascii_isalnum(c) || c == '_'; }

// The folder the running program was started from.
std::string program_directory() {
  g_autofree gchar *program = g_file_read_link("/proc/self/exe", nullptr);
  if (!program) return ".";
  g_autofree gchar *directory = g_path_get_dirname(program);
  return directory;
}

}  // namespace

bool is_application_name(const char *name) {
  if (!name || !g_ascii_isalnum(name[0])) return false;
  std::size_t length = 0;
  for (const char *c = name; *c; ++c, ++length) {
    if (!is_word_char(*c) && *c != '-') return false;
  }
  return length <= NAME_MAX_LENGTH;
}

bool is_parameter_name(const char *name) {
  if (!name || !g_ascii_isalpha(name[0])) return false;
  std::size_t length = 0;
  for (const char *c = name; *c; ++c, ++length) {
    if (!is_word_char(*c)) return false;
  }
  return length <= NAME_MAX_LENGTH;
}

bool is_system_parameter_name(const char *name) {
  if (!name || !g_ascii_isalpha(name[0]) || std::strlen(name) > NAME_MAX_LENGTH) return false;
  int words = 1;
  char previous = '.';
  for (const char *c = name; *c; ++c) {
    if (*c == '.') {
      if (previous == '.') return false;  // no empty word, so no ".." either
      ++words;
    } else if (!is_word_char(*c)) {
      return false;
    }
    previous = *c;
  }
  return previous != '.' && words >= 2;
}

bool parse_declarations(const std::string &text, const std::string &origin,
                        std::vector<ParameterDeclaration> &out, GError **error) {
  out.clear();
  std::size_t line_start = 0;
  int line_number = 0;
  while (line_start < text.size()) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string::npos) line_end = text.size();
    std::string line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;

    std::size_t equals = line.find('=');
    std::string name = line.substr(0, equals);
    if (equals == std::string::npos || !is_parameter_name(name.c_str())) {
      g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                  "%s:%d: expected Name=initial value", origin.c_str(), line_number);
      return false;
    }
    if (find_declaration(out, name.c_str())) {
      g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                  "%s:%d: parameter '%s' is declared twice", origin.c_str(), line_number,
                  name.c_str());
      return false;
    }
    std::string initial_value = line.substr(equals + 1);
    if (initial_value.size() > AX_PARAMETER_VALUE_MAX) {
      g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                  "%s:%d: initial value of '%s' is too long", origin.c_str(), line_number,
                  name.c_str());
      return false;
    }
    out.push_back({std::move(name), std::move(initial_value)});
  }
  return true;
}

bool load_declarations(const std::string &application, std::vector<ParameterDeclaration> &out,
                       GError **error) {
  const char *package_dir = g_getenv("AXPARAMETER_PACKAGE_DIR");
  std::string directory = package_dir && *package_dir ? package_dir : program_directory();
  g_autofree gchar *path =
      g_build_filename(directory.c_str(), (application + ".params").c_str(), nullptr);

  gchar *contents = nullptr;
  gsize length = 0;
  GError *read_error = nullptr;
  if (g_file_get_contents(path, &contents, &length, &read_error)) {
    std::string text(contents, length);
    g_free(contents);
    return parse_declarations(text, path, out, error);
  }
  // A package without a declaration file falls back to the built-in copy;
  // a file that exists but cannot be read is an error of the installation.
  bool missing = g_error_matches(read_error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
  if (!missing) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                "Cannot read parameter declarations: %s", read_error->message);
    g_error_free(read_error);
    return false;
  }
  g_error_free(read_error);

  for (std::size_t i = 0; i < builtin_package_count; ++i) {
    if (application == builtin_packages[i].application) {
      return parse_declarations(builtin_packages[i].declarations, "built-in " + application, out,
                                error);
    }
  }
  g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_NOT_FOUND,
              "No parameters are declared for application '%s'", application.c_str());
  return false;
}

const ParameterDeclaration *find_declaration(const std::vector<ParameterDeclaration> &declarations,
                                             const char *name) {
  for (const ParameterDeclaration &declaration : declarations) {
    if (declaration.name == name) return &declaration;
  }
  return nullptr;
}
