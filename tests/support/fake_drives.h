// Physical drives answering from scripted bytes, for the disk listing. Each
// query hands back what the test put there, as DeviceIoControl hands back the
// bytes it returned; a query nobody scripted fails with
// ERROR_INVALID_FUNCTION (1), as a driver without that control code answers.
// A drive number with no drive fails to open with ERROR_FILE_NOT_FOUND (2),
// as CreateFile on a missing \\.\PhysicalDriveN does. Opens and open handles
// are counted.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/physical_drive.h"
#include "support/bytes.h"

namespace dh::test {

class FakeDrives final : public PhysicalDriveSystem {
 public:
  struct Setup {
    SysResult<ByteVector> length = unexpected(SysError::from_os(1));
    SysResult<ByteVector> descriptor = unexpected(SysError::from_os(1));
    SysResult<ByteVector> attributes = unexpected(SysError::from_os(1));
  };
  std::map<uint32_t, Setup> drives;
  std::vector<uint32_t> opened;  // every open asked for, in order
  int open_handles = 0;

  // The 8 bytes of a GET_LENGTH_INFORMATION answer for `bytes`.
  static ByteVector length(uint64_t bytes) {
    ByteVector b;
    put_u64(b, 0, bytes);
    return b;
  }

  SysResult<PhysicalDrivePtr> open_drive(uint32_t number) override {
    opened.push_back(number);
    auto it = drives.find(number);
    if (it == drives.end()) return unexpected(SysError::from_os(2));
    return PhysicalDrivePtr(std::make_unique<Drive>(*this, it->second));
  }

 private:
  class Drive final : public PhysicalDrive {
   public:
    Drive(FakeDrives& owner, const Setup& setup) : owner_(owner), setup_(setup) { ++owner_.open_handles; }
    ~Drive() override { --owner_.open_handles; }
    SysResult<ByteVector> length_info() override { return setup_.length; }
    SysResult<ByteVector> device_descriptor() override { return setup_.descriptor; }
    SysResult<ByteVector> disk_attributes() override { return setup_.attributes; }

   private:
    FakeDrives& owner_;
    const Setup& setup_;
  };
};

}  // namespace dh::test
