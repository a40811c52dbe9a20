#include "image/xz_image.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "image/sha256.h"
#include "image/xz_decode.h"
#include "platform/buffered_io.h"
#include "platform/file.h"

namespace dh {
namespace {

class DiscardSink final : public XzSink {
 public:
  Expected<void, std::string> write(const uint8_t*, size_t) override { return {}; }
};

class CountingSink final : public XzSink {
 public:
  Expected<void, std::string> write(const uint8_t*, size_t len) override {
    total += len;
    return {};
  }
  uint64_t total = 0;
};

// Writes through a 4 MiB write buffer and hashes exactly what the buffer
// took, so the digest covers the bytes handed to the file, in file order.
// OS images hold long runs of zeros: with `holes`, a full buffer of zeros is
// skipped with a seek instead of written, which leaves a hole where the file
// system supports them. That is right only for a regular file that was just
// truncated, where the skipped range reads back as zeros either way; any
// other output (a device keeps its old bytes) gets every byte written. The
// last bytes are always written, so the file ends at its full length.
class HashingFileSink final : public XzSink {
 public:
  HashingFileSink(File& file, bool holes) : file_(file), holes_(holes), buffer_(new uint8_t[kIoBufferSize]) {}

  Expected<void, std::string> write(const uint8_t* data, size_t len) override {
    while (len > 0) {
      size_t n = std::min(len, kIoBufferSize - staged_);
      std::memcpy(buffer_.get() + staged_, data, n);
      sha_.update(data, n);
      staged_ += n;
      data += n;
      len -= n;
      if (staged_ == kIoBufferSize) {
        if (auto wrote = write_staged(/*last=*/false); !wrote) {
          return unexpected("Failed to write the extracted image: " + wrote.error().message);
        }
      }
    }
    return {};
  }

  // Writes what is staged (or the last byte of a trailing hole).
  SysStatus finish() {
    if (staged_ > 0) return write_staged(/*last=*/true);
    if (!skipping_) return {};
    // The file ends in a skipped range: one zero byte at its end gives the
    // file its length.
    const uint8_t zero = 0;
    if (auto sought = file_.seek(offset_ - 1); !sought) return sought;
    return write_all(file_, &zero, 1);
  }

  std::string digest() { return sha_.finish_hex(); }

 private:
  SysStatus write_staged(bool last) {
    const uint8_t* begin = buffer_.get();
    // memcmp of the buffer against itself shifted by one byte runs at memory
    // speed, where a byte loop would cost a tenth of the whole extraction.
    bool zeros = holes_ && staged_ > 0 && begin[0] == 0 && std::memcmp(begin, begin + 1, staged_ - 1) == 0;
    if (zeros && !last) {
      offset_ += staged_;
      staged_ = 0;
      skipping_ = true;
      return {};
    }
    if (skipping_) {
      if (auto sought = file_.seek(offset_); !sought) return sought;
      skipping_ = false;
    }
    if (auto wrote = write_all(file_, begin, staged_); !wrote) return wrote;
    offset_ += staged_;
    staged_ = 0;
    return {};
  }

  File& file_;
  bool holes_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t staged_ = 0;
  uint64_t offset_ = 0;    // file offset of the first staged byte
  bool skipping_ = false;  // the file position lags behind offset_
  Sha256 sha_;
};

SysResult<FilePtr> open_image(const std::string& image_path) {
  return file_system().open(image_path, OpenMode::kSharedRead);
}

}  // namespace

Expected<void, std::string> xz_validate(const std::string& image_path) {
  auto image = open_image(image_path);
  if (!image) return unexpected(std::move(image).error().message);
  DiscardSink sink;
  return xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink, kXzAutoThreads);
}

Expected<uint64_t, std::string> xz_uncompressed_size(const std::string& image_path) {
  auto image = open_image(image_path);
  if (!image) return unexpected(std::move(image).error().message);
  CountingSink sink;
  if (auto decoded = xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink, kXzAutoThreads); !decoded) {
    return unexpected(std::move(decoded).error());
  }
  return sink.total;
}

Expected<std::string, std::string> xz_extract(const std::string& image_path, const std::string& output_path) {
  auto image = open_image(image_path);
  if (!image) return unexpected(std::move(image).error().message);

  // Truncating the output would destroy the image when both name one file,
  // so compare what the paths lead to, not how they are spelled.
  auto image_id = file_system().identity(image_path);
  if (!image_id) return unexpected(std::move(image_id).error().message);
  if (auto output_id = file_system().identity(output_path); output_id && *output_id == *image_id) {
    return unexpected("Output path is the image file itself; choose another outputPath: " + output_path);
  }

  auto output = file_system().open(output_path, OpenMode::kCreateTruncate);
  if (!output) return unexpected(std::move(output).error().message);
  // The output was opened truncating, which empties a regular file only.
  HashingFileSink sink(**output, /*holes=*/!(*output)->kind().device);
  if (auto decoded = xz_decode(**image, kIoBufferSize, kXzOutputChunk, sink, kXzAutoThreads); !decoded) {
    return unexpected(std::move(decoded).error());
  }
  if (auto flushed = sink.finish(); !flushed) return unexpected(std::move(flushed).error().message);
  if (auto committed = (*output)->flush(); !committed) return unexpected(std::move(committed).error().message);
  return sink.digest();
}

}  // namespace dh
