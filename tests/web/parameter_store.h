// The application parameter store of a program run by a test, seen
// through a handle of the test's own.
#pragma once

#include <string>

#include "axparameter.h"

#include "tests/support/test_support.h"

// A handle of the test's own on the store of a program run in a child
// process: reads and writes its application parameters by name.
class StoreView {
 public:
  explicit StoreView(const std::string &directory);
  ~StoreView();
  StoreView(const StoreView &) = delete;
  StoreView &operator=(const StoreView &) = delete;

  void set(const std::string &name, const std::string &value);
  std::string get(const std::string &name);
  // Makes the parameter unreadable and unwritable.
  void break_parameter(const std::string &name);

 private:
  std::string directory_;
  AXParameter *handle_ = nullptr;
};
