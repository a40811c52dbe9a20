#include "image/image_commands.h"

#include "disks/target.h"
#include "decode/image_summary.h"
#include "image/hash_range.h"
#include "image/xz_image.h"
#include "platform/file.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"

namespace dh {
namespace {

// The shared start of the XZ commands: the image path, which must have
// metadata (a directory passes here and fails when the worker opens it).
Expected<std::string, HelperError> existing_image_path(const nlohmann::json& payload) {
  auto image = payload_path(payload, "imagePath");
  DH_TRY(image);
  if (!*image) return unexpected(unknown_error(missing_field::kImagePath));
  if (!file_system().metadata(**image)) {
    return unexpected(HelperError{ErrorCode::kImageMissing, "Image does not exist: " + **image});
  }
  return **image;
}

}  // namespace

HandlerResult handle_image_validate_xz(const WindowsHelperRequest& request) {
  auto image = existing_image_path(request.payload);
  DH_TRY(image);
  if (auto valid = xz_validate(*image); !valid) return unexpected(helper_error(ErrorCode::kXzInvalid, valid.error()));
  return nlohmann::json{{"valid", true}};
}

HandlerResult handle_image_uncompressed_size(const WindowsHelperRequest& request) {
  auto image = existing_image_path(request.payload);
  DH_TRY(image);
  auto size = xz_uncompressed_size(*image);
  if (!size) return unexpected(helper_error(ErrorCode::kXzInvalid, size.error()));
  return nlohmann::json{{"uncompressedBytes", *size}};
}

HandlerResult handle_image_info(const WindowsHelperRequest& request) {
  auto image_path = existing_image_path(request.payload);
  DH_TRY(image_path);
  auto opened = file_system().open(*image_path, OpenMode::kSharedRead);
  if (!opened) return unexpected(image_missing_error(opened.error()));
  auto format = detect_file_format(**opened);
  if (!format) return unexpected(image_missing_error(format.error()));
  auto summary = summarize_image(**opened, *format);
  if (!summary) return unexpected(helper_error(ErrorCode::kXzInvalid, summary.error()));
  nlohmann::json size = nullptr;
  if (summary->uncompressed_bytes) size = *summary->uncompressed_bytes;
  nlohmann::json entry = nullptr;
  if (summary->entry_name) entry = *summary->entry_name;
  return nlohmann::json{{"format", format_name(*format)}, {"uncompressedBytes", size}, {"entryName", entry}};
}

HandlerResult handle_image_extract_xz(const WindowsHelperRequest& request) {
  auto image_field = payload_path(request.payload, "imagePath");
  DH_TRY(image_field);
  if (!*image_field) return unexpected(unknown_error(missing_field::kImagePath));
  auto output = payload_path(request.payload, "outputPath");
  DH_TRY(output);
  if (!*output) return unexpected(unknown_error(missing_field::kOutputPath));
  auto image = existing_image_path(request.payload);
  DH_TRY(image);
  DH_TRY(check_output_file("outputPath", **output));
  // Progress lines only for a task the caller can follow.
  Clock& clock = system_clock();
  const std::optional<std::string> task_id = payload_str(request.payload, "taskId");
  Progress progress = task_id ? Progress(request.session_id, *task_id, clock) : Progress::silent(clock);
  auto sha = xz_extract(*image, **output, &progress);
  if (!sha) return unexpected(helper_error(ErrorCode::kXzInvalid, sha.error()));
  return nlohmann::json{{"outputPath", **output}, {"sha256", *sha}};
}

HandlerResult handle_verify_hash(const WindowsHelperRequest& request) { return verify_hash(request, system_clock()); }

HandlerResult verify_hash(const WindowsHelperRequest& request, Clock& clock) {
  auto total = payload_u64(request.payload, "bytesTotal");
  if (!total) return unexpected(unknown_error(missing_field::kBytesTotal));
  auto path = resolve_target_path(request.payload);
  DH_TRY(path);
  // The locks stay held until the hash is done, on the error path too.
  auto guarded = lock_target_volumes(*path, clock);
  DH_TRY(guarded);
  // verify_hash answers with the response line alone.
  Progress silent = Progress::silent(clock);
  auto hashed = hash_range(silent, guarded->target, *total, "");
  guarded->locks.release();
  DH_TRY(hashed);
  return nlohmann::json{
      {"observedSha256", hashed->sha256}, {"speedBps", hashed->speed}, {"verifiedBytes", hashed->bytes}};
}

}  // namespace dh
