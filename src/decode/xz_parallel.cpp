// xz_decode on several threads. The calling thread hands decoded bytes to
// the sink; a reader thread walks the stream (headers, index, footer) and
// decodes in place the blocks it cannot hand over; worker threads decode the
// blocks whose headers give both sizes. Everything the sink receives passes
// through one queue kept in stream order, so the sink sees the same pieces
// as on one thread, and the first failure in that order is the one reported.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "decode/xz_stream.h"

namespace dh::xz {
namespace {

// Hand-over buffers of blocks decoded in place.
constexpr size_t kSlotSize = 1u << 20;
constexpr size_t kSlotCount = 4;
// A worker tells the caller about new output at most once per this many
// bytes, so the sink can start on a block before it is fully decoded.
constexpr uint64_t kPublishStep = 1u << 20;

constexpr const char* kStoppedText = "XZ decoding stopped";

struct Buffer {
  std::unique_ptr<uint8_t[]> data;
  size_t capacity = 0;
};

struct JobState {
  BlockJob job;
  Buffer input;
  Buffer output;
  // Guarded by the pipeline's mutex.
  uint64_t published = 0;  // decoded bytes the caller may hand on
  bool done = false;
  Status result;
};

// One entry of the output queue, in stream order.
struct Item {
  enum class Kind { kBytes, kJob, kBlockChecked, kEndOfBlocks, kEnd };
  Kind kind = Kind::kEnd;
  uint8_t* bytes = nullptr;  // kBytes: a hand-over buffer
  size_t size = 0;
  std::unique_ptr<JobState> job;  // kJob
  Status end;                     // kEnd: what the walk ended with
};

class Pipeline final : public WalkOutput {
 public:
  Pipeline(size_t chunk, unsigned threads) : chunk_(chunk), threads_(threads) {}
  ~Pipeline() override {
    stop();
    if (reader_.joinable()) reader_.join();
    for (auto& worker : workers_) worker.join();
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Starts the reader thread; false when no thread could be started.
  bool start(File& input, size_t read_buffer_size) {
    try {
      reader_ = std::thread([this, &input, read_buffer_size] { read(input, read_buffer_size); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // On the calling thread: hands the queue's bytes to the sink until the end
  // or the first failure.
  Status deliver(DecodeSink& sink);

  SysResult<std::span<uint8_t>> room() override;
  Status commit(size_t n) override;
  Status block_checked() override;
  Status end_of_blocks() override;
  SysResult<BlockJob*> claim(const lzma_block& block, uint64_t decoder_memory, size_t input_size) override;
  Status submit(BlockJob* job) override;

 private:
  void read(File& input, size_t read_buffer_size);
  void work();
  bool start_workers(unsigned count);
  void push(Item item);
  void push_slot();
  void stop();
  Status deliver_job(JobState& state, PieceSink& pieces, std::unique_lock<std::mutex>& lock);
  void release(JobState& state);
  static bool take_buffer(std::vector<Buffer>& pool, size_t size, Buffer& out);

  const size_t chunk_;
  const unsigned threads_;

  std::mutex mutex_;
  std::condition_variable delivery_cv_;  // an item or output for the caller
  std::condition_variable reader_cv_;    // a free slot, or a block delivered
  std::condition_variable work_cv_;      // a job for the workers, or stop
  bool stop_ = false;
  std::atomic<bool> stopping_{false};
  std::deque<Item> items_;
  std::deque<JobState*> work_;
  std::vector<uint8_t*> free_slots_;
  unsigned in_flight_ = 0;  // jobs claimed and not yet delivered
  std::vector<Buffer> free_inputs_;
  std::vector<Buffer> free_outputs_;
  std::unique_ptr<JobState> delivering_;  // the caller's

  // The reader's own.
  std::thread reader_;
  std::vector<std::thread> workers_;
  bool workers_started_ = false;
  uint64_t per_block_limit_ = 0;
  std::unique_ptr<uint8_t[]> slot_memory_;
  uint8_t* slot_ = nullptr;
  size_t slot_used_ = 0;
  uint64_t offset_ = 0;  // decoded bytes of the stream so far
  std::unique_ptr<JobState> claimed_;
};

void Pipeline::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopping_.store(true, std::memory_order_relaxed);
  delivery_cv_.notify_all();
  reader_cv_.notify_all();
  work_cv_.notify_all();
}

void Pipeline::push(Item item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
  }
  delivery_cv_.notify_one();
}

void Pipeline::push_slot() {
  if (slot_ == nullptr) return;
  Item item;
  item.kind = Item::Kind::kBytes;
  item.bytes = slot_;
  item.size = slot_used_;
  slot_ = nullptr;
  slot_used_ = 0;
  push(std::move(item));
}

void Pipeline::read(File& input, size_t read_buffer_size) {
  Status result;
  try {
    StreamWalker walker(input, read_buffer_size, *this);
    result = walker.run();
  } catch (const std::bad_alloc&) {
    result = unexpected(SysError::fixed(kMemoryText));
  }
  // Bytes decoded before a failure still count, as far as they fill pieces.
  push_slot();
  Item end;
  end.kind = Item::Kind::kEnd;
  end.end = std::move(result);
  push(std::move(end));
}

SysResult<std::span<uint8_t>> Pipeline::room() {
  if (slot_ == nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!slot_memory_) {
      slot_memory_.reset(new uint8_t[kSlotSize * kSlotCount]);
      for (size_t i = 0; i < kSlotCount; ++i) free_slots_.push_back(slot_memory_.get() + i * kSlotSize);
    }
    // Blocks decoded in place wait for the workers' blocks to be delivered,
    // so the two never hold memory at once.
    reader_cv_.wait(lock, [this] { return stop_ || (in_flight_ == 0 && !free_slots_.empty()); });
    if (stop_) return unexpected(SysError::fixed(kStoppedText));
    slot_ = free_slots_.back();
    free_slots_.pop_back();
  }
  // Steps end where the one-thread decoder's pieces end, so a failure finds
  // the decoder at the same point.
  size_t to_piece_end = chunk_ - static_cast<size_t>(offset_ % chunk_);
  return std::span<uint8_t>(slot_ + slot_used_, std::min(kSlotSize - slot_used_, to_piece_end));
}

Status Pipeline::commit(size_t n) {
  slot_used_ += n;
  offset_ += n;
  if (slot_used_ == kSlotSize) push_slot();
  if (stopping_.load(std::memory_order_relaxed)) return unexpected(SysError::fixed(kStoppedText));
  return {};
}

Status Pipeline::block_checked() {
  // Behind the block's last bytes in the queue, so the sink hears of the
  // check where the one-thread decoder would tell it.
  push_slot();
  Item item;
  item.kind = Item::Kind::kBlockChecked;
  push(std::move(item));
  return {};
}

Status Pipeline::end_of_blocks() {
  push_slot();
  Item item;
  item.kind = Item::Kind::kEndOfBlocks;
  push(std::move(item));
  return {};
}

bool Pipeline::start_workers(unsigned count) {
  workers_started_ = true;
  for (unsigned i = 0; i < count; ++i) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (workers_.empty()) return false;
  per_block_limit_ = kXzThreadedMemoryLimit / workers_.size();
  return true;
}

bool Pipeline::take_buffer(std::vector<Buffer>& pool, size_t size, Buffer& out) {
  for (auto it = pool.begin(); it != pool.end(); ++it) {
    if (it->capacity >= size) {
      out = std::move(*it);
      pool.erase(it);
      return true;
    }
  }
  // Too small to reuse: freed, so at most one buffer per job in flight
  // stays alive.
  if (!pool.empty()) pool.pop_back();
  return false;
}

SysResult<BlockJob*> Pipeline::claim(const lzma_block& block, uint64_t decoder_memory, size_t input_size) {
  // Sizes come from the header: each is checked against the limit before
  // they are added up, and nothing is allocated for a block beyond it.
  const uint64_t output_size = block.uncompressed_size;
  if (input_size > kXzThreadedMemoryLimit || output_size > kXzThreadedMemoryLimit) {
    return static_cast<BlockJob*>(nullptr);
  }
  const uint64_t need = decoder_memory + input_size + output_size;
  if (!workers_started_) {
    unsigned fit = static_cast<unsigned>(std::min<uint64_t>(threads_, kXzThreadedMemoryLimit / need));
    if (fit < 2 || !start_workers(fit)) return static_cast<BlockJob*>(nullptr);
  }
  if (workers_.empty() || need > per_block_limit_) return static_cast<BlockJob*>(nullptr);

  push_slot();
  auto state = std::make_unique<JobState>();
  bool have_input = false;
  bool have_output = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    reader_cv_.wait(lock, [this] { return stop_ || in_flight_ < workers_.size(); });
    if (stop_) return unexpected(SysError::fixed(kStoppedText));
    ++in_flight_;
    have_input = take_buffer(free_inputs_, input_size, state->input);
    have_output = take_buffer(free_outputs_, static_cast<size_t>(output_size), state->output);
  }
  if (!have_input) {
    state->input.data.reset(new (std::nothrow) uint8_t[input_size]);
    state->input.capacity = input_size;
  }
  if (!have_output) {
    state->output.data.reset(new (std::nothrow) uint8_t[output_size]);
    state->output.capacity = static_cast<size_t>(output_size);
  }
  if (!state->input.data || !state->output.data) {
    // No memory for a copy of the block: decode it in place, as on one
    // thread.
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_;
    return static_cast<BlockJob*>(nullptr);
  }
  state->job.input = state->input.data.get();
  state->job.output = state->output.data.get();
  state->job.stream_offset = offset_;
  offset_ += output_size;
  claimed_ = std::move(state);
  return &claimed_->job;
}

Status Pipeline::submit(BlockJob*) {
  JobState* state = claimed_.get();
  Item item;
  item.kind = Item::Kind::kJob;
  item.job = std::move(claimed_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    work_.push_back(state);
  }
  work_cv_.notify_one();
  delivery_cv_.notify_one();
  if (stopping_.load(std::memory_order_relaxed)) return unexpected(SysError::fixed(kStoppedText));
  return {};
}

void Pipeline::work() {
  lzma_stream strm = LZMA_STREAM_INIT;
  for (;;) {
    JobState* state = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_cv_.wait(lock, [this] { return stop_ || !work_.empty(); });
      if (stop_) break;
      state = work_.front();
      work_.pop_front();
    }
    uint64_t published = 0;
    Status result = decode_job(strm, state->job, chunk_, [&](uint64_t produced) {
      if (stopping_.load(std::memory_order_relaxed)) return false;
      if (produced - published >= kPublishStep) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          state->published = produced;
        }
        delivery_cv_.notify_one();
        published = produced;
      }
      return true;
    });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state->published = state->job.produced;
      state->done = true;
      state->result = std::move(result);
      free_inputs_.push_back(std::move(state->input));
    }
    delivery_cv_.notify_one();
  }
  lzma_end(&strm);
}

