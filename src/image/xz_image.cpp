#include "image/xz_image.h"

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

// Writes through the 4 MiB write buffer and hashes exactly what the buffer
// took, so the digest covers the bytes handed to the file, in file order.
class HashingFileSink final : public XzSink {
 public:
  explicit HashingFileSink(File& file) : writer(file) {}
  Expected<void, std::string> write(const uint8_t* data, size_t len) override {
    if (auto wrote = writer.write(data, len); !wrote) {
      return unexpected("Failed to write the extracted image: " + wrote.error().message);
    }
    sha.update(data, len);
    return {};
  }
  BufferedWriter writer;
  Sha256 sha;
};

SysResult<FilePtr> open_image(const std::string& image_path) {
  return file_system().open(image_path, OpenMode::kSharedRead);
}

}  // namespace

Expected<void, std::string> xz_validate(const std::string& image_path) {
  auto image = open_image(image_path);
  if (!image) return unexpected(std::move(image).error().message);
  DiscardSink sink;
  return xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink);
}

Expected<uint64_t, std::string> xz_uncompressed_size(const std::string& image_path) {
  auto image = open_image(image_path);
  if (!image) return unexpected(std::move(image).error().message);
  CountingSink sink;
  if (auto decoded = xz_decode(**image, kXzSmallReadBuffer, kXzOutputChunk, sink); !decoded) {
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
  HashingFileSink sink(**output);
  if (auto decoded = xz_decode(**image, kIoBufferSize, kXzOutputChunk, sink); !decoded) {
    return unexpected(std::move(decoded).error());
  }
  if (auto flushed = sink.writer.flush_buffer(); !flushed) return unexpected(std::move(flushed).error().message);
  if (auto committed = (*output)->flush(); !committed) return unexpected(std::move(committed).error().message);
  return sink.sha.finish_hex();
}

}  // namespace dh
