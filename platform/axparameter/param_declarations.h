// Which parameters an application group has, and the names the store accepts.
#pragma once

#include <glib.h>

#include <cstddef>
#include <string>
#include <vector>

struct ParameterDeclaration {
  std::string name;
  std::string initial_value;
};

// A package whose declarations are compiled into the library.
struct BuiltinPackage {
  const char *application;
  const char *declarations;
};
extern const BuiltinPackage builtin_packages[];
extern const std::size_t builtin_package_count;

// Application group names: a letter or digit, then letters, digits, '_' or '-'.
bool is_application_name(const char *name);
// Application parameter names: a letter, then letters, digits or '_'.
bool is_parameter_name(const char *name);
// System parameter names: two or more parameter-like words joined by '.'.
bool is_system_parameter_name(const char *name);

// Parses "Name=initial value" lines ('#' starts a comment line). `origin`
// names the source in error messages.
bool parse_declarations(const std::string &text, const std::string &origin,
                        std::vector<ParameterDeclaration> &out, GError **error);

// Reads `<package dir>/<application>.params`, where the package directory is
// AXPARAMETER_PACKAGE_DIR or else the running program's folder. Without that
// file the built-in copy of the application's declarations is used.
bool load_declarations(const std::string &application, std::vector<ParameterDeclaration> &out,
                       GError **error);

const ParameterDeclaration *find_declaration(const std::vector<ParameterDeclaration> &declarations,
                                             const char *name);
