#include "write/write_image.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <optional>

#include "disks/target.h"
#include "formats/little_endian.h"
#include "formats/mbr_fat.h"
#include "image/hash_range.h"
#include "decode/image_source.h"
#include "decode/sha256.h"
#include "decode/image_summary.h"
#include "decode/decoded_source.h"
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
// How much of each end of a device is cleared before the image goes on: the
// MBR and the primary GPT at the start, the backup GPT at the end.
constexpr uint64_t kLayoutWipe = 1024 * 1024;
constexpr uint8_t kGptProtective = 0xEE;

// What the write and finalize stages leave for the answer.
struct WriteOutcome {
  uint64_t written = 0;
  uint64_t speed = 0;  // over the whole write including the flush, 1.0 s floor
  std::string source_sha256;
  // On a device, the image's first bytes (its partition table) while they
  // are not yet on the device; empty once they are, and on a plain file.
  std::vector<uint8_t> held;
};

// Puts the held-back start of the image on the device, through a handle of
// its own, and commits it.
Expected<void, HelperError> commit_held(const CheckedTarget& checked, const std::vector<uint8_t>& held, Clock& clock) {
  auto opened = exclusive_write_handle(checked, clock);
  DH_TRY(opened);
  FilePtr target = std::move(opened).value();
  {
    BufferedWriter writer(*target, kIoBufferSize, transfer_unit(target->kind()));
    auto put = writer.write(held.data(), held.size());
    if (put) put = writer.flush_buffer();
    if (!put) return unexpected(helper_error(ErrorCode::kWriteFailed, put.error()));
  }
  if (auto committed = target->flush(); !committed) {
    return unexpected(helper_error(ErrorCode::kWriteFailed, committed.error()));
  }
  return {};
}

// Only the writing thread reports progress and reads the clock; the reading
// thread never touches either.
struct WriteStage {
  Progress& progress;
  const CheckedTarget& checked;
  const std::string& device_path;
  uint64_t progress_total;  // the lines' bytesTotal
  // On a disk (a device that tells its length) the image's start is held
  // back; with skipReadback it is committed before the finalize stage ends,
  // otherwise the readback commits it once the rest is proven.
  bool hold_back_start;
  bool commit_at_finalize;

  // Streams the image onto the target and commits it. Once the device flush
  // has been tried the target is closed here; after an earlier failure the
  // caller's handle closes it.
  //
  // On a device the image's first bytes, which hold its partition table, are
  // kept back (in memory) and everything after them is written from where
  // they end: until they go on, the device has no partition table (the
  // caller cleared it), so the system makes no volume of the new partitions
  // and mounts nothing while the image streams.
  Expected<WriteOutcome, HelperError> run(ImageSource& image, FilePtr& target) const {
    const std::string write_message = "Writing image to " + device_path;
    const FileKind kind = target->kind();
    const uint32_t unit = transfer_unit(kind);
    uint64_t written = 0;
    uint64_t write_speed = 0;
    WriteOutcome outcome;
    std::optional<uint64_t> held_target;  // decided from the first chunk
    progress.start_stage(progress_total);
    // The write buffer lives for the write stage only, so the readback's own
    // buffers do not come on top of it.
    {
      // A raw drive takes whole sectors only: on a device the last partial
      // sector goes out padded with zeros. The digest and the readback cover
      // the image's bytes alone.
      BufferedWriter writer(*target, kIoBufferSize, unit);
      // The source reads (or decodes) and hashes the next chunks on a thread
      // of its own while this one writes: a write-through write leaves the
      // core idle, and the digest costs no time of its own. Each chunk is
      // still written, counted and reported in order, and a failure at any
      // chunk writes nothing after it. A compressed image's last chunk comes
      // only once everything before it is proven sound.
      bool streaming = !hold_back_start;  // the writes after the held bytes have begun
      auto write_chunk = [&](const uint8_t* chunk, size_t size) -> Expected<void, HelperError> {
        if (!streaming) {
          if (!held_target) held_target = held_start_length({chunk, size}, unit);
          size_t take = static_cast<size_t>(std::min<uint64_t>(size, *held_target - outcome.held.size()));
          outcome.held.insert(outcome.held.end(), chunk, chunk + take);
          chunk += take;
          size -= take;
          written += take;
          if (size > 0) {
            // Nothing is staged yet: the rest of the image follows the held
            // bytes' place.
            if (auto sought = target->seek(*held_target); !sought) {
              return unexpected(helper_error(ErrorCode::kWriteFailed, sought.error()));
            }
            streaming = true;
          }
        }
        if (size > 0) {
          if (auto put = writer.write(chunk, size); !put) {
            return unexpected(helper_error(ErrorCode::kWriteFailed, put.error()));
          }
          written += size;
        }
        progress.periodic("WRITE", written, write_message);
        return {};
      };
      for (;;) {
        auto chunk = image.next();
        DH_TRY(chunk);
        if (chunk->empty()) break;
        DH_TRY(write_chunk(chunk->data(), chunk->size()));
      }
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
    if (!outcome.held.empty() && commit_at_finalize) {
      DH_TRY(commit_held(checked, outcome.held, progress.clock()));
      outcome.held.clear();
      announce_new_layout(checked, progress.clock());
    }

    uint64_t overall_speed = speed_bps(written, progress.elapsed(), 1.0);
    progress.line("FINALIZE", written, overall_speed, "Disk buffers flushed");
    outcome.written = written;
    outcome.speed = overall_speed;
    outcome.source_sha256 = image.digest();
    return outcome;
  }
};

// Clears what is left of the layout a used card arrives with, once its
// partition table's sector is gone (drop_partition_table) and its volumes
// with it: the rest of the first MiB, which holds a GPT's primary copy, and
// on a device larger than the image the last MiB, which holds its backup.
// Plain files are never cleared. Failures are WRITE_FAILED.
struct LayoutClearing {
  const CheckedTarget& checked;
  uint64_t length;     // the device's
  uint32_t unit;       // its transfer unit
  uint64_t image_end;  // where the image's bytes end, 0 when unknown

