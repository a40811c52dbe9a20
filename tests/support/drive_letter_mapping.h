// Test support: a spare drive letter that leads to a test folder, so the
// helper can be run end to end against a "boot partition" that is a folder.
#pragma once

#include <string>

namespace dh::test {

// Maps a free drive letter to `folder` for the lifetime of the object. On a
// platform without drive letters nothing is mapped and letter() is empty.
class ScopedDriveLetter {
 public:
  explicit ScopedDriveLetter(const std::string& folder);
  ~ScopedDriveLetter();
  ScopedDriveLetter(const ScopedDriveLetter&) = delete;
  ScopedDriveLetter& operator=(const ScopedDriveLetter&) = delete;

  // The mapped letter, such as "Q"; empty when none could be mapped.
  const std::string& letter() const { return letter_; }
  // Why no letter was mapped.
  const std::string& failure() const { return failure_; }

 private:
  std::string folder_;
  std::string letter_;
  std::string failure_;
  bool through_wine_ = false;
  bool had_drive_type_ = false;
};

}  // namespace dh::test
