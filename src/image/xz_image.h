// The workers behind the XZ image commands: check, measure and extract an
// .xz image. Each decodes the whole stream (see xz_decode) and fails with the
// OS error of a failed open, read, write or flush (its code kept), or the
// decoder's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"
#include "decode/decoder.h"
#include "platform/sys_error.h"
#include "progress/progress.h"

namespace dh {

// Read buffer of the check and the measurement (extraction reads through
// 4 MiB). Decoded bytes leave the decoder in 64 KiB pieces: small enough to
// be hashed while still in cache, and the write buffer gathers them into
// 4 MiB writes.
inline constexpr size_t kXzSmallReadBuffer = 8 * 1024;
inline constexpr size_t kXzOutputChunk = kDecodeOutputChunk;

// Succeeds when `image_path` holds exactly one sound .xz stream.
SysStatus xz_validate(const std::string& image_path);

// The number of bytes the stream decodes to.
SysResult<uint64_t> xz_uncompressed_size(const std::string& image_path);

// Decodes the image into `output_path` (created or truncated, and committed
// to storage at the end) and returns the SHA-256 of the bytes written, as 64
// lower-case hex digits. Refuses, before creating anything, an output that is
// the image itself (same file by identity, whatever the spelling or link),
// and, before writing a byte, an output whose handle reaches a device
// (output_device_refusal). A failed extraction leaves the partial output
// behind.
// Reports on `progress` (when given) as the bytes are decoded: periodic
// "EXTRACT" lines against the index's decoded size, and one when the output
// is committed.
SysResult<std::string> xz_extract(const std::string& image_path, const std::string& output_path,
                                  Progress* progress = nullptr);

}  // namespace dh
