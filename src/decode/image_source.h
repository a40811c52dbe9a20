// A sequential source of an image's bytes, whether the image file is plain
// or compressed: what the write stage writes and the first-difference scan
// compares. Every source hands its bytes over through one pipe, filled by a
// thread of the source's own (reading the file, or decoding it) while the
// caller works on the chunk before; that thread hashes what it hands over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "decode/sha256.h"
#include "platform/buffer_pipe.h"
#include "platform/file.h"
#include "protocol/helper_error.h"

namespace dh {

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The next chunk of the image, valid until the next call; empty at its
  // end, or once the limit the source was given is reached. A failure (a
  // read error, damaged data) comes after every chunk before it was handed
  // out, and every later call gives it again.
  virtual Expected<std::span<const uint8_t>, HelperError> next() = 0;
  // The SHA-256 of every byte handed out, as 64 lower-case hex digits, once
  // next() has given the empty chunk; empty for a source that does not hash.
  virtual std::string digest() = 0;
};

// Gathers a source's chunks into reads of a caller's size.
class SourceReader {
 public:
  explicit SourceReader(ImageSource& source) : source_(source) {}
  // `len` next bytes into `out`, fewer only at the end; the rest of a chunk
  // waits for the next call.
  Expected<size_t, HelperError> read(uint8_t* out, size_t len);

 private:
  ImageSource& source_;
  std::span<const uint8_t> rest_;
};

// The bytes of a plain image file from its current position, at most
// `limit` of them, in chunks of kIoBufferSize read on a thread of the
// source's own (each chunk gathered from as many reads as it takes), and
// hashed there when `hash`. A failed read is `read_error_code` with the OS
// text. `image` must outlive the source; destroying it stops and joins the
// thread.
class PlainImageSource final : public ImageSource {
 public:
  PlainImageSource(File& image, ErrorCode read_error_code, std::optional<uint64_t> limit, bool hash);
  ~PlainImageSource() override;
  PlainImageSource(const PlainImageSource&) = delete;
  PlainImageSource& operator=(const PlainImageSource&) = delete;

  Expected<std::span<const uint8_t>, HelperError> next() override;
  std::string digest() override;

 private:
  // Fills and pushes one chunk; false at the end, on a failure or a stop.
  bool fill_one();

  File& image_;
  const ErrorCode code_;
  const std::optional<uint64_t> limit_;
  const bool hash_;
  // The filling side's; read by next() once the pipe is closed.
  uint64_t read_ = 0;
  Sha256 sha_;
  std::optional<HelperError> failure_;
  bool threaded_ = false;
  bool filled_all_ = false;  // without a thread: the end was reached here
  // Last, so that its thread is joined before anything it uses goes.
  BufferPipe pipe_;
};

}  // namespace dh