  Expected<void, HelperError> clear_rest(File& target) const {
    const uint64_t start_end = std::min(kLayoutWipe, length);
    auto cleared = start_end > unit ? write_zeros(target, unit, start_end - unit) : SysStatus{};
    if (cleared && image_end > 0) {
      uint64_t from = std::max(length > kLayoutWipe ? length - kLayoutWipe : 0, (image_end + unit - 1) / unit * unit);
      if (from < length) cleared = write_zeros(target, from, length - from);
    }
    if (!cleared) return unexpected(helper_error(ErrorCode::kWriteFailed, cleared.error()));
    return {};
  }
};

// Where the target first differs from the image's bytes; a compressed image
// is decoded once more for it.
Expected<std::optional<FirstDifference>, HelperError> first_difference(const std::string& image_path,
                                                                       const CheckedTarget& target, uint64_t length,
                                                                       ImageFormat format) {
  if (format == ImageFormat::kPlain) return find_first_difference(image_path, target, length);
  auto files = open_for_comparison(image_path, target);
  DH_TRY(files);
  DecodedImageSource decoded(*files->image, format, std::nullopt, /*hash=*/false);
  return find_first_difference(decoded, *files->target, length);
}

// The first readback of a device whose start was held back: the rest is
// hashed while the device still has no partition table, so that nothing the
// system mounts once the table is on can touch what is being read; then the
// held bytes are committed and read back on their own. They lie in front of
// every partition, where no mount writes. The digest covers the range in
// order: the held bytes as the image has them, then the device's rest, and
// it stands for the device only when the held bytes read back the same;
// otherwise the whole range is hashed again from the device. Nothing when
// the held bytes differ, for the caller to do that.
Expected<std::optional<RangeHash>, HelperError> read_back_around_held(Progress& progress, const CheckedTarget& target,
                                                                      uint64_t length, const WriteOutcome& outcome) {
  const std::vector<uint8_t>& held = outcome.held;
  Sha256 sha;
  uint64_t hashed = held.size();
  {
    auto opened = exclusive_read_handle(target, progress.clock());
    DH_TRY(opened);
    progress.start_stage(length);
    progress.line("VERIFY", 0, 0, kVerifyMessage);
    sha.update(held.data(), held.size());
    auto rest = hash_target_range(progress, **opened, held.size(), length, sha, kVerifyMessage);
    DH_TRY(rest);
    hashed += *rest;
  }
  DH_TRY(commit_held(target, held, progress.clock()));
  auto opened = exclusive_read_handle(target, progress.clock());
  DH_TRY(opened);
  std::vector<uint8_t> seen(held.size());
  AlignedReader reader(**opened, (*opened)->kind());
  auto got = reader.read_full(seen.data(), seen.size());
  if (!got) return unexpected(device_disconnected_error(got.error()));
  if (*got != held.size() || seen != held) return std::optional<RangeHash>();
  uint64_t speed = speed_bps(hashed, progress.elapsed());
  progress.line("VERIFY", hashed, speed, kVerifyMessage);
  return std::optional<RangeHash>(RangeHash{sha.finish_hex(), hashed, speed});
}

// Hashes the written range back, once more after a pause when it differs,
// and locates the first difference when both attempts differ.
HandlerResult read_back(Progress& progress, const std::string& image_path, ImageFormat format,
                        const CheckedTarget& target, uint64_t length, const WriteOutcome& outcome) {
  auto matches = [&](const RangeHash& hash) { return hash.sha256 == outcome.source_sha256 && hash.bytes >= length; };

  Expected<RangeHash, HelperError> attempt = unexpected(HelperError{});
  if (!outcome.held.empty()) {
    auto around = read_back_around_held(progress, target, length, outcome);
    DH_TRY(around);
    if (*around) attempt = **around;
  }
  if (!attempt) attempt = hash_range(progress, target, length, kVerifyMessage);
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
      auto difference = first_difference(image_path, target, length, format);
      if (!difference) {
        mismatch = {{"errorCode", error_code_text(difference.error().code)},
                    {"errorMessage", difference.error().message}};
      } else if (*difference) {
        mismatch = (*difference)->to_json();
      }
    }
  }
  if (!outcome.held.empty()) announce_new_layout(target, progress.clock());
  return nlohmann::json{{"bytesWritten", outcome.written},       {"speedBps", outcome.speed},
                        {"sourceSha256", outcome.source_sha256}, {"verifiedBeforeFinalize", true},
                        {"observedSha256", attempt->sha256},     {"verifiedBytes", attempt->bytes},
                        {"verifySpeedBps", attempt->speed},      {"verifyAttempts", attempts},
                        {"firstObservedSha256", first_observed}, {"mismatch", mismatch}};
}

