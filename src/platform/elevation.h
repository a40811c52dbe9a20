// Whether the helper runs with administrator rights. Replaceable in tests,
// which may themselves run as root or elevated.
#pragma once

namespace dh {

// True when the process runs elevated: on Windows its access token is
// elevated (GetTokenInformation with TokenElevation), on POSIX its
// effective user is root. False when the system cannot tell.
bool process_is_elevated();
// The system's own answer, whatever a test has set.
bool native_process_is_elevated();

// Makes process_is_elevated() answer `elevated` for the lifetime of this
// object.
class ScopedElevation {
 public:
  explicit ScopedElevation(bool elevated);
  ~ScopedElevation();
  ScopedElevation(const ScopedElevation&) = delete;
  ScopedElevation& operator=(const ScopedElevation&) = delete;

 private:
  const bool* previous_;
  bool elevated_;
};

}  // namespace dh
