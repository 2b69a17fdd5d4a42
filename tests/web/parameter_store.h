// An application parameter store of its own for in-process tests: the
// platform stand-in opened on a fresh directory, its handle in AppState.
#pragma once

#include <string>

#include "axparameter.h"

#include "tests/support/test_support.h"

class ParameterStore {
 public:
  ParameterStore();   // opens the handle into app_state.parameters
  ~ParameterStore();  // frees it and leaves app_state.parameters empty
  ParameterStore(const ParameterStore &) = delete;
  ParameterStore &operator=(const ParameterStore &) = delete;

  bool opened() const;
  void set(const std::string &name, const std::string &value);
  std::string get(const std::string &name);
  // Makes the parameter unreadable and unwritable.
  void break_parameter(const std::string &name);
  // The handle is dropped (the files stay); a later reopen() reads them again.
  void close();
  void reopen();

 private:
  corvane_test::TempDir dir_;
};

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
