// Small move-only owners for the C handles the program holds. Where a
// release order is fixed, the code releases explicitly with reset(); these
// owners only make sure nothing leaks on the paths in between.
#pragma once

#include <glib-object.h>

#include <memory>

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T *handle) const {
    Release(handle);
  }
};

// GError: freed with g_error_free.
using ErrorOwner = std::unique_ptr<GError, ReleaseWith<g_error_free>>;

// Any GObject (VDO maps and streams, D-Bus connections): one reference.
template <typename T>
using ObjectRef = std::unique_ptr<T, ReleaseWith<g_object_unref>>;

// GByteArray: freed with its data.
inline void free_byte_array(GByteArray *array) { g_byte_array_free(array, TRUE); }
using ByteArrayOwner = std::unique_ptr<GByteArray, ReleaseWith<free_byte_array>>;

// g_malloc'ed text.
using TextOwner = std::unique_ptr<char, ReleaseWith<g_free>>;

// Writes into a GError** slot owned by an ErrorOwner:
//   ErrorOwner error; call(..., out_error(error));
class ErrorSlot {
 public:
  explicit ErrorSlot(ErrorOwner &owner) : owner_(owner) {}
  ~ErrorSlot() { owner_.reset(raw_); }
  operator GError **() { return &raw_; }

 private:
  ErrorOwner &owner_;
  GError *raw_ = nullptr;
};
inline ErrorSlot out_error(ErrorOwner &owner) { return ErrorSlot(owner); }