// The image's format as the request states it or its first bytes tell, and
// what the file says of itself: a named format the file is not in, and a
// header, index, footer or directory that is refused, are XZ_INVALID before
// the target is touched. An xz file's own header check speaks for it.
Expected<ImageSummary, HelperError> image_summary(File& image, const ImageEncoding& encoding) {
  ImageFormat format = encoding.format;
  if (encoding.detect || (format != ImageFormat::kPlain && format != ImageFormat::kXz)) {
    auto detected = detect_file_format(image);
    if (!detected) {
      return unexpected(helper_error(encoding.detect ? ErrorCode::kImageMissing : ErrorCode::kXzInvalid,
                                     detected.error().prefixed("Failed to read the image: ")));
    }
    if (encoding.detect) {
      format = *detected;
    } else if (*detected != format) {
      const std::string name(format_name(format));
      return unexpected(HelperError{
          ErrorCode::kXzInvalid,
          "Invalid " + name + " image: the file does not start as a " + name + " file does (" +
              (*detected == ImageFormat::kPlain ? std::string("it starts as no compressed format")
                                                : "it starts as a " + std::string(format_name(*detected)) + " file") +
              ")"});
    }
  }
  auto summary = summarize_image(image, format);
  if (!summary) return unexpected(helper_error(ErrorCode::kXzInvalid, summary.error()));
  return *summary;
}

}  // namespace

uint64_t held_start_length(std::span<const uint8_t> first, uint32_t unit) {
  const size_t size = first.size();
  uint64_t start = kIoBufferSize;
  if (size >= kSectorSize && mbr_signature_present(first)) {
    for (const PartitionEntry& e : parse_partition_entries(first)) {
      if (e.partition_type != kGptProtective) {
        start = std::min<uint64_t>(start, uint64_t{e.start_lba} * kSectorSize);
        continue;
      }
      // GPT header at LBA 1: the entries' LBA at 72, their count at 80 and
      // size at 84; an entry's first LBA at 32, used when its type GUID is
      // not zero. Entries beyond the bytes given are not looked at.
      auto header = first.subspan(kSectorSize);
      if (header.size() < 92 || std::memcmp(header.data(), "EFI PART", 8) != 0) continue;
      const uint64_t entries_lba = le_u64(header, 72);
      const uint32_t count = le_u32(header, 80);
      const uint32_t entry_size = le_u32(header, 84);
      if (entries_lba > size / kSectorSize || entry_size < 48) continue;
      uint64_t at = entries_lba * kSectorSize;
      for (uint32_t i = 0; i < count && entry_size <= size - at; ++i, at += entry_size) {
        auto entry = first.subspan(static_cast<size_t>(at), entry_size);
        bool used = std::any_of(entry.begin(), entry.begin() + 16, [](uint8_t b) { return b != 0; });
        uint64_t lba = le_u64(entry, 32);
        if (used && lba < kIoBufferSize / kSectorSize) start = std::min(start, lba * kSectorSize);
      }
    }
  }
  start -= start % unit;
  return std::max<uint64_t>(start, unit);
}

