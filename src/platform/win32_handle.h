// Move-only owner of a Win32 HANDLE. Win32 backend only.
#pragma once

#include <windows.h>

namespace dh {

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(ScopedHandle&& o) noexcept : h_(o.release()) {}
  ScopedHandle& operator=(ScopedHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = o.release();
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

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
      CloseHandle(h_);
      SetLastError(saved);
    }
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace dh
