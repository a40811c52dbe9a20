// Buffered reading and writing over a File with the helper's 4 MiB buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

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

// Sequential reads of a target that a Windows raw drive accepts. On a regular
// file every read goes straight to the file. On a device every transfer is
// whole sectors (transfer_unit) from a sector boundary, never runs past the
// device's end, and asks for at most the bytes asked for rounded up to a
// sector; the rest of a sector read for its first bytes serves the next
// read. A range that runs past the device's end reads up to it and is then
// short, as it is on a file.
class AlignedReader {
 public:
  // The file must stand at offset 0 (or use seek()).
  AlignedReader(File& file, const FileKind& kind);
  // Moves to `offset`; on a device the file goes to the sector holding it.
  SysStatus seek(uint64_t offset);
  // One read of at most `len` bytes; 0 at the end of the file or device.
  SysResult<size_t> read(uint8_t* out, size_t len);
  // Reads until `len` bytes are in or the end comes first; returns how many.
  SysResult<size_t> read_full(uint8_t* out, size_t len);

 private:
  File& file_;
  uint32_t unit_;
  std::optional<uint64_t> length_;  // of the device; empty for a file or an untold length
  uint64_t position_ = 0;           // of the file; a sector boundary on a device
  std::vector<uint8_t> sector_;     // the last sector read for a read that ended inside it
  size_t sector_pos_ = 0;
  size_t sector_end_ = 0;
  size_t skip_ = 0;  // bytes of the next sector before the offset sought
};

// A write buffer in front of a File. Bytes that fit behind what is staged are
// copied in (and a buffer they fill is written at once); otherwise the staged
// bytes are written first, and then a chunk at least as large as the buffer
// goes straight to the file while a smaller one is staged. With a `unit` above 1 (a device's transfer_unit, which must
// divide the capacity) every write is whole units: only whole units of the
// staged bytes are written before flush_buffer, a direct chunk leaves its
// partial unit staged, and flush_buffer pads the last partial unit with
// zeros.
class BufferedWriter {
 public:
  explicit BufferedWriter(File& file, size_t capacity = kIoBufferSize, size_t unit = 1);
  // Takes all of `data`. A write of staged bytes that the file accepts with
  // zero bytes fails with "failed to write the buffered data"; a direct write
  // accepted with zero bytes fails with kZeroWriteText.
  SysStatus write(const uint8_t* data, size_t len);
  // Writes out whatever is staged, padded to a whole unit (not a device
  // flush).
  SysStatus flush_buffer();

 private:
  // Writes the first `count` staged bytes and keeps the rest at the front.
  SysStatus write_staged(size_t count);

  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  size_t unit_;
  size_t staged_ = 0;
};

inline constexpr const char* kBufferedZeroWriteText = "failed to write the buffered data";

}  // namespace dh
