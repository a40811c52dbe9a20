// A compressed image as an ImageSource: decoded on a thread of its own (xz
// blocks on several) straight into the one pipe the caller drains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "decode/decoder.h"
#include "decode/image_source.h"
#include "decode/sha256.h"
#include "decode/xz_decode.h"
#include "platform/buffer_pipe.h"
#include "platform/file.h"

namespace dh {

// Starts decoding `image` as a whole file of `format` (see decode_image; for
// xz with the acceptance rules and the threads of xz_decode, kXzAutoThreads:
// as many as the stream allows) into a gated pipe of kDecodedSourceBuffers
// buffers of kDecodedSourceBufferSize bytes, hashing (when `hash`) the first
// `limit` decoded bytes (all of them without a limit) as they go in. The
// decoder runs ahead of the caller by at most those buffers.
//
// Every format checks its data only after the data (an xz block's check, a
// gzip member's CRC-32 and length, a bzip2 stream's CRCs, a zstd frame's
// checksum, a zip entry's CRC-32). next() never hands out a chunk holding any
// of the last kDecodedHeldBackBytes decoded so far until the part that holds
// them has passed its check, so a damaged part never leaves whole. When the
// image goes on past `limit`, the decoder decodes on (dropping what follows)
// until the part holding the limit's last byte has passed its check, or, when
// the image ends right at the limit, until the file's end has passed too (an
// xz index and footer, the bytes after the last member or frame); only then
// does the chunk holding that last byte go out. A limit of 0 decodes nothing.
//
// When decoding fails, next() hands out what the rule above released, then
// gives XZ_INVALID with the decoder's text (a failed read of the file
// included), and so on every later call: a caller writing what it gets
// writes nothing of the chunk that failed.
//
// Destroying the source stops the decoder wherever it is (the rest of the
// stream is neither decoded nor checked) and joins every thread; `image` must
// outlive it.
class DecodedImageSource final : public ImageSource {
 public:
  DecodedImageSource(File& image, ImageFormat format, std::optional<uint64_t> limit = std::nullopt, bool hash = true,
                     unsigned threads = kXzAutoThreads);
  ~DecodedImageSource() override;
  DecodedImageSource(const DecodedImageSource&) = delete;
  DecodedImageSource& operator=(const DecodedImageSource&) = delete;

  Expected<std::span<const uint8_t>, HelperError> next() override;
  std::string digest() override;

 private:
  class Sink;
  void decode(File& image, ImageFormat format, unsigned threads);
  // The decoder's side: `len` decoded bytes into the pipe.
  SysStatus put(const uint8_t* data, size_t len);
  SysStatus verified(uint64_t end);
  void push_current();
  // Releases what the rule allows; true once the limit's last byte is proven.
  bool release();
  void finish(SysStatus result);

  const uint64_t limit_;
  const bool hash_;
  // The decoder's own; read by next() once the pipe is closed.
  uint8_t* current_ = nullptr;
  size_t current_size_ = 0;
  uint64_t pushed_ = 0;    // bytes in chunks pushed into the pipe (at most limit_)
  uint64_t decoded_ = 0;   // every byte decoded, those past the limit included
  uint64_t verified_ = 0;  // bytes before this offset passed their part's check
  bool proven_ = false;    // the limit's last byte is proven; decoding stops
  Sha256 sha_;
  std::mutex mutex_;                 // guards failure_ for next()
  std::optional<SysError> failure_;  // the decoder's, once the pipe is closed
  BufferPipe pipe_;
  std::thread thread_;
};

inline constexpr size_t kDecodedSourceBuffers = 8;
inline constexpr size_t kDecodedSourceBufferSize = 1024 * 1024;
// The last chunk pushed holds these bytes, so the decoder always has room to
// reach the part's check.
inline constexpr uint64_t kDecodedHeldBackBytes = kDecodedSourceBufferSize;

}  // namespace dh
