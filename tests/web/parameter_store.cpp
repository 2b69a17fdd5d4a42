// In-process parameter store for tests (see parameter_store.h).
#include "tests/web/parameter_store.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/app_state.h"

ParameterStore::ParameterStore() { reopen(); }

ParameterStore::~ParameterStore() { close(); }

bool ParameterStore::opened() const { return app_state.parameters != nullptr; }

void ParameterStore::reopen() {
  close();
  g_setenv("AXPARAMETER_DIR", dir_.path().c_str(), TRUE);
  GError *error = nullptr;
  app_state.parameters = ax_parameter_new("corvane", &error);
  EXPECT_NE(app_state.parameters, nullptr) << (error ? error->message : "no error");
  g_clear_error(&error);
}

void ParameterStore::close() {
  if (app_state.parameters) ax_parameter_free(app_state.parameters);
  app_state.parameters = nullptr;
}

void ParameterStore::set(const std::string &name, const std::string &value) {
  GError *error = nullptr;
  EXPECT_TRUE(ax_parameter_set(app_state.parameters, name.c_str(), value.c_str(), FALSE, &error))
      << name << ": " << (error ? error->message : "no error");
  g_clear_error(&error);
}

std::string ParameterStore::get(const std::string &name) {
  GError *error = nullptr;
  gchar *value = nullptr;
  EXPECT_TRUE(ax_parameter_get(app_state.parameters, name.c_str(), &value, &error))
      << name << ": " << (error ? error->message : "no error");
  g_clear_error(&error);
  std::string text = value ? value : "";
  g_free(value);
  return text;
}

void ParameterStore::break_parameter(const std::string &name) {
  // A directory where the value file belongs: reads fail, and so does the
  // rename that replaces the file on a write.
  auto path = std::filesystem::path(dir_.path()) / "apps" / "corvane" / name;
  std::filesystem::remove(path);
  std::filesystem::create_directories(path);
  std::ofstream(path / "keep") << "x";
}
