// A File over bytes held in memory: a target or a disk image without a disk,
// for the tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

#include "platform/file.h"
#include "support/bytes.h"

namespace dh::test {

// Models a handle opened for reading only: ReadFile hands back at most the
// bytes left (at most `chunk` at a time, as a device may return less than
// asked) and 0 at the end; SetFilePointerEx takes any offset, reads past the
// end return 0; WriteFile fails with ERROR_ACCESS_DENIED (5). A read or seek
// can be made to fail with an OS error code.
//
// Opened `writable`, WriteFile stores at the file pointer and grows the file;
// like WriteFile's lpNumberOfBytesWritten it may report fewer bytes than
// asked, even 0, and still succeed (`accept`), so a caller has to check the
// count it gets back.
class MemoryFile final : public File {
 public:
  explicit MemoryFile(std::span<const uint8_t> bytes = {}, size_t chunk = SIZE_MAX)
      : data_(bytes.begin(), bytes.end()), chunk_(chunk) {}
  int read_error = 0;  // fails every read once set
  int seek_error = 0;
  int calls = 0;                 // every call on the handle
  size_t last_read_request = 0;  // the length the last read asked for
  bool writable = false;
  // Answer kind() with the bytes' length, as a regular file's handle does
  // (GetFileSizeEx); otherwise the length is unknown.
  bool tells_length = false;
  std::deque<size_t> accept;   // bytes each write takes, front first; empty: all
  std::vector<size_t> writes;  // bytes each write took

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    ++calls;
    last_read_request = len;
    if (read_error != 0) return unexpected(SysError::from_os(read_error));
    if (pos_ >= data_.size()) return size_t{0};
    size_t n = std::min({len, chunk_, static_cast<size_t>(data_.size() - pos_)});
    std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  SysResult<size_t> write(const uint8_t* buf, size_t len) override {
    ++calls;
    if (!writable) return unexpected(SysError::from_os(5));
    size_t n = len;
    if (!accept.empty()) {
      n = std::min(len, accept.front());
      accept.pop_front();
    }
    if (pos_ + n > data_.size()) data_.resize(static_cast<size_t>(pos_ + n));
    std::copy(buf, buf + n, data_.begin() + static_cast<ptrdiff_t>(pos_));
    pos_ += n;
    writes.push_back(n);
    return n;
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
  FileKind kind() override {
    if (!tells_length) return File::kind();
    return FileKind{.device = false, .length = data_.size()};
  }

 private:
  ByteVector data_;
  size_t chunk_;
  uint64_t pos_ = 0;
};

}  // namespace dh::test
