// A read-only File over bytes held in memory: a disk image without a disk,
// for the reader's tests and its fuzz target.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/file.h"

namespace dh {

class MemoryFile final : public File {
 public:
  explicit MemoryFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    if (position_ >= bytes_.size()) return size_t{0};
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, bytes_.size() - position_));
    std::memcpy(buf, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  SysResult<size_t> write(const uint8_t*, size_t) override { return unexpected(SysError::fixed("read-only")); }
  // Like a file, any offset may be sought; reads past the end return 0.
  SysStatus seek(uint64_t offset) override {
    position_ = offset;
    return {};
  }
  SysStatus flush() override { return {}; }

 private:
  std::span<const uint8_t> bytes_;
  uint64_t position_ = 0;
};

}  // namespace dh
