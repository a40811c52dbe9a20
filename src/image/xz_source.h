// An .xz image as an ImageSource: decoded on threads of its own while the
// reader consumes the bytes.
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

#include "image/image_source.h"
#include "image/xz_decode.h"
#include "platform/file.h"

namespace dh {

// Starts decoding `image` from its current position as one .xz stream, with
// the acceptance rules and the threads of xz_decode (kXzAutoThreads: as many
// as the stream allows), into a few hand-over buffers of its own
// (kXzSourceBuffers x kXzSourceBufferSize bytes) that read() empties. The
// decoder runs ahead of the reader by at most those buffers.
//
// XZ checks a block's integrity only after its last byte. read() never hands
// out the last kXzHeldBackBytes decoded so far until the block that holds
// them has passed its check, so a damaged block never leaves whole, and a
// caller that stops early proves the rest with verify_read().
//
// read() fills `out` with `len` bytes, fewer only at the end of the decoded
// data. When decoding fails, the read() that reaches the failure point gives
// XZ_INVALID with the decoder's text and hands out none of its bytes, so a
// caller writing what it reads writes nothing of the chunk that failed; every
// later read() gives the same error.
//
// verify_read() decodes on (dropping what it decodes) until the block holding
// the last byte read() handed out has passed its check, or, when read() has
// handed out every decoded byte of the stream, until the index and footer
// have passed too; XZ_INVALID with the decoder's text when a check fails.
// It ends the reading: a read() after it hands out nothing more.
//
// Destroying the source stops the decoder wherever it is (the rest of the
// stream is neither decoded nor checked) and joins every thread; `image` must
// outlive it.
class XzImageSource final : public ImageSource {
 public:
  explicit XzImageSource(File& image, unsigned threads = kXzAutoThreads);
  ~XzImageSource() override;
  XzImageSource(const XzImageSource&) = delete;
  XzImageSource& operator=(const XzImageSource&) = delete;

  Expected<size_t, HelperError> read(uint8_t* out, size_t len) override;
  Expected<void, HelperError> verify_read() override;

 private:
  class Sink;
  struct Filled {
    uint8_t* data;
    size_t size;
  };
  void decode(File& image, unsigned threads);
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

inline constexpr size_t kXzSourceBuffers = 8;
inline constexpr size_t kXzSourceBufferSize = 1024 * 1024;
// At most two of the buffers hold these bytes, so the decoder always has
// room to reach the block's check.
inline constexpr uint64_t kXzHeldBackBytes = kXzSourceBufferSize;

}  // namespace dh