Expected<ImageEncoding, HelperError> decompress_format(const nlohmann::json& payload) {
  const nlohmann::json* value =
      payload.is_object() && payload.contains("decompress") ? &payload["decompress"] : nullptr;
  if (value == nullptr || value->is_null()) return ImageEncoding{};
  if (value->is_string()) {
    const auto& text = value->get_ref<const std::string&>();
    if (text == "auto") return ImageEncoding{ImageFormat::kPlain, true};
    if (auto format = compressed_format_named(text)) return ImageEncoding{*format, false};
  }
  return unexpected(unknown_error("Unknown decompress value " +
                                  value->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                                  ": use \"xz\", \"gz\", \"bz2\", \"zstd\" or \"zip\" for a compressed image, "
                                  "\"auto\" to tell the format from the file, or leave the field out for a plain "
                                  "image"));
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
  // A compressed image's decoded bytes are written. Any value the helper
  // cannot decode is refused: written as it is, a compressed file would make
  // an unbootable card that reads back as a perfect copy.
  auto encoding = decompress_format(payload);
  DH_TRY(encoding);

  if (!file_system().metadata(*image_path)) {
    return unexpected(HelperError{ErrorCode::kImageMissing, "Image does not exist: " + *image_path});
  }
  // Declaration order is the release order in reverse: whatever the path out,
  // the target closes first, then the volume locks are released, then the
  // image reader's buffer and handle go.
  auto image_opened = file_system().open(*image_path, OpenMode::kSharedRead);
  if (!image_opened) {
    // A compressed image that cannot be opened is answered as the XZ
    // commands answer it.
    if (encoding->format != ImageFormat::kPlain) {
      return unexpected(helper_error(ErrorCode::kXzInvalid, image_opened.error()));
    }
    return unexpected(image_missing_error(image_opened.error()));
  }
  FilePtr image = std::move(image_opened).value();
  auto summary = image_summary(*image, *encoding);
  DH_TRY(summary);
  const ImageFormat format = summary->format;

  auto guarded = lock_target_volumes(*device_path, clock);
  DH_TRY(guarded);

  auto target_opened = exclusive_write_handle(guarded->target, clock);
  DH_TRY(target_opened);
  FilePtr target = std::move(target_opened).value();
  std::optional<uint64_t> total = payload_u64(payload, "bytesTotal");
  std::optional<uint64_t> image_bytes = summary->uncompressed_bytes;
  if (image_bytes && total) image_bytes = std::min(*image_bytes, *total);
  const FileKind target_kind = target->kind();
  DH_TRY(check_image_fits(image_bytes, target_kind, *device_path));
  const bool skip_readback = payload_flag(payload, "skipReadback");

  const bool disk = target_kind.device && target_kind.length;
  if (disk) {
    // The old layout goes before the image's first byte; the volumes of its
    // partitions go with it.
    LayoutClearing clearing{guarded->target, *target_kind.length, transfer_unit(target_kind), image_bytes.value_or(0)};
    DH_TRY(drop_partition_table(*guarded, target));
    target_opened = exclusive_write_handle(guarded->target, clock);
    DH_TRY(target_opened);
    target = std::move(target_opened).value();
    DH_TRY(clearing.clear_rest(*target));
  }

  // Without bytesTotal, progress of a compressed image counts against the
  // decoded size the file records, where it does.
  const uint64_t progress_total =
      total.value_or(format == ImageFormat::kPlain ? 0 : summary->uncompressed_bytes.value_or(0));
  Progress progress(request.session_id, task_id, clock);
  WriteStage stage{progress, guarded->target, *device_path, progress_total, disk, skip_readback};
  Expected<WriteOutcome, HelperError> outcome = unexpected(HelperError{});
  if (format != ImageFormat::kPlain) {
    // The decoder's threads end with the write stage, before the readback.
    DecodedImageSource decoded(*image, format, total);
    outcome = stage.run(decoded, target);
  } else {
    PlainImageSource source(*image, ErrorCode::kWriteFailed, total, /*hash=*/true);
    outcome = stage.run(source, target);
  }
  DH_TRY(outcome);

  if (skip_readback) {
    return nlohmann::json{{"bytesWritten", outcome->written},
                          {"speedBps", outcome->speed},
                          {"sourceSha256", outcome->source_sha256},
                          {"verifiedBeforeFinalize", true},
                          {"skippedReadback", true}};
  }
  return read_back(progress, *image_path, format, guarded->target, total.value_or(outcome->written), *outcome);
}

HandlerResult handle_write_image(const WindowsHelperRequest& request) { return write_image(request, system_clock()); }

}  // namespace dh
