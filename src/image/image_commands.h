// Command handlers of the image module.
#pragma once

#include "platform/clock.h"
#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// {"valid":true} when `imagePath` holds one sound .xz stream. Errors: UNKNOWN
// for a missing imagePath, IMAGE_MISSING when the path has no metadata,
// XZ_INVALID with the worker's text otherwise.
HandlerResult handle_image_validate_xz(const WindowsHelperRequest& request);
// {"uncompressedBytes":N}; errors as image_validate_xz.
HandlerResult handle_image_uncompressed_size(const WindowsHelperRequest& request);
// Decodes `imagePath` into `outputPath`: {"outputPath":as given,"sha256":hex}.
// Errors as image_validate_xz, plus UNKNOWN for a missing outputPath or one
// that names or reaches a device (check_output_file).
HandlerResult handle_image_extract_xz(const WindowsHelperRequest& request);

// What `imagePath` is without decoding it: {"format": "xz", "gz", "bz2",
// "zstd", "zip" or "plain" (from its first bytes), "uncompressedBytes": the
// decoded size where the file records it reliably, else null, "entryName":
// the zip entry a write would take, else null}. Errors: UNKNOWN for a missing
// imagePath, IMAGE_MISSING when the path has no metadata or cannot be
// opened, XZ_INVALID with the decoder's text when what the summary reads (an
// xz index, a zip directory, zstd frame headers) is refused.
HandlerResult handle_image_info(const WindowsHelperRequest& request);

// Hashes the first `bytesTotal` bytes of the target, holding the locks of its
// volumes when the path names a drive number; prints no progress.
// {"observedSha256","speedBps","verifiedBytes"}. Errors: UNKNOWN for a missing
// bytesTotal or target, UNMOUNT_FAILED, then hash_range's errors.
HandlerResult handle_verify_hash(const WindowsHelperRequest& request);
HandlerResult verify_hash(const WindowsHelperRequest& request, Clock& clock);

}  // namespace dh
