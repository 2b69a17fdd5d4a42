// The parameter library's C interface: handles, name dispatch and the lock.
#include "axparameter.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "param_declarations.h"
#include "param_files.h"

// Not G_DEFINE_QUARK: its unguarded static is set by whichever thread gets
// there first, a race the thread sanitizer rightly reports when several
// threads fail their first call at once. A function-local static is
// initialised once, thread-safely.
GQuark ax_parameter_error_quark(void) {
  static const GQuark quark = g_quark_from_static_string("ax-parameter-error-quark");
  return quark;
}

struct _AXParameter {
  // Serialises the writes made through one handle by several threads.
  std::mutex lock;
  std::string application;
  std::string group_directory;   // <store>/apps/<application>: one file per parameter
  std::string system_directory;  // <store>/system: read-only platform parameters
  std::optional<std::string> configured_serial;  // AXPARAMETER_SYSTEM_SERIAL at open time
  std::vector<ParameterDeclaration> declarations;
};

namespace {

constexpr const char *SERIAL_NUMBER_PARAMETER = "Properties.System.SerialNumber";
constexpr const char *DEFAULT_STORE_DIRECTORY = "axparameter";

// Names that are not valid are quoted escaped, so a message stays one line.
std::string printable_name(const char *name) {
  if (!name) return "(null)";
  g_autofree gchar *escaped = g_strescape(name, nullptr);
  return escaped;
}

bool check_arguments(AXParameter *handle, const char *name, GError **error) {
  if (!handle) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "No parameter handle");
    return false;
  }
  if (!name || !*name) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "Parameter name is empty");
    return false;
  }
  return true;
}

// Platform settings come from files in the store's system folder, written by
// hand with a final newline; the serial number may come from the environment.
bool get_system_parameter(AXParameter *handle, const char *name, std::string &value,
                          GError **error) {
  if (handle->configured_serial && std::strcmp(name, SERIAL_NUMBER_PARAMETER) == 0) {
    value = *handle->configured_serial;
    return true;
  }
  bool missing = false;
  if (!read_value_file(handle->system_directory, name, value, missing, error)) return false;
  if (missing) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_NOT_FOUND,
                "System parameter '%s' is not set on this platform", name);
    return false;
  }
  if (!value.empty() && value.back() == '\n') value.pop_back();
  if (!value.empty() && value.back() == '\r') value.pop_back();
  return true;
}

}  // namespace

AXParameter *ax_parameter_new(const gchar *application_name, GError **error) {
  // Lets the program's tests see a platform that refuses the handle, with or
  // without an error object.
  const char *refuse = g_getenv("AXPARAMETER_REFUSE");
  if (refuse && std::strcmp(refuse, "silent") == 0) return nullptr;
  if (refuse && *refuse) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE,
                "Parameter service refused the handle (AXPARAMETER_REFUSE=%s)", refuse);
    return nullptr;
  }
  if (!application_name || !*application_name) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "Application name is empty");
    return nullptr;
  }
  if (!is_application_name(application_name)) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "Application name '%s' is not valid", printable_name(application_name).c_str());
    return nullptr;
  }

  std::vector<ParameterDeclaration> declarations;
  if (!load_declarations(application_name, declarations, error)) return nullptr;

  // Relative store paths are taken from the working directory at open time.
  const char *configured = g_getenv("AXPARAMETER_DIR");
  g_autofree gchar *store =
      g_canonicalize_filename(configured && *configured ? configured : DEFAULT_STORE_DIRECTORY,
                              nullptr);
  g_autofree gchar *group = g_build_filename(store, "apps", application_name, nullptr);
  g_autofree gchar *system = g_build_filename(store, "system", nullptr);
  if (!prepare_store_directory(group, error)) return nullptr;
  remove_orphaned_temporaries(group);

  auto *handle = new _AXParameter;
  handle->application = application_name;
  handle->group_directory = group;
  handle->system_directory = system;
  handle->declarations = std::move(declarations);
  // Read once here: the environment is not touched while threads use the handle.
  if (const char *serial = g_getenv("AXPARAMETER_SYSTEM_SERIAL")) handle->configured_serial = serial;
  return handle;
}

gboolean ax_parameter_get(AXParameter *handle, const gchar *name, gchar **value, GError **error) {
  if (value) *value = nullptr;
  if (!check_arguments(handle, name, error)) return FALSE;
  if (!value) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "No place for the value of parameter '%s'", printable_name(name).c_str());
    return FALSE;
  }

  // No lock: a handle's fields never change after it is made, and a value
  // file is only ever replaced whole by a rename, so a read sees the old
  // value or the new one. Status requests on several threads read at once.
  std::string text;
  if (is_system_parameter_name(name)) {
    if (!get_system_parameter(handle, name, text, error)) return FALSE;
  } else {
    const ParameterDeclaration *declaration = is_parameter_name(name)
                                                  ? find_declaration(handle->declarations, name)
                                                  : nullptr;
    if (!declaration) {
      g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_NOT_FOUND,
                  "Parameter '%s' is not declared for application '%s'",
                  printable_name(name).c_str(), handle->application.c_str());
      return FALSE;
    }
    bool missing = false;
    if (!read_value_file(handle->group_directory, name, text, missing, error)) return FALSE;
    // A parameter never written holds its declared initial value.
    if (missing) text = declaration->initial_value;
  }
  *value = g_strndup(text.data(), text.size());
  return TRUE;
}

gboolean ax_parameter_set(AXParameter *handle, const gchar *name, const gchar *value,
                          gboolean sync, GError **error) {
  if (!check_arguments(handle, name, error)) return FALSE;
  if (is_system_parameter_name(name)) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_READ_ONLY,
                "Parameter '%s' is read-only", name);
    return FALSE;
  }
  if (!is_parameter_name(name) || !find_declaration(handle->declarations, name)) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_NOT_FOUND,
                "Parameter '%s' is not declared for application '%s'",
                printable_name(name).c_str(), handle->application.c_str());
    return FALSE;
  }
  if (!value) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "No value given for parameter '%s'", name);
    return FALSE;
  }
  std::size_t length = std::strlen(value);
  if (length > AX_PARAMETER_VALUE_MAX) {
    g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_INVALID_ARGUMENT,
                "Value of parameter '%s' is longer than %d bytes", name, AX_PARAMETER_VALUE_MAX);
    return FALSE;
  }

  std::lock_guard<std::mutex> guard(handle->lock);
  return write_value_file(handle->group_directory, name, std::string(value, length), sync, error);
}

void ax_parameter_free(AXParameter *handle) { delete handle; }
