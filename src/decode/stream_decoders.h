// The decoders of the formats a library decodes as one stream from front to
// back (gzip, bzip2, zstd), the raw deflate and stored data of a zip entry,
// and the pieces they share: the read buffer in front of a library and the
// hand-over of decoded bytes in whole pieces. Internal to src/decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"
#include "decode/decoder.h"
#include "platform/file.h"

namespace dh::decode {

// The library's words for its own codes, each behind one function.
std::string zlib_error_text(int code, const char* stream_message);
std::string bzip2_error_text(int code);
std::string zstd_error_text(size_t code);

// "Invalid <format> image: <text>".
SysError invalid(ImageFormat format, const std::string& text);
// "Failed to read the image: <OS text>", the OS code kept.
SysError read_error(const SysError& error);
// Exactly `len` bytes at `offset` into `out`; a failure as read_error.
SysStatus read_at(File& file, uint64_t offset, uint8_t* out, size_t len);

// The compressed bytes in front of a library: one buffer refilled by single
// reads of the file, at most `limit` bytes in all.
class Input {
 public:
  Input(File& file, size_t capacity, uint64_t limit = UINT64_MAX)
      : file_(file), buffer_(new uint8_t[capacity]), capacity_(capacity), left_(limit) {}
  // Refills an empty buffer; false at the end of the file (or the limit).
  SysResult<bool> fill();
  const uint8_t* next = nullptr;
  size_t avail = 0;
  uint64_t consumed_before_next() const { return read_ - avail; }

 private:
  File& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  uint64_t left_;
  uint64_t read_ = 0;
};

// Gathers decoded bytes into pieces of kDecodeOutputChunk for the sink.
class Output {
 public:
  explicit Output(DecodeSink& sink) : sink_(sink), buffer_(new uint8_t[kDecodeOutputChunk]) {}
  // The free room of the current piece, for a library to decode into.
  uint8_t* room() { return buffer_.get() + filled_; }
  size_t room_size() const { return kDecodeOutputChunk - filled_; }
  // `len` bytes were decoded into room(); a full piece goes to the sink.
  SysStatus produced(size_t len);
  // Every byte decoded so far has passed its check.
  SysStatus verified() { return sink_.verified(total_); }
  // Hands over the last, partial piece.
  SysStatus finish();
  uint64_t total() const { return total_; }

 private:
  DecodeSink& sink_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t filled_ = 0;
  uint64_t total_ = 0;
};

SysStatus gzip_decode(File& input, size_t read_buffer_size, DecodeSink& sink);
SysStatus bzip2_decode(File& input, size_t read_buffer_size, DecodeSink& sink);
SysStatus zstd_decode(File& input, size_t read_buffer_size, DecodeSink& sink);
SysStatus zip_decode(File& input, size_t read_buffer_size, DecodeSink& sink);

}  // namespace dh::decode
