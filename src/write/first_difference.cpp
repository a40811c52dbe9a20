#include "write/first_difference.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "platform/buffered_io.h"
#include "rawdisk/raw_access.h"

namespace dh {

nlohmann::json FirstDifference::to_json() const {
  return {{"offset", offset}, {"expectedSampleHex", expected_sample_hex}, {"observedSampleHex", observed_sample_hex}};
}

Expected<ComparisonFiles, HelperError> open_for_comparison(const std::string& image_path,
                                                           const CheckedTarget& checked) {
  auto image_opened = file_system().open(image_path, OpenMode::kSharedRead);
  if (!image_opened) return unexpected(image_missing_error(image_opened.error()));
  FilePtr image = std::move(image_opened).value();
  auto target_opened = open_target_exclusive_read(checked);
  if (!target_opened) return unexpected(map_raw_disk_error(target_opened.error(), checked.path));
  FilePtr target = std::move(target_opened).value();
  if (auto sought = image->seek(0); !sought) return unexpected(image_missing_error(sought.error()));
  if (auto sought = target->seek(0); !sought) return unexpected(device_disconnected_error(sought.error()));
  return ComparisonFiles{std::move(image), std::move(target)};
}

Expected<std::optional<FirstDifference>, HelperError> find_first_difference(const std::string& image_path,
                                                                            const CheckedTarget& checked,
                                                                            uint64_t byte_count) {
  auto files = open_for_comparison(image_path, checked);
  DH_TRY(files);
  FilePtr image = std::move(files->image);
  FilePtr target = std::move(files->target);
  PlainImageSource source(*image, ErrorCode::kImageMissing, byte_count, /*hash=*/false);
  return find_first_difference(source, *target, byte_count);
}

Expected<std::optional<FirstDifference>, HelperError> find_first_difference(ImageSource& image, File& target,
                                                                            uint64_t byte_count) {
  AlignedReader target_reader(target, target.kind());
  SourceReader image_reader(image);
  std::vector<uint8_t> expected(kIoBufferSize);
  std::vector<uint8_t> observed(kIoBufferSize);
  uint64_t position = 0;
  while (position < byte_count) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(byte_count - position, kIoBufferSize));
    auto got = image_reader.read(expected.data(), want);
    DH_TRY(got);
    size_t n = *got;
    if (n == 0) return std::optional<FirstDifference>(FirstDifference{position, "", ""});

    // The target may hand out less per read than asked; gather the whole
    // counterpart of the image's chunk unless the target really ends.
    auto gathered = target_reader.read_full(observed.data(), n);
    if (!gathered) return unexpected(device_disconnected_error(gathered.error()));
    size_t m = *gathered;

    size_t common = std::min(m, n);
    auto differ = std::mismatch(expected.begin(), expected.begin() + common, observed.begin());
    size_t i = static_cast<size_t>(differ.first - expected.begin());
    if (i < common || m < n) {
      FirstDifference report;
      report.offset = position + i;
      report.expected_sample_hex = hex_encode(expected.data() + i, std::min(n, i + kDifferenceSampleBytes) - i);
      if (i < m)
        report.observed_sample_hex = hex_encode(observed.data() + i, std::min(m, i + kDifferenceSampleBytes) - i);
      return std::optional<FirstDifference>(std::move(report));
    }
    position += n;
  }
  return std::optional<FirstDifference>();
}

}  // namespace dh
