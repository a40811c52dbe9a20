// What an image file tells of itself before it is decoded: its format, the
// size it decodes to where the file records that reliably, and the zip entry
// that is the image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "decode/decoder.h"
#include "platform/file.h"

namespace dh {

struct ImageSummary {
  ImageFormat format = ImageFormat::kPlain;
  // Exact where the file records it reliably: a plain file's size, the xz
  // index's sum, the zip entry's size, the zstd frames' content sizes when
  // every frame gives one. Unknown for gzip (its size field is kept modulo
  // 2^32) and bzip2 (no size is recorded).
  std::optional<uint64_t> uncompressed_bytes;
  std::optional<std::string> entry_name;  // zip only
};

// Summarizes `image` (whose kind() must tell its length) read as `format`,
// checking on the way what a write checks before the target is touched: the
// xz header, index and footer, the zip central directory and the chosen
// entry, the zstd frame headers. A refusal is the decoder's text. Leaves
// `image` at offset 0.
SysResult<ImageSummary> summarize_image(File& image, ImageFormat format);

}  // namespace dh
