// Test support: a spare drive letter that leads to a test folder, so the
// helper can be run end to end against a "boot partition" that is a folder.
#pragma once

#include <string>

#include "support/test_support.h"

namespace dh::test {

// Maps a free drive letter to `folder` for the lifetime of the object. On a
// platform without drive letters nothing is mapped and letter() is empty.
//
// Under Wine the letter also names a volume, as every drive letter on
// Windows does: CreateFileW opens it as "\\.\X:" ("When opening a volume or
// removable media drive (for example, a floppy disk drive or flash memory
// thumb drive), the lpFileName string should be the following form:
// "\\.\X:". Do not use a trailing backslash (\), which indicates the root
// directory of a drive."), and FlushFileBuffers on that handle commits it
// ("To flush all open files on a volume, call FlushFileBuffers with a handle
// to the volume."). An empty file stands in for the volume device; a flush
// of it succeeds. On Windows itself DefineDosDeviceW maps the letter to the
// folder only: "\\.\X:" then opens the folder, and a volume flush fails.
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
  TempDir volume_;  // holds the file standing in for the volume device
  std::string letter_;
  std::string failure_;
  bool through_wine_ = false;
  bool had_drive_type_ = false;
};

}  // namespace dh::test
