// Buffered reading and writing over a File with the helper's 4 MiB buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace dh {

inline constexpr size_t kIoBufferSize = 4 * 1024 * 1024;

// A read buffer in front of a File. A read that asks for at least the buffer's
// size while the buffer is empty bypasses it; a shorter read is served from
// one fill of the buffer, so the file may be read ahead by less than one
// buffer.
class BufferedReader {
 public:
  explicit BufferedReader(File& file, size_t capacity = kIoBufferSize);
  // One read of at most `len` bytes; 0 at end of file.
  SysResult<size_t> read(uint8_t* out, size_t len);

 private:
  File& file_;
  // Left uninitialised: pages that are never used (reads that bypass the
  // buffer) then cost no memory.
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  size_t pos_ = 0;
  size_t filled_ = 0;
};

// A write buffer in front of a File. Bytes that fit behind what is staged are
// copied in; otherwise the staged bytes are written first, and then a chunk at
// least as large as the buffer goes straight to the file while a smaller one
// is staged.
class BufferedWriter {
 public:
  explicit BufferedWriter(File& file, size_t capacity = kIoBufferSize);
  // Takes all of `data`. A write of staged bytes that the file accepts with
  // zero bytes fails with "failed to write the buffered data"; a direct write
  // accepted with zero bytes fails with kZeroWriteText.
  SysStatus write(const uint8_t* data, size_t len);
  // Writes out whatever is staged (not a device flush).
  SysStatus flush_buffer();
  size_t staged() const { return staged_; }
  // Frees the buffer; later writes go straight to the file.
  void release();

 private:
  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  size_t staged_ = 0;
};

inline constexpr const char* kBufferedZeroWriteText = "failed to write the buffered data";

}  // namespace dh
