#include "decode/image_summary.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include "decode/stream_decoders.h"
#include "decode/xz_index.h"
#include "decode/zip.h"
#include "formats/little_endian.h"

namespace dh {
namespace {

constexpr size_t kBlockHeaderSize = 3;
constexpr size_t kChecksumSize = 4;
constexpr size_t kSkippableHeaderSize = 8;

using decode::read_at;

// Walks the frames of a zstd file by their headers and block headers alone
// (no data is decoded): the sum of the frames' content sizes, or nullopt when
// a frame does not give its size.
SysResult<std::optional<uint64_t>> zstd_content_size(File& file, uint64_t length) {
  auto invalid = [](const std::string& text) { return unexpected(decode::invalid(ImageFormat::kZstd, text)); };
  uint64_t at = 0;
  uint64_t total = 0;
  bool known = true;
  bool any = false;
  while (at < length) {
    uint8_t header[ZSTD_FRAMEHEADERSIZE_MAX] = {};
    const size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof header, length - at));
    DH_TRY(read_at(file, at, header, have));
    ZSTD_frameHeader frame{};
    const size_t need = ZSTD_getFrameHeader(&frame, header, have);
    if (ZSTD_isError(need)) return invalid(decode::zstd_error_text(need));
    if (need != 0) return invalid("the file ends inside a frame header (truncated)");
    any = true;
    if (frame.frameType == ZSTD_skippableFrame) {
      const uint64_t skip = kSkippableHeaderSize + le_u32(std::span<const uint8_t>(header, have), 4);
      if (skip > length - at) return invalid("the file ends inside a skippable frame (truncated)");
      at += skip;
      continue;
    }
    if (frame.windowSize > kDecodeMemoryLimit) {
      return invalid("a frame asks for a " + std::to_string(frame.windowSize) +
                     "-byte window, more than the decoder's limit of " + std::to_string(kDecodeMemoryLimit));
    }
    if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
      known = false;
    } else {
      total += frame.frameContentSize;
    }
    at += frame.headerSize;
    for (;;) {
      uint8_t block[kBlockHeaderSize];
      if (length - at < kBlockHeaderSize) return invalid("the file ends inside a frame (truncated)");
      DH_TRY(read_at(file, at, block, sizeof block));
      const uint32_t bits = block[0] | (block[1] << 8) | (block[2] << 16);
      const bool last = (bits & 1) != 0;
      const uint32_t type = (bits >> 1) & 3;
      const uint64_t size = type == 1 ? 1 : (bits >> 3);  // an RLE block stores one byte
      if (type == 3) return invalid("a block header is damaged");
      at += kBlockHeaderSize;
      if (size > length - at) return invalid("the file ends inside a frame (truncated)");
      at += size;
      if (last) break;
    }
    if (frame.checksumFlag) {
      if (length - at < kChecksumSize) return invalid("the file ends inside a frame (truncated)");
      at += kChecksumSize;
    }
  }
  if (!any) return invalid("the file is empty");
  if (!known) return std::optional<uint64_t>();
  return std::optional<uint64_t>(total);
}

}  // namespace

SysResult<ImageSummary> summarize_image(File& image, ImageFormat format) {
  ImageSummary summary;
  summary.format = format;
  const std::optional<uint64_t> length = image.kind().length;
  switch (format) {
    case ImageFormat::kPlain: summary.uncompressed_bytes = length; break;
    case ImageFormat::kXz: {
      auto index = xz_read_index(image);
      DH_TRY(index);
      summary.uncompressed_bytes = index->uncompressed_bytes;
      break;
    }
    case ImageFormat::kZip: {
      auto entry = zip_read_directory(image);
      DH_TRY(entry);
      summary.uncompressed_bytes = entry->uncompressed_bytes;
      summary.entry_name = entry->name;
      break;
    }
    case ImageFormat::kZstd: {
      if (!length) break;
      auto size = zstd_content_size(image, *length);
      DH_TRY(size);
      summary.uncompressed_bytes = *size;
      break;
    }
    case ImageFormat::kGzip:
    case ImageFormat::kBzip2: break;
  }
  if (auto sought = image.seek(0); !sought) return unexpected(decode::read_error(sought.error()));
  return summary;
}

}  // namespace dh
