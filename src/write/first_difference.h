// Locating the first byte where a written target differs from its image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "decode/image_source.h"
#include "platform/file.h"
#include "protocol/helper_error.h"
#include "rawdisk/raw_access.h"

namespace dh {

// Where image and target first differ, with up to 32 bytes of each side from
// that offset (cut at the end of the data read in that chunk; empty when a
// side has no byte there), as lower-case hex.
struct FirstDifference {
  uint64_t offset = 0;
  std::string expected_sample_hex;
  std::string observed_sample_hex;

  // {"expectedSampleHex","observedSampleHex","offset"}
  nlohmann::json to_json() const;
};

inline constexpr size_t kDifferenceSampleBytes = 32;

// The image and the target, both at byte 0, for a byte-by-byte comparison.
struct ComparisonFiles {
  FilePtr image;
  FilePtr target;
};
// Opens the image (shared read) and the target (exclusive read). Errors:
// IMAGE_MISSING for the image's open or seek, map_raw_disk_error for the
// target's open, DEVICE_DISCONNECTED for its seek.
Expected<ComparisonFiles, HelperError> open_for_comparison(const std::string& image_path, const CheckedTarget& target);

// Compares the first `byte_count` bytes of the image with the target, 4 MiB
// at a time, through handles of its own (the target opened exclusively).
// Returns the first difference, or nothing when no byte differs. An image that
// ends early is a difference at its end with two empty samples; a target that
// ends early is a difference at its end with an empty observed sample.
// Errors: the image's open, seek or read as IMAGE_MISSING; the target's open
// through map_raw_disk_error; its seek or read as DEVICE_DISCONNECTED.
Expected<std::optional<FirstDifference>, HelperError> find_first_difference(const std::string& image_path,
                                                                            const CheckedTarget& target,
                                                                            uint64_t byte_count);

// The same comparison over the image's bytes pulled from `image` (an .xz
// image decoded again, say), whose read errors are passed on as they are,
// and a target handle standing at byte 0.
Expected<std::optional<FirstDifference>, HelperError> find_first_difference(ImageSource& image, File& target,
                                                                            uint64_t byte_count);

}  // namespace dh
