// ThreadSanitizer builds only: GLib's GMutex and GCond are built on raw
// futexes that the sanitizer cannot see, so every section they guard would
// be reported as a race. These wrappers forward to GLib and tell the
// sanitizer where the lock is taken and released.
#include <dlfcn.h>
#include <glib.h>
#include <sanitizer/tsan_interface.h>

namespace {

template <typename Function>
Function real(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using MutexCall = void (*)(GMutex *);
using TryCall = gboolean (*)(GMutex *);
using WaitCall = void (*)(GCond *, GMutex *);
using TimedWaitCall = gboolean (*)(GCond *, GMutex *, gint64);

}  // namespace

extern "C" {

void g_mutex_lock(GMutex *mutex) {
  static auto lock = real<MutexCall>("g_mutex_lock");
  __tsan_mutex_pre_lock(mutex, 0);
  lock(mutex);
  __tsan_mutex_post_lock(mutex, 0, 0);
}

gboolean g_mutex_trylock(GMutex *mutex) {
  static auto trylock = real<TryCall>("g_mutex_trylock");
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
  gboolean taken = trylock(mutex);
  __tsan_mutex_post_lock(mutex, taken ? __tsan_mutex_try_lock : __tsan_mutex_try_lock_failed, 0);
  return taken;
}

void g_mutex_unlock(GMutex *mutex) {
  static auto unlock = real<MutexCall>("g_mutex_unlock");
  __tsan_mutex_pre_unlock(mutex, 0);
  unlock(mutex);
  __tsan_mutex_post_unlock(mutex, 0);
}

void g_cond_wait(GCond *cond, GMutex *mutex) {
  static auto wait = real<WaitCall>("g_cond_wait");
  __tsan_mutex_pre_unlock(mutex, 0);
  __tsan_mutex_post_unlock(mutex, 0);
  wait(cond, mutex);
  __tsan_mutex_pre_lock(mutex, 0);
  __tsan_mutex_post_lock(mutex, 0, 0);
}

gboolean g_cond_wait_until(GCond *cond, GMutex *mutex, gint64 end_time) {
  static auto wait_until = real<TimedWaitCall>("g_cond_wait_until");
  __tsan_mutex_pre_unlock(mutex, 0);
  __tsan_mutex_post_unlock(mutex, 0);
  gboolean signalled = wait_until(cond, mutex, end_time);
  __tsan_mutex_pre_lock(mutex, 0);
  __tsan_mutex_post_lock(mutex, 0, 0);
  return signalled;
}

}  // extern "C"