void Pipeline::release(JobState& state) {
  if (state.input.data) free_inputs_.push_back(std::move(state.input));
  free_outputs_.push_back(std::move(state.output));
  --in_flight_;
}

// Hands a worker's block to the sink as it is decoded. Called and returns
// with `lock` held.
Status Pipeline::deliver_job(JobState& state, PieceSink& pieces, std::unique_lock<std::mutex>& lock) {
  uint64_t delivered = 0;
  for (;;) {
    delivery_cv_.wait(lock, [&] { return state.published > delivered || state.done; });
    const uint64_t upto = state.published;
    const bool done = state.done;
    if (upto > delivered) {
      lock.unlock();
      Status r = pieces.deliver(state.job.output + delivered, static_cast<size_t>(upto - delivered));
      lock.lock();
      if (!r) return r;
      delivered = upto;
    }
    if (done) return state.result;
  }
}

Status Pipeline::deliver(DecodeSink& sink) {
  PieceSink pieces(sink, chunk_);
  std::unique_lock<std::mutex> lock(mutex_);
  // The sink's calls run without the lock, so the workers go on meanwhile.
  auto unlocked = [&lock](auto&& call) {
    lock.unlock();
    Status r = call();
    lock.lock();
    return r;
  };
  for (;;) {
    delivery_cv_.wait(lock, [this] { return !items_.empty(); });
    Item& front = items_.front();
    switch (front.kind) {
      case Item::Kind::kBytes: {
        uint8_t* bytes = front.bytes;
        size_t size = front.size;
        items_.pop_front();
        lock.unlock();
        Status r = pieces.deliver(bytes, size);
        lock.lock();
        free_slots_.push_back(bytes);
        reader_cv_.notify_one();
        if (!r) return r;
        break;
      }
      case Item::Kind::kJob: {
        // Kept beyond a failure: a worker may still be decoding into it
        // until the threads are joined.
        delivering_ = std::move(front.job);
        items_.pop_front();
        Status r = deliver_job(*delivering_, pieces, lock);
        if (!r) return r;
        release(*delivering_);
        reader_cv_.notify_one();
        // A block cut short by a read failure ends without error too, unchecked.
        if (delivering_->job.checked) DH_TRY(unlocked([&] { return pieces.verified(); }));
        break;
      }
      case Item::Kind::kBlockChecked:
        items_.pop_front();
        DH_TRY(unlocked([&] { return pieces.verified(); }));
        break;
      case Item::Kind::kEndOfBlocks:
        items_.pop_front();
        DH_TRY(unlocked([&] { return pieces.flush_rest(); }));
        break;
      case Item::Kind::kEnd: return std::move(front.end);
    }
  }
}

}  // namespace

Status decode_threaded(File& input, size_t read_buffer_size, size_t output_chunk_size, DecodeSink& sink,
                       unsigned threads) {
  {
    Pipeline pipeline(output_chunk_size, threads);
    if (pipeline.start(input, read_buffer_size)) return pipeline.deliver(sink);
  }
  // No thread could be started: decode on this one.
  return xz_decode(input, read_buffer_size, output_chunk_size, sink, 1);
}

}  // namespace dh::xz
