// Move-only owners of Win32 handles, and the one DeviceIoControl wrapper.
// Win32 backend only.
#pragma once

#include <windows.h>

#include "platform/sys_error.h"

namespace dh {

// How a kind of handle is closed. Find handles have their own closer, and
// INVALID_HANDLE_VALUE is the failed value of both kinds.
struct KernelHandleTraits {
  static void close(HANDLE h) { CloseHandle(h); }
};
struct FindVolumeHandleTraits {
  static void close(HANDLE h) { FindVolumeClose(h); }
};

template <class Traits>
class BasicScopedHandle {
 public:
  BasicScopedHandle() = default;
  explicit BasicScopedHandle(HANDLE h) : h_(h) {}
  ~BasicScopedHandle() { reset(); }
  BasicScopedHandle(BasicScopedHandle&& o) noexcept : h_(o.release()) {}
  BasicScopedHandle& operator=(BasicScopedHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = o.release();
    }
    return *this;
  }
  BasicScopedHandle(const BasicScopedHandle&) = delete;
  BasicScopedHandle& operator=(const BasicScopedHandle&) = delete;

  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void reset() {
    if (valid()) {
      // Keep the caller's last-error code intact across the close.
      DWORD saved = GetLastError();
      Traits::close(h_);
      SetLastError(saved);
    }
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

using ScopedHandle = BasicScopedHandle<KernelHandleTraits>;
using ScopedFindVolumeHandle = BasicScopedHandle<FindVolumeHandleTraits>;

// One DeviceIoControl call with `in_size` bytes in and room for `out_size`
// bytes out. Returns the number of bytes the call returned, or its OS error.
inline SysResult<DWORD> device_control(HANDLE h, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size) {
  DWORD returned = 0;
  if (!DeviceIoControl(h, code, const_cast<void*>(in), in_size, out, out_size, &returned, nullptr)) {
    return unexpected(SysError::last());
  }
  return returned;
}

}  // namespace dh
