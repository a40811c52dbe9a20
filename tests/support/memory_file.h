// A File over bytes held in memory: a target or a disk image without a disk,
// for the tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/file.h"
#include "support/bytes.h"

namespace dh::test {

// Models a handle opened for reading only: ReadFile hands back at most the
// bytes left (at most `chunk` at a time, as a device may return less than
// asked) and 0 at the end; SetFilePointerEx takes any offset, reads past the
// end return 0; WriteFile fails with ERROR_ACCESS_DENIED (5). A read or seek
// can be made to fail with an OS error code.
class MemoryFile final : public File {
 public:
  explicit MemoryFile(std::span<const uint8_t> bytes, size_t chunk = SIZE_MAX)
      : data_(bytes.begin(), bytes.end()), chunk_(chunk) {}
  int read_error = 0;  // fails every read once set
  int seek_error = 0;
  int calls = 0;  // every call on the handle

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    ++calls;
    if (read_error != 0) return unexpected(SysError::from_os(read_error));
    if (pos_ >= data_.size()) return size_t{0};
    size_t n = std::min({len, chunk_, static_cast<size_t>(data_.size() - pos_)});
    std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  SysResult<size_t> write(const uint8_t*, size_t) override {
    ++calls;
    return unexpected(SysError::from_os(5));
  }
  SysStatus seek(uint64_t offset) override {
    ++calls;
    if (seek_error != 0) return unexpected(SysError::from_os(seek_error));
    pos_ = offset;
    return {};
  }
  SysStatus flush() override {
    ++calls;
    return {};
  }

 private:
  ByteVector data_;
  size_t chunk_;
  uint64_t pos_ = 0;
};

}  // namespace dh::test
