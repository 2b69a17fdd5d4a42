// A parameter store handle of the test's own (see parameter_store.h).
#include "tests/web/parameter_store.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// A directory where the value file belongs: reads fail, and so does the
// rename that replaces the file on a write.
void break_value_file(const std::string &store, const std::string &name) {
  auto path = std::filesystem::path(store) / "apps" / "corvane" / name;
  std::filesystem::remove(path);
  std::filesystem::create_directories(path);
  std::ofstream(path / "keep") << "x";
}

}  // namespace

StoreView::StoreView(const std::string &directory) : directory_(directory) {
  g_setenv("AXPARAMETER_DIR", directory.c_str(), TRUE);
  GError *error = nullptr;
  handle_ = ax_parameter_new("corvane", &error);
  EXPECT_NE(handle_, nullptr) << (error ? error->message : "no error");
  g_clear_error(&error);
}

StoreView::~StoreView() {
  if (handle_) ax_parameter_free(handle_);
}

void StoreView::set(const std::string &name, const std::string &value) {
  GError *error = nullptr;
  EXPECT_TRUE(ax_parameter_set(handle_, name.c_str(), value.c_str(), TRUE, &error))
      << name << ": " << (error ? error->message : "no error");
  g_clear_error(&error);
}

std::string StoreView::get(const std::string &name) {
  GError *error = nullptr;
  gchar *value = nullptr;
  EXPECT_TRUE(ax_parameter_get(handle_, name.c_str(), &value, &error))
      << name << ": " << (error ? error->message : "no error");
  g_clear_error(&error);
  std::string text = value ? value : "";
  g_free(value);
  return text;
}

void StoreView::break_parameter(const std::string &name) { break_value_file(directory_, name); }
