// A scoped lock on a GLib mutex: held for one short section.
#pragma once

#include <glib.h>

class MutexLock {
 public:
  explicit MutexLock(GMutex &mutex) : mutex_(mutex) { g_mutex_lock(&mutex_); }
  ~MutexLock() { g_mutex_unlock(&mutex_); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  GMutex &mutex_;
};
