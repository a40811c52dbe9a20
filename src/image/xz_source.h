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
// read() fills `out` with `len` bytes, fewer only at the end of the decoded
// data. When decoding fails, the read() that reaches the failure point gives
// XZ_INVALID with the decoder's text and hands out none of its bytes, so a
// caller writing what it reads writes nothing of the chunk that failed; every
// later read() gives the same error.
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

 private:
  class Sink;
  struct Filled {
    uint8_t* data;
    size_t size;
  };
  void decode(File& image, unsigned threads);
  // The decoder's side: `len` decoded bytes into the hand-over buffers.
  SysStatus put(const uint8_t* data, size_t len);
  void finish(SysStatus result);

  std::mutex mutex_;
  std::condition_variable filled_cv_;  // a buffer filled, or the end
  std::condition_variable free_cv_;    // a buffer emptied, or stop
  std::unique_ptr<uint8_t[]> memory_;
  std::vector<uint8_t*> free_;
  std::deque<Filled> filled_;
  bool stop_ = false;
  bool ended_ = false;
  SysStatus result_;  // the decoder's, once ended_
  // The decoder's own.
  uint8_t* current_ = nullptr;
  size_t current_size_ = 0;
  // The reader's own.
  size_t front_pos_ = 0;  // bytes of filled_.front() already handed out
  std::thread thread_;
};

inline constexpr size_t kXzSourceBuffers = 8;
inline constexpr size_t kXzSourceBufferSize = 1024 * 1024;

}  // namespace dh
