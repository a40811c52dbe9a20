// Streaming an image onto the raw target, then reading it back through a
// fresh handle to prove it arrived.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "decode/decoder.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// Payload: imagePath, osDevicePath/deviceId, optional taskId, bytesTotal (an
// upper bound of bytes to write and the readback length), skipReadback and
// decompress.
//
// With decompress naming a format ("xz", "gz", "bz2", "zstd", "zip", or
// "auto" and a file whose first bytes announce one) the image is decoded
// while it is written: what can be checked cheaply is checked before any
// volume is locked or the target opened (the file's magic bytes, an xz
// stream header, index and footer, a zip central directory, zstd frame
// headers), and what the file decodes to is written (an xz stream on several
// threads where it allows), hashed, bounded by bytesTotal and compared on
// readback; progress lines without bytesTotal count against the decoded size
// where the file records it. Every byte written has passed its format's
// integrity check before the answer says so, whatever bytesTotal. Without
// decompress (or null, or "auto" on a file that announces no format) the
// file is written as it is.
//
// Writes the image from byte 0 in one pass (read, hash, write), printing
// "WRITE" and "FINALIZE" progress lines, flushes and closes the target, then
// unless skipReadback is true hashes the written range back ("VERIFY" lines),
// rereading once after 250 ms when the digests differ. A readback difference
// is reported in the payload, not as an error.
//
// Errors, in the order checked: UNKNOWN for a missing imagePath or target, or
// an unknown decompress value;
// IMAGE_MISSING when the image does not exist or cannot be opened (with a
// named format, a failed open, a file not in that format, or a refused
// header, index, footer or directory is XZ_INVALID with the decoder's texts);
// UNMOUNT_FAILED when the target's volumes cannot be locked and dismounted;
// ELEVATION_DENIED or DEVICE_DISCONNECTED when the target cannot be opened
// (or opens another device than the one checked);
// UNKNOWN when the image (or bytesTotal, when smaller) is known to be larger
// than the device;
// WRITE_FAILED for an image read, target write or device flush failure
// (when decoding, damaged data or a failed read of the file found while
// writing is XZ_INVALID with the decoder's text, and nothing of the chunk it
// falls in is written);
// the readback's own errors (hash_range). Volume locks are held until it
// returns; every handle is closed on every path.
HandlerResult write_image(const WindowsHelperRequest& request, Clock& clock);

HandlerResult handle_write_image(const WindowsHelperRequest& request);

// How many bytes at the start of an image written to a disk are held back
// until everything after them is on it: those in front of the image's first
// partition (its partition table, and nothing the system could mount), read
// from `first`, the image's first bytes: the MBR's entries, or behind a
// GPT-protective entry the GPT's (in 512-byte sectors, as far as `first`
// holds them). At most 4 MiB, in whole `unit`s, at least one unit.
uint64_t held_start_length(std::span<const uint8_t> first, uint32_t unit);

// The payload's decompress field: the format the image file is in. Absent
// or null is a plain image; "xz", "gz", "bz2", "zstd" and "zip" name a
// compressed format (a promise: a file in another is refused); "auto" tells
// the format from the file's first bytes. Any other value is UNKNOWN naming
// it.
struct ImageEncoding {
  ImageFormat format = ImageFormat::kPlain;
  bool detect = false;  // "auto"
};
Expected<ImageEncoding, HelperError> decompress_format(const nlohmann::json& payload);

// UNKNOWN with both sizes when `image_bytes` is known and more than a
// device `target` of known length holds; nothing to say otherwise.
Expected<void, HelperError> check_image_fits(std::optional<uint64_t> image_bytes, const FileKind& target,
                                             const std::string& device_path);

}  // namespace dh
