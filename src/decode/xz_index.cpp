#include "decode/xz_index.h"

#include <lzma.h>

#include <cstring>
#include <vector>

#include "decode/stream_decoders.h"
#include "decode/xz_stream.h"

namespace dh {
namespace {

constexpr const char* kUnknownLengthText = "Cannot tell the size of the XZ image";
constexpr const char* kFooterMissingText =
    "XZ stream footer is missing at the end of the file: the file is truncated or has data after the stream";
// The index is read through this much at a time.
constexpr size_t kIndexReadSize = 64 * 1024;

using decode::read_at;

// Decodes the `size` bytes at `offset` as the stream's whole index.
SysResult<lzma_index*> decode_index(File& file, uint64_t offset, uint64_t size) {
  if (auto sought = file.seek(offset); !sought) return unexpected(xz::image_read_error(sought.error()));
  lzma_index* index = nullptr;
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_index_decoder(&strm, &index, kXzMemoryLimit) != LZMA_OK) {
    return unexpected(xz::lzma_error(xz::Part::kIndex, LZMA_MEM_ERROR));
  }
  std::vector<uint8_t> buffer(kIndexReadSize);
  uint64_t left = size;
  SysResult<lzma_index*> result = unexpected(SysError::fixed(xz::kBackwardSizeText));
  for (;;) {
    if (strm.avail_in == 0 && left > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      if (auto read = read_exact(file, buffer.data(), n); !read) {
        result = unexpected(xz::image_read_error(read.error()));
        break;
      }
      left -= n;
      strm.next_in = buffer.data();
      strm.avail_in = n;
    }
    // With all `size` bytes given and no end in sight, the index is longer
    // than the footer says.
    lzma_ret ret = lzma_code(&strm, strm.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    if (ret == LZMA_OK) continue;
    if (ret == LZMA_STREAM_END) {
      // The index must end exactly where the footer starts.
      if (left == 0 && strm.avail_in == 0) result = index;
      break;
    }
    result = unexpected(xz::lzma_error(xz::Part::kIndex, ret));
    break;
  }
  lzma_end(&strm);
  // liblzma hands the index over only at its end.
  if (!result && index != nullptr) lzma_index_end(index, nullptr);
  return result;
}

}  // namespace

SysResult<XzIndexSummary> xz_read_index(File& image) {
  auto length = image.kind().length;
  if (!length) return unexpected(SysError::fixed(kUnknownLengthText));
  if (auto sought = image.seek(0); !sought) return unexpected(xz::image_read_error(sought.error()));

  uint8_t header[LZMA_STREAM_HEADER_SIZE];
  size_t got = 0;
  while (got < sizeof header) {
    auto read = image.read(header + got, sizeof header - got);
    if (!read) return unexpected(xz::image_read_error(read.error()));
    if (*read == 0) break;
    got += *read;
  }
  lzma_stream_flags header_flags{};
  DH_TRY(xz::decode_stream_header(header, got, header_flags));
  if (*length < 2 * LZMA_STREAM_HEADER_SIZE) return unexpected(SysError::fixed(xz::kTruncatedText));

  uint8_t footer[LZMA_STREAM_HEADER_SIZE];
  DH_TRY(read_at(image, *length - sizeof footer, footer, sizeof footer));
  static constexpr uint8_t kFooterMagic[2] = {'Y', 'Z'};
  if (std::memcmp(footer + sizeof footer - 2, kFooterMagic, 2) != 0) {
    // Stream padding is zeros in groups of four; a footer never ends so.
    static constexpr uint8_t kZeros[4] = {0, 0, 0, 0};
    bool padded = std::memcmp(footer + sizeof footer - 4, kZeros, 4) == 0;
    return unexpected(SysError::fixed(padded ? xz::kTrailingDataText : kFooterMissingText));
  }
  lzma_stream_flags footer_flags{};
  DH_TRY(xz::decode_stream_footer(footer, footer_flags));
  const uint64_t index_size = footer_flags.backward_size;
  if (index_size > *length - 2 * LZMA_STREAM_HEADER_SIZE) return unexpected(SysError::fixed(xz::kBackwardSizeText));

  auto decoded = decode_index(image, *length - sizeof footer - index_size, index_size);
  DH_TRY(decoded);
  lzma_index* index = *decoded;
  XzIndexSummary summary{lzma_index_uncompressed_size(index), lzma_index_block_count(index)};
  // Header, blocks, index and footer of this one stream.
  const uint64_t stream_size = lzma_index_stream_size(index);
  lzma_index_end(index, nullptr);

  if (stream_size != *length) {
    // In a file of several streams the footer and index read are the last
    // stream's, and that stream's own header stands where the index places
    // it. Otherwise the index does not describe the blocks in front of it.
    if (stream_size < *length) {
      uint8_t other[LZMA_STREAM_HEADER_SIZE];
      lzma_stream_flags other_flags{};
      if (read_at(image, *length - stream_size, other, sizeof other) &&
          xz::decode_stream_header(other, sizeof other, other_flags)) {
        return unexpected(SysError::fixed(xz::kTrailingDataText));
      }
    }
    return unexpected(SysError::fixed(xz::kIndexText));
  }
  // Checked once the index has shown the file to hold one stream, whose
  // footer then belongs to the header read.
  DH_TRY(xz::check_footer_matches(header_flags, footer_flags));
  if (summary.blocks > 0 && header_flags.check == LZMA_CHECK_SHA256) {
    return unexpected(SysError::fixed(xz::kSha256CheckText));
  }
  if (auto sought = image.seek(0); !sought) return unexpected(xz::image_read_error(sought.error()));
  return summary;
}

}  // namespace dh
