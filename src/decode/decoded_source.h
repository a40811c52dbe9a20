// A compressed image as an ImageSource: decoded on a thread of its own (xz
// on several) while the reader consumes the bytes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decode/decoder.h"
#include "decode/image_source.h"
#include "decode/xz_decode.h"
#include "platform/file.h"

namespace dh {

// Starts decoding `image` as a whole file of `format` (see decode_image; for
// xz with the acceptance rules and the threads of xz_decode, kXzAutoThreads:
// as many as the stream allows), into a few hand-over buffers of its own
// (kDecodedSourceBuffers x kDecodedSourceBufferSize bytes) that read() empties. The
// decoder runs ahead of the reader by at most those buffers.
//
// Every format checks its data only after the data (an xz block's check, a
// gzip member's CRC-32 and length, a bzip2 stream's CRCs, a zstd frame's
// checksum, a zip entry's CRC-32). read() never hands out the last
// kDecodedHeldBackBytes decoded so far until the part that holds them has
// passed its check, so a damaged part never leaves whole, and a caller that
// stops early proves the rest with verify_read().
//
// read() fills `out` with `len` bytes, fewer only at the end of the decoded
// data. When decoding fails, the read() that reaches the failure point gives
// XZ_INVALID with the decoder's text and hands out none of its bytes, so a
// caller writing what it reads writes nothing of the chunk that failed; every
// later read() gives the same error.
//
// verify_read() decodes on (dropping what it decodes) until the part holding
// the last byte read() handed out has passed its check, or, when read() has
// handed out every decoded byte, until the file's end has passed too (an xz
// index and footer, the bytes after the last member or frame); XZ_INVALID with the decoder's text when a check fails.
// It ends the reading: a read() after it hands out nothing more.
//
// Destroying the source stops the decoder wherever it is (the rest of the
// stream is neither decoded nor checked) and joins every thread; `image` must
// outlive it.
class DecodedImageSource final : public ImageSource {
 public:
  DecodedImageSource(File& image, ImageFormat format, unsigned threads = kXzAutoThreads);
  ~DecodedImageSource() override;
  DecodedImageSource(const DecodedImageSource&) = delete;
  DecodedImageSource& operator=(const DecodedImageSource&) = delete;

  Expected<size_t, HelperError> read(uint8_t* out, size_t len) override;
  Expected<void, HelperError> verify_read() override;

 private:
  class Sink;
  struct Filled {
    uint8_t* data;
    size_t size;
  };
  void decode(File& image, ImageFormat format, unsigned threads);
  // The decoder's side: `len` decoded bytes into the hand-over buffers.
  SysStatus put(const uint8_t* data, size_t len);
  void push_current();  // with mutex_ held
  void verified(uint64_t end);
  void finish(SysStatus result);
  // The stream offset up to which read() may hand out bytes; mutex_ held.
  uint64_t releasable() const;
  HelperError failure() const;

  std::mutex mutex_;
  std::condition_variable filled_cv_;  // a buffer filled, a block checked, or the end
  std::condition_variable free_cv_;    // a buffer emptied, or stop
  std::unique_ptr<uint8_t[]> memory_;
  std::vector<uint8_t*> free_;
  std::deque<Filled> filled_;
  bool stop_ = false;
  bool ended_ = false;
  SysStatus result_;       // the decoder's, once ended_
  uint64_t pushed_ = 0;    // decoded bytes put into filled_ so far
  uint64_t verified_ = 0;  // bytes before this offset passed their block's check
  uint64_t handed_ = 0;    // bytes read() handed out
  bool dropping_ = false;  // verify_read() has begun dropping what follows
  // The decoder's own.
  uint8_t* current_ = nullptr;
  size_t current_size_ = 0;
  // The reader's own.
  size_t front_pos_ = 0;  // bytes of filled_.front() already handed out
  std::thread thread_;
};

inline constexpr size_t kDecodedSourceBuffers = 8;
inline constexpr size_t kDecodedSourceBufferSize = 1024 * 1024;
// At most two of the buffers hold these bytes, so the decoder always has
// room to reach the block's check.
inline constexpr uint64_t kDecodedHeldBackBytes = kDecodedSourceBufferSize;

}  // namespace dh
