#include "image/image_commands.h"

#include "disks/target.h"
#include "image/hash_range.h"
#include "image/xz_image.h"
#include "platform/file.h"
#include "protocol/payload.h"
#include "rawdisk/target_guard.h"

namespace dh {
namespace {

// The shared start of the XZ commands: the image path, which must have
// metadata (a directory passes here and fails when the worker opens it).
Expected<std::string, HelperError> existing_image_path(const nlohmann::json& payload) {
  auto image = payload_path(payload, "imagePath");
  if (!image) return unexpected(std::move(image).error());
  if (!*image) return unexpected(unknown_error(missing_field::kImagePath));
  if (!file_system().metadata(**image)) {
    return unexpected(HelperError{error_code::kImageMissing, "Image does not exist: " + **image});
  }
  return **image;
}

HelperError xz_invalid(std::string text) { return HelperError{error_code::kXzInvalid, std::move(text)}; }

}  // namespace

HandlerResult handle_image_validate_xz(const WindowsHelperRequest& request) {
  auto image = existing_image_path(request.payload);
  if (!image) return unexpected(std::move(image).error());
  if (auto valid = xz_validate(*image); !valid) return unexpected(xz_invalid(std::move(valid).error()));
  return nlohmann::json{{"valid", true}};
}

HandlerResult handle_image_uncompressed_size(const WindowsHelperRequest& request) {
  auto image = existing_image_path(request.payload);
  if (!image) return unexpected(std::move(image).error());
  auto size = xz_uncompressed_size(*image);
  if (!size) return unexpected(xz_invalid(std::move(size).error()));
  return nlohmann::json{{"uncompressedBytes", *size}};
}

HandlerResult handle_image_extract_xz(const WindowsHelperRequest& request) {
  auto image_field = payload_path(request.payload, "imagePath");
  if (!image_field) return unexpected(std::move(image_field).error());
  if (!*image_field) return unexpected(unknown_error(missing_field::kImagePath));
  auto output = payload_path(request.payload, "outputPath");
  if (!output) return unexpected(std::move(output).error());
  if (!*output) return unexpected(unknown_error(missing_field::kOutputPath));
  auto image = existing_image_path(request.payload);
  if (!image) return unexpected(std::move(image).error());
  auto sha = xz_extract(*image, **output);
  if (!sha) return unexpected(xz_invalid(std::move(sha).error()));
  return nlohmann::json{{"outputPath", **output}, {"sha256", *sha}};
}

HandlerResult handle_verify_hash(const WindowsHelperRequest& request) { return verify_hash(request, system_clock()); }

HandlerResult verify_hash(const WindowsHelperRequest& request, Clock& clock) {
  auto total = payload_u64(request.payload, "bytesTotal");
  if (!total) return unexpected(unknown_error(missing_field::kBytesTotal));
  auto path = resolve_target_path(request.payload);
  if (!path) return unexpected(std::move(path).error());
  // The locks stay held until the hash is done, on the error path too.
  auto locks = lock_target_volumes(*path, clock);
  if (!locks) return unexpected(std::move(locks).error());
  // verify_hash answers with the response line alone.
  Progress silent = Progress::silent(clock);
  auto hashed = hash_range(silent, *path, *total, "");
  locks->release();
  if (!hashed) return unexpected(std::move(hashed).error());
  return nlohmann::json{
      {"observedSha256", hashed->sha256}, {"speedBps", hashed->speed}, {"verifiedBytes", hashed->bytes}};
}

}  // namespace dh
