#include "write/write_image.h"

#include <algorithm>
#include <optional>

#include "disks/target.h"
#include "image/hash_range.h"
#include "image/image_source.h"
#include "image/sha256.h"
#include "image/xz_index.h"
#include "image/xz_source.h"
#include "platform/buffer_pipe.h"
#include "platform/buffered_io.h"
#include "progress/progress.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"
#include "write/first_difference.h"

namespace dh {
namespace {

constexpr const char* kVerifyMessage = "Verifying written bytes from a fresh Windows disk handle";
constexpr const char* kRecheckMessage = "Rechecking written bytes from a fresh Windows disk handle";
constexpr auto kRecheckPause = std::chrono::milliseconds(250);

// What the write and finalize stages leave for the answer.
struct WriteOutcome {
  uint64_t written = 0;
  uint64_t speed = 0;  // over the whole write including the flush, 1.0 s floor
  std::string source_sha256;
};

// Only the writing thread reports progress and reads the clock; the reading
// thread never touches either.
struct WriteStage {
  Progress& progress;
  const std::string& device_path;
  std::optional<uint64_t> total;
  uint64_t progress_total;  // the lines' bytesTotal

  // Streams the image onto the target and commits it. Once the device flush
  // has been tried the target is closed here; after an earlier failure the
  // caller's handle closes it.
  Expected<WriteOutcome, HelperError> run(ImageSource& image, FilePtr& target) const {
    const std::string write_message = "Writing image to " + device_path;
    Sha256 sha;
    uint64_t written = 0;
    uint64_t write_speed = 0;
    progress.start_stage(progress_total);
    // The pipe's buffers and the write buffer live for the write stage only,
    // so the readback's own buffers do not come on top of them.
    {
      // A raw drive takes whole sectors only: on a device the last partial
      // sector goes out padded with zeros. The digest and the readback cover
      // the image's bytes alone.
      BufferedWriter writer(*target, kIoBufferSize, transfer_unit(target->kind()));
      // The next chunks are read (or decoded) and hashed on a second thread
      // while this one writes: a write-through write leaves the core idle,
      // and the digest costs no time of its own. Each chunk is still written,
      // counted and reported in order, and a failure at any chunk writes
      // nothing after it.
      uint64_t read = 0;
      auto read_chunk = [&](uint8_t* chunk, size_t capacity) -> Expected<size_t, HelperError> {
        if (total && read >= *total) return size_t{0};
        size_t want = total ? static_cast<size_t>(std::min<uint64_t>(*total - read, capacity)) : capacity;
        auto got = image.read(chunk, want);
        DH_TRY(got);
        sha.update(chunk, *got);
        read += *got;
        // The last chunk goes to the target only once everything read is
        // proven sound: a compressed image's checks come after the bytes.
        if (*got == 0 || (total && read >= *total)) DH_TRY(image.verify_read());
        return *got;
      };
      std::optional<HelperError> write_error;
      auto write_chunk = [&](const uint8_t* chunk, size_t size) {
        if (auto put = writer.write(chunk, size); !put) {
          write_error = helper_error(ErrorCode::kWriteFailed, put.error());
          return false;
        }
        written += size;
        progress.periodic("WRITE", written, write_message);
        return true;
      };
      auto read_error = read_ahead<HelperError>(read_chunk, write_chunk);
      if (write_error) return unexpected(std::move(*write_error));
      if (read_error) return unexpected(std::move(*read_error));
      write_speed = speed_bps(written, progress.elapsed());
      progress.line("WRITE", written, write_speed, write_message);

      progress.line("FINALIZE", written, write_speed, "Flushing disk buffers");
      if (auto rest = writer.flush_buffer(); !rest)
        return unexpected(helper_error(ErrorCode::kWriteFailed, rest.error()));
    }
    // The write buffer is gone; commit the device's caches, then close the
    // handle whatever the outcome so the readback can open the drive
    // exclusively.
    auto committed = target->flush();
    target.reset();
    if (!committed) return unexpected(helper_error(ErrorCode::kWriteFailed, committed.error()));

    uint64_t overall_speed = speed_bps(written, progress.elapsed(), 1.0);
    progress.line("FINALIZE", written, overall_speed, "Disk buffers flushed");
    return WriteOutcome{written, overall_speed, sha.finish_hex()};
  }
};

// Where the target first differs from the image's bytes; an .xz image is
// decoded once more for it.
Expected<std::optional<FirstDifference>, HelperError> first_difference(const std::string& image_path,
                                                                       const CheckedTarget& target, uint64_t length,
                                                                       bool decompress_xz) {
  if (!decompress_xz) return find_first_difference(image_path, target, length);
  auto files = open_for_comparison(image_path, target);
  DH_TRY(files);
  XzImageSource decoded(*files->image);
  return find_first_difference(decoded, *files->target, length);
}

// Hashes the written range back, once more after a pause when it differs,
// and locates the first difference when both attempts differ.
HandlerResult read_back(Progress& progress, const std::string& image_path, bool decompress_xz,
                        const CheckedTarget& target, uint64_t length, const WriteOutcome& outcome) {
  auto matches = [&](const RangeHash& hash) { return hash.sha256 == outcome.source_sha256 && hash.bytes >= length; };

  auto attempt = hash_range(progress, target, length, kVerifyMessage);
  DH_TRY(attempt);
  nlohmann::json first_observed = nullptr;
  nlohmann::json mismatch = nullptr;
  int attempts = 1;
  if (!matches(*attempt)) {
    first_observed = attempt->sha256;
    progress.clock().sleep(kRecheckPause);
    attempt = hash_range(progress, target, length, kRecheckMessage);
    DH_TRY(attempt);
    attempts = 2;
    if (!matches(*attempt)) {
      auto difference = first_difference(image_path, target, length, decompress_xz);
      if (!difference) {
        mismatch = {{"errorCode", error_code_text(difference.error().code)},
                    {"errorMessage", difference.error().message}};
      } else if (*difference) {
        mismatch = (*difference)->to_json();
      }
    }
  }
  return nlohmann::json{{"bytesWritten", outcome.written},       {"speedBps", outcome.speed},
                        {"sourceSha256", outcome.source_sha256}, {"verifiedBeforeFinalize", true},
                        {"observedSha256", attempt->sha256},     {"verifiedBytes", attempt->bytes},
                        {"verifySpeedBps", attempt->speed},      {"verifyAttempts", attempts},
                        {"firstObservedSha256", first_observed}, {"mismatch", mismatch}};
}

}  // namespace

Expected<Decompress, HelperError> decompress_format(const nlohmann::json& payload) {
  const nlohmann::json* value =
      payload.is_object() && payload.contains("decompress") ? &payload["decompress"] : nullptr;
  if (value == nullptr || value->is_null()) return Decompress::kNone;
  if (*value == "xz") return Decompress::kXz;
  return unexpected(unknown_error("Unknown decompress value " +
                                  value->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                                  ": use \"xz\" for an .xz image, or leave the field out for a plain image"));
}

Expected<void, HelperError> check_image_fits(std::optional<uint64_t> image_bytes, const FileKind& target,
                                             const std::string& device_path) {
  if (!image_bytes || !target.device || !target.length || *image_bytes <= *target.length) return {};
  return unexpected(unknown_error("The image does not fit on the target: " + std::to_string(*image_bytes) +
                                  " bytes to write, " + std::to_string(*target.length) + " bytes on " + device_path));
}

HandlerResult write_image(const WindowsHelperRequest& request, Clock& clock) {
  const nlohmann::json& payload = request.payload;
  auto image_field = payload_path(payload, "imagePath");
  DH_TRY(image_field);
  const std::optional<std::string>& image_path = *image_field;
  if (!image_path) return unexpected(unknown_error(missing_field::kImagePath));
  auto device_path = resolve_target_path(payload);
  DH_TRY(device_path);
  std::string task_id = payload_str(payload, "taskId").value_or("unknown");
  // With "xz" the image is an .xz file whose decoded bytes are written. Any
  // other value is refused: written as it is, a compressed file would make
  // an unbootable card that reads back as a perfect copy.
  auto decompress = decompress_format(payload);
  DH_TRY(decompress);
  const bool decompress_xz = *decompress == Decompress::kXz;

  if (!file_system().metadata(*image_path)) {
    return unexpected(HelperError{ErrorCode::kImageMissing, "Image does not exist: " + *image_path});
  }
  // Declaration order is the release order in reverse: whatever the path out,
  // the target closes first, then the volume locks are released, then the
  // image reader's buffer and handle go.
  auto image_opened = file_system().open(*image_path, OpenMode::kSharedRead);
  if (!image_opened) {
    // An .xz image that cannot be opened is answered as the XZ commands
    // answer it.
    if (decompress_xz) return unexpected(helper_error(ErrorCode::kXzInvalid, image_opened.error()));
    return unexpected(image_missing_error(image_opened.error()));
  }
  FilePtr image = std::move(image_opened).value();
  std::optional<BufferedReader> image_reader;
  // An .xz image's ends are checked before the target is touched; a damaged
  // block shows only while decoding.
  std::optional<XzIndexSummary> xz_index;
  if (decompress_xz) {
    auto index = xz_read_index(*image);
    if (!index) return unexpected(helper_error(ErrorCode::kXzInvalid, index.error()));
    xz_index = *index;
  } else {
    image_reader.emplace(*image);
  }

  auto guarded = lock_target_volumes(*device_path, clock);
  DH_TRY(guarded);

  auto target_opened = open_target_exclusive_write(guarded->target);
  if (!target_opened) return unexpected(map_raw_disk_error(target_opened.error()));
  FilePtr target = std::move(target_opened).value();
  std::optional<uint64_t> total = payload_u64(payload, "bytesTotal");
  std::optional<uint64_t> image_bytes = xz_index ? std::optional(xz_index->uncompressed_bytes) : image->kind().length;
  if (image_bytes && total) image_bytes = std::min(*image_bytes, *total);
  DH_TRY(check_image_fits(image_bytes, target->kind(), *device_path));

  // Without bytesTotal, progress of an .xz image counts against the decoded
  // size its index gives.
  const uint64_t progress_total = total.value_or(xz_index ? xz_index->uncompressed_bytes : 0);
  Progress progress(request.session_id, task_id, clock);
  WriteStage stage{progress, *device_path, total, progress_total};
  Expected<WriteOutcome, HelperError> outcome = unexpected(HelperError{});
  if (decompress_xz) {
    // The decoder's threads end with the write stage, before the readback.
    XzImageSource decoded(*image);
    outcome = stage.run(decoded, target);
  } else {
    PlainImageSource<BufferedReader> source(*image_reader, ErrorCode::kWriteFailed);
    outcome = stage.run(source, target);
  }
  DH_TRY(outcome);

  if (payload_flag(payload, "skipReadback")) {
    return nlohmann::json{{"bytesWritten", outcome->written},
                          {"speedBps", outcome->speed},
                          {"sourceSha256", outcome->source_sha256},
                          {"verifiedBeforeFinalize", true},
                          {"skippedReadback", true}};
  }
  return read_back(progress, *image_path, decompress_xz, guarded->target, total.value_or(outcome->written), *outcome);
}

HandlerResult handle_write_image(const WindowsHelperRequest& request) { return write_image(request, system_clock()); }

}  // namespace dh
