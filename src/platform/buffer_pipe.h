// Two threads working on one stream of chunks at once: one end fills a small
// fixed set of buffers, the other drains them in the order they were filled.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "base/result.h"
#include "platform/buffered_io.h"

namespace dh {

// One buffer being filled, one being drained and one waiting between them.
inline constexpr size_t kPipeBuffers = 3;

// A bounded queue of `count` buffers of `size` bytes between a filling end
// and a draining end, and the thread that runs one of the two ends. Either
// end may stop the pipe: every wait returns at once and both ends see the
// end. Destruction stops the pipe and joins its thread.
//
// A `gated` pipe hands a chunk to the draining end only once the filling end
// has released the bytes up to its end (release(), counting every byte
// pushed, in order): bytes that still await a check can wait in the pipe
// without being drained. A chunk not released when the pipe is closed is
// never drained.
class BufferPipe {
 public:
  BufferPipe(size_t count, size_t size, bool gated = false);
  ~BufferPipe();
  BufferPipe(const BufferPipe&) = delete;
  BufferPipe& operator=(const BufferPipe&) = delete;

  size_t buffer_size() const { return size_; }

  // Runs `other_end` on a thread of its own; false when no thread could be
  // started (then nothing runs).
  bool start(std::function<void()> other_end);
  // Waits for the thread of start() to end.
  void join();

  // The filling end. A free buffer, waiting for one if need be; nullptr once
  // the pipe is stopped. The buffer belongs to the filling end until push().
  uint8_t* acquire();
  // Hands the first `size` bytes of the acquired buffer on, in order.
  void push(size_t size);
  // No chunk follows the ones pushed.
  void close();
  // A gated pipe may hand out the bytes before stream offset `end` (never
  // less than released before).
  void release(uint64_t end);

  // The draining end. The next chunk in order, waiting for it if need be
  // (the chunk returned before goes back to the free buffers); nothing once
  // the pipe is closed and drained, or stopped.
  std::optional<std::span<const uint8_t>> next();

  // Either end.
  void stop();

 private:
  const size_t size_;
  std::unique_ptr<uint8_t[]> memory_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint8_t*> free_;
  std::deque<std::span<const uint8_t>> filled_;
  uint8_t* filling_ = nullptr;
  const uint8_t* draining_ = nullptr;
  bool closed_ = false;
  bool stopped_ = false;
  const bool gated_;
  uint64_t released_ = 0;  // a gated pipe's release()
  uint64_t drained_ = 0;   // stream offset of the end of the chunks handed out
  // The front chunk may be drained (mutex_ held).
  bool front_ready() const { return !filled_.empty() && (!gated_ || drained_ + filled_.front().size() <= released_); }
  std::thread thread_;
};

// Runs `fill(buffer, capacity)` -> Expected<size_t, E> on a thread of its own,
// filling one buffer after another until it returns 0 or an error, while
// `drain(data, size)` -> bool takes the chunks on the calling thread in the
// same order. A drain that returns false stops the pipe at once: nothing is
// drained after it, and filling stops at its next buffer. A fill error comes
// after every chunk filled before it was drained, and is returned (nothing
// when the stream ended or drain stopped it). The thread is joined before
// this returns; when none can be started, fill and drain alternate on the
// calling thread.
template <class E, class Fill, class Drain>
std::optional<E> read_ahead(Fill&& fill, Drain&& drain, size_t buffer_size = kIoBufferSize) {
  BufferPipe pipe(kPipeBuffers, buffer_size);
  std::optional<E> failure;
  auto fill_one = [&]() -> bool {
    uint8_t* buffer = pipe.acquire();
    if (buffer == nullptr) return false;
    auto got = fill(buffer, pipe.buffer_size());
    if (!got) {
      failure = std::move(got).error();
      return false;
    }
    if (*got == 0) return false;
    pipe.push(*got);
    return true;
  };
  // The filling thread uses `fill_one`, `failure` and the callers' objects:
  // whatever way this function is left, even by an exception out of drain,
  // the thread is stopped and joined before any of them goes.
  struct JoinOnExit {
    BufferPipe& pipe;
    ~JoinOnExit() {
      pipe.stop();
      pipe.join();
    }
  } join_on_exit{pipe};
  const bool threaded = pipe.start([&] {
    while (fill_one()) {
    }
    pipe.close();
  });
  bool filled_all = threaded;
  for (;;) {
    if (!filled_all && !fill_one()) {
      filled_all = true;
      pipe.close();
    }
    auto chunk = pipe.next();
    if (!chunk) break;
    if (!drain(chunk->data(), chunk->size())) return std::nullopt;
  }
  pipe.join();
  return failure;
}

}  // namespace dh
