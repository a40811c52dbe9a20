#include "image/xz_image.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "decode/sha256.h"
#include "decode/xz_decode.h"
#include "decode/xz_index.h"
#include "platform/buffer_pipe.h"
#include "platform/buffered_io.h"
#include "rawdisk/target_guard.h"
#include "platform/file.h"

namespace dh {
namespace {

class DiscardSink final : public DecodeSink {
 public:
  SysStatus write(const uint8_t*, size_t) override { return {}; }
};

class CountingSink final : public DecodeSink {
 public:
  SysStatus write(const uint8_t*, size_t len) override {
    total += len;
    return {};
  }
  uint64_t total = 0;
};

// Gathers the decoded bytes into 4 MiB chunks and hashes them on the way in,
// so the digest covers the bytes handed to the file, in file order; a thread
// of its own writes the chunks while the next ones are decoded and hashed.
// OS images hold long runs of zeros: with `holes`, a full chunk of zeros is
// skipped with a seek instead of written, which leaves a hole where the file
// system supports them. That is right only for a regular file that was just
// truncated, where the skipped range reads back as zeros either way; any
// other output (a device keeps its old bytes) gets every byte written. The
// last bytes are always written, so the file ends at its full length.
//
// A write that fails stops the writing thread at that chunk: nothing after
// it is written, and the next write() or finish() reports it.
class HashingFileSink final : public DecodeSink {
 public:
  HashingFileSink(File& file, bool holes, Progress& progress, std::string message)
      : file_(file),
        holes_(holes),
        progress_(progress),
        message_(std::move(message)),
        pipe_(kPipeBuffers, kIoBufferSize) {
    threaded_ = pipe_.start([this] { write_behind(); });
  }
  ~HashingFileSink() override {
    pipe_.stop();
    pipe_.join();
  }
  HashingFileSink(const HashingFileSink&) = delete;
  HashingFileSink& operator=(const HashingFileSink&) = delete;

  SysStatus write(const uint8_t* data, size_t len) override {
    while (len > 0) {
      if (buffer_ == nullptr && (buffer_ = pipe_.acquire()) == nullptr) return unexpected(failure());
      size_t n = std::min(len, kIoBufferSize - staged_);
      std::memcpy(buffer_ + staged_, data, n);
      sha_.update(data, n);
      staged_ += n;
      decoded_ += n;
      data += n;
      len -= n;
      if (staged_ == kIoBufferSize && !hand_on()) return unexpected(failure());
    }
    progress_.periodic("EXTRACT", decoded_, message_);
    return {};
  }

  uint64_t decoded() const { return decoded_; }

  // Writes what is staged (or the last byte of a trailing hole) and waits
  // for every write. The text of a failure of these last writes is the OS
  // text alone; an earlier chunk's failure reads as it would have in write().
  SysStatus finish() {
    if (buffer_ == nullptr && (buffer_ = pipe_.acquire()) == nullptr) return unexpected(failure());
    // A chunk shorter than a buffer, empty perhaps, is the last one.
    if (!hand_on()) return unexpected(failure());
    pipe_.close();
    pipe_.join();
    if (failure_) return unexpected(failure());
    return {};
  }

  // After a failed decoding: writes the whole chunks handed on so far, as
  // they would have been written without the thread, and nothing else. A
  // failure of theirs came first in stream order and is returned.
  SysStatus abandon() {
    pipe_.close();
    pipe_.join();
    if (failure_) return unexpected(failure());
    return {};
  }

  std::string digest() { return sha_.finish_hex(); }

 private:
  // Hands the staged chunk to the writing thread (or writes it here when no
  // thread could be started); false once a write has failed.
  bool hand_on() {
    pipe_.push(staged_);
    buffer_ = nullptr;
    staged_ = 0;
    if (threaded_) return true;
    auto chunk = pipe_.next();
    if (!write_chunk(*chunk)) pipe_.stop();
    return !failure_;
  }

  // The failure, once the writing thread is stopped and joined.
  SysError failure() {
    pipe_.stop();
    pipe_.join();
    if (failed_last_) return *failure_;
    return failure_->prefixed("Failed to write the extracted image: ");
  }

  void write_behind() {
    while (auto chunk = pipe_.next()) {
      if (!write_chunk(*chunk)) {
        pipe_.stop();
        return;
      }
    }
  }

  bool write_chunk(std::span<const uint8_t> chunk) {
    const bool last = chunk.size() < kIoBufferSize;
    SysStatus wrote = last ? write_last(chunk) : write_staged(chunk, /*last=*/false);
    if (wrote) return true;
    failure_ = std::move(wrote).error();
    failed_last_ = last;
    return false;
  }

