// The image formats the helper reads, how a file's format is recognised, and
// the one decoding entry point behind every compressed format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/file.h"

namespace dh {

enum class ImageFormat { kPlain, kXz, kGzip, kBzip2, kZstd, kZip };

// The name the protocol uses: "plain", "xz", "gz", "bz2", "zstd", "zip".
std::string_view format_name(ImageFormat format);
// The inverse for the compressed formats; nullopt for any other text.
std::optional<ImageFormat> compressed_format_named(std::string_view name);

// How many leading bytes detect_format looks at.
inline constexpr size_t kFormatMagicBytes = 6;

// The format the file's first bytes announce: the xz stream header magic, the
// gzip magic, "BZh" and a block size digit, a zstd frame (or a skippable
// frame, which only zstd streams carry), or a zip local-file header. Anything
// else, a file too short for any of them included, is a plain image.
ImageFormat detect_format(std::span<const uint8_t> head);

// Reads the first bytes of `image` (at offset 0; the position is left at 0)
// and detects its format from them.
SysResult<ImageFormat> detect_file_format(File& image);

// Where decoded bytes go, in order. A failure text ends decoding and becomes
// the decoder's error. The sink is always called on the thread that called
// the decoder.
class DecodeSink {
 public:
  virtual ~DecodeSink() = default;
  virtual SysStatus write(const uint8_t* data, size_t len) = 0;
  // Every decoded byte before stream offset `end` has passed its format's
  // integrity check (or, for a part that carries none, decoded whole).
  // Called in stream order, as soon as the check has passed, which may be
  // before the checked bytes' last piece reaches write().
  virtual SysStatus verified(uint64_t end) { return {}; }
};

// Decoded bytes leave every decoder in pieces of this size (at stream
// offsets that are multiples of it), only the last piece being shorter:
// small enough to be hashed while still in cache.
inline constexpr size_t kDecodeOutputChunk = 64 * 1024;

// The most memory a compressed format's decoder may ask for, for one xz
// block's filter chain or one zstd frame's window. Real images fit with room
// to spare (`xz -9` needs about 65 MiB, `zstd --long=27` 128 MiB), while a
// header asking for more is refused before any allocation.
inline constexpr uint64_t kDecodeMemoryLimit = 256ull * 1024 * 1024;

// Decodes `input` as a whole file of `format` (not kPlain), from offset 0 for
// a zip (its directory is at the end) and from the current position for the
// others, handing every decoded byte to `sink` in pieces of
// kDecodeOutputChunk. `threads` matters to xz only (see xz_decode). Fails
// with a text that names the format and carries the library's own words.
SysStatus decode_image(File& input, ImageFormat format, size_t read_buffer_size, DecodeSink& sink,
                       unsigned threads = 1);

}  // namespace dh
