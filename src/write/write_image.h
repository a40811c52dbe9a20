// Streaming an image onto the raw target, then reading it back through a
// fresh handle to prove it arrived.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// Payload: imagePath, osDevicePath/deviceId, optional taskId, bytesTotal (an
// upper bound of bytes to write and the readback length), skipReadback and
// decompress.
//
// With decompress "xz" the image is an .xz file: its stream header, index and
// footer are checked before any volume is locked or the target opened, and
// what it decodes to is written (decoded on several threads where the stream
// allows), hashed, bounded by bytesTotal and compared on readback; progress
// lines without bytesTotal count against the index's decoded size. Every
// byte written comes from a block whose check has passed before the answer
// says so, whatever bytesTotal. Without decompress (or null) the file is
// written as it is; any other value is refused.
//
// Writes the image from byte 0 in one pass (read, hash, write), printing
// "WRITE" and "FINALIZE" progress lines, flushes and closes the target, then
// unless skipReadback is true hashes the written range back ("VERIFY" lines),
// rereading once after 250 ms when the digests differ. A readback difference
// is reported in the payload, not as an error.
//
// Errors, in the order checked: UNKNOWN for a missing imagePath or target, or
// an unknown decompress value;
// IMAGE_MISSING when the image does not exist or cannot be opened (with
// "xz", a failed open or a refused header, index or footer is XZ_INVALID with
// the XZ commands' texts);
// UNMOUNT_FAILED when the target's volumes cannot be locked and dismounted;
// ELEVATION_DENIED or DEVICE_DISCONNECTED when the target cannot be opened
// (or opens another device than the one checked);
// UNKNOWN when the image (or bytesTotal, when smaller) is known to be larger
// than the device;
// WRITE_FAILED for an image read, target write or device flush failure
// (with "xz", a damaged block or a failed read of the file found while
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

enum class Decompress { kNone, kXz };
// The payload's decompress field: absent or null is a plain image, "xz" an
// .xz one; any other value is UNKNOWN naming it.
Expected<Decompress, HelperError> decompress_format(const nlohmann::json& payload);

// UNKNOWN with both sizes when `image_bytes` is known and more than a
// device `target` of known length holds; nothing to say otherwise.
Expected<void, HelperError> check_image_fits(std::optional<uint64_t> image_bytes, const FileKind& target,
                                             const std::string& device_path);

}  // namespace dh