  SysStatus write_last(std::span<const uint8_t> chunk) {
    if (!chunk.empty()) return write_staged(chunk, /*last=*/true);
    if (!skipping_) return {};
    // The file ends in a skipped range: one zero byte at its end gives the
    // file its length.
    const uint8_t zero = 0;
    if (auto sought = file_.seek(offset_ - 1); !sought) return sought;
    return write_all(file_, &zero, 1);
  }

  SysStatus write_staged(std::span<const uint8_t> chunk, bool last) {
    const uint8_t* begin = chunk.data();
    const size_t size = chunk.size();
    // memcmp of the chunk against itself shifted by one byte runs at memory
    // speed, where a byte loop would cost a tenth of the whole extraction.
    bool zeros = holes_ && size > 0 && begin[0] == 0 && std::memcmp(begin, begin + 1, size - 1) == 0;
    if (zeros && !last) {
      offset_ += size;
      skipping_ = true;
      return {};
    }
    if (skipping_) {
      if (auto sought = file_.seek(offset_); !sought) return sought;
      skipping_ = false;
    }
    if (auto wrote = write_all(file_, begin, size); !wrote) return wrote;
    offset_ += size;
    return {};
  }

  File& file_;
  const bool holes_;
  Progress& progress_;
  const std::string message_;
  // The decoding side's.
  uint64_t decoded_ = 0;
  uint8_t* buffer_ = nullptr;  // the chunk being gathered
  size_t staged_ = 0;
  Sha256 sha_;
  // The writing side's; read by the other side once the thread is joined.
  uint64_t offset_ = 0;    // file offset of the next chunk
  bool skipping_ = false;  // the file position lags behind offset_
  std::optional<SysError> failure_;
  bool failed_last_ = false;
  bool threaded_ = false;
  // Last, so that it is gone before anything its thread uses.
  BufferPipe pipe_;
};

SysResult<FilePtr> open_image(const std::string& image_path) {
  return file_system().open(image_path, OpenMode::kSharedRead);
}

}  // namespace

SysStatus xz_validate(const std::string& image_path) {
  auto image = open_image(image_path);
  DH_TRY(image);
  DiscardSink sink;
  return xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink, kXzAutoThreads);
}

SysResult<uint64_t> xz_uncompressed_size(const std::string& image_path) {
  auto image = open_image(image_path);
  DH_TRY(image);
  CountingSink sink;
  DH_TRY(xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink, kXzAutoThreads));
  return sink.total;
}

SysResult<std::string> xz_extract(const std::string& image_path, const std::string& output_path, Progress* reporter) {
  Progress silent = Progress::silent(system_clock());
  Progress& progress = reporter != nullptr ? *reporter : silent;
  auto image = open_image(image_path);
  DH_TRY(image);

  // Truncating the output would destroy the image when both name one file,
  // so compare what the paths lead to, not how they are spelled.
  auto image_id = file_system().identity(image_path);
  DH_TRY(image_id);
  if (auto output_id = file_system().identity(output_path); output_id && *output_id == *image_id) {
    return unexpected(
        SysError::fixed("Output path is the image file itself; choose another outputPath: " + output_path));
  }

  auto output = file_system().open(output_path, OpenMode::kCreateTruncate);
  DH_TRY(output);
  // The path was checked; a handle that reaches a device all the same (a link
  // repointed meanwhile) goes unused.
  if (auto reached = (*output)->device(); !reached || reached->is_device) {
    return unexpected(SysError::fixed(output_device_refusal("outputPath", output_path)));
  }
  // Progress counts against the index's decoded size; a damaged index shows
  // as the decoder's own error below.
  uint64_t progress_total = 0;
  if (progress.reports()) {
    if (auto index = xz_read_index(**image)) progress_total = index->uncompressed_bytes;
    if (auto rewound = (*image)->seek(0); !rewound)
      return unexpected(rewound.error().prefixed("Failed to read the image: "));
  }
  progress.start_stage(progress_total);
  const std::string message = "Extracting image to " + output_path;
  // The output is a regular file, emptied by the open: runs of zeros may stay holes.
  HashingFileSink sink(**output, /*holes=*/true, progress, message);
  if (auto decoded = xz_decode(**image, kIoBufferSize, kXzOutputChunk, sink, kXzAutoThreads); !decoded) {
    DH_TRY(sink.abandon());
    return unexpected(std::move(decoded).error());
  }
  DH_TRY(sink.finish());
  DH_TRY((*output)->flush());
  progress.line("EXTRACT", sink.decoded(), speed_bps(sink.decoded(), progress.elapsed()), message);
  return sink.digest();
}

}  // namespace dh
