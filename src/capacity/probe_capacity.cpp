#include "capacity/probe_capacity.h"

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "capacity/probe_blocks.h"
#include "disks/target.h"
#include "progress/progress.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"

namespace dh {
namespace {

ProbeRunId new_run_id() {
  std::random_device source;
  ProbeRunId run{};
  for (size_t i = 0; i < run.size(); i += 4) {
    uint32_t word = source();
    for (size_t k = 0; k < 4; ++k) run[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  return run;
}

// The jitter of the spread probes and the reading order, drawn from a
// generator seeded with the run id: one random source per run.
std::mt19937_64 run_random(const ProbeRunId& run) {
  std::seed_seq seed(run.begin(), run.end());
  return std::mt19937_64(seed);
}

// One probe run on an open target: the plan, then the writes and the reads.
struct ProbeRun {
  Progress& progress;
  const CheckedTarget& target;
  ProbeRunId run;
  std::vector<uint64_t> offsets;
  uint32_t block;
  std::string write_message;
  std::string read_message;

  uint64_t total() const { return 2 * offsets.size() * uint64_t{block}; }

  // From the highest offset down: where addresses alias, the lowest
  // location's block is written last and is what the medium keeps (see
  // judge_probes). The handle is closed once the flush was tried.
  Expected<uint64_t, HelperError> write_all_probes(FilePtr& handle) {
    progress.start_stage(total());
    progress.line("PROBE", 0, 0, write_message);
    uint64_t written = 0;
    for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) {
      const std::vector<uint8_t> bytes = probe_block(run, *it, block);
      auto put = handle->seek(*it);
      if (put) put = write_all(*handle, bytes.data(), bytes.size());
      if (!put) return unexpected(helper_error(ErrorCode::kWriteFailed, put.error()));
      written += block;
      progress.periodic("PROBE", written, write_message);
    }
    auto committed = handle->flush();
    handle.reset();
    if (!committed) return unexpected(helper_error(ErrorCode::kWriteFailed, committed.error()));
    uint64_t speed = speed_bps(written, progress.elapsed());
    progress.line("PROBE", written, speed, write_message);
    return speed;
  }

  // Through a new handle, in an order unrelated to the writing order, so
  // that a controller that serves the last blocks written from a cache of
  // its own cannot answer the reads in turn. seen[i] is what the block at
  // offsets[i] holds.
  Expected<uint64_t, HelperError> read_all_probes(std::mt19937_64& random, std::vector<std::optional<uint64_t>>& seen) {
    auto opened = exclusive_read_handle(target, progress.clock());
    DH_TRY(opened);
    FilePtr handle = std::move(opened).value();
    std::vector<size_t> order(offsets.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    seen.assign(offsets.size(), std::nullopt);
    std::vector<uint8_t> bytes(block);
    const uint64_t written = offsets.size() * uint64_t{block};
    uint64_t read = 0;
    const auto start = progress.clock().now();
    for (size_t i : order) {
      auto got = handle->seek(offsets[i]);
      if (got) got = read_exact(*handle, bytes.data(), bytes.size());
      if (!got) return unexpected(helper_error(ErrorCode::kReadFailed, got.error()));
      seen[i] = probe_signature(run, bytes.data(), bytes.size());
      read += block;
      progress.periodic("PROBE", written + read, read_message);
    }
    const uint64_t speed = speed_bps(read, progress.clock().now() - start);
    progress.line("PROBE", written + read, speed_bps(written + read, progress.elapsed()), read_message);
    return speed;
  }
};

}  // namespace

HandlerResult probe_capacity(const WindowsHelperRequest& request, Clock& clock) {
  const nlohmann::json& payload = request.payload;
  auto device_path = resolve_target_path(payload);
  DH_TRY(device_path);
  std::string task_id = payload_str(payload, "taskId").value_or("unknown");

  auto guarded = lock_target_volumes(*device_path, clock);
  DH_TRY(guarded);
  auto opened = exclusive_write_handle(guarded->target, clock);
  DH_TRY(opened);
  FilePtr handle = std::move(opened).value();

  // A plain file's size is its length: it is probed as a device of that
  // size, and no probe reaches past its end, so it never grows.
  const FileKind kind = handle->kind();
  if (!kind.length) return unexpected(unknown_error("Cannot probe " + *device_path + ": it does not tell its size"));
  // A volume that could only be dismounted may be mounted again under the
  // probes: it must go with the partition table first, as before an image.
  if (!guarded->locks.unlocked().empty()) {
    DH_TRY(drop_partition_table(*guarded, handle));
    opened = exclusive_write_handle(guarded->target, clock);
    DH_TRY(opened);
    handle = std::move(opened).value();
  }
  const uint32_t unit = transfer_unit(kind);
  const uint32_t block = probe_block_size(unit);
  const ProbeRunId run = new_run_id();
  std::mt19937_64 random = run_random(run);
  std::vector<uint64_t> offsets = probe_offsets(*kind.length, block, unit, random);
  if (offsets.empty()) {
    return unexpected(unknown_error("Cannot probe " + *device_path + ": its " + std::to_string(*kind.length) +
                                    " bytes hold no whole probe block of " + std::to_string(block) + " bytes"));
  }

  Progress progress(request.session_id, task_id, clock);
  ProbeRun probe{progress,
                 guarded->target,
                 run,
                 std::move(offsets),
                 block,
                 "Writing probe blocks across " + *device_path,
                 "Reading probe blocks back from " + *device_path};
  auto write_speed = probe.write_all_probes(handle);
  DH_TRY(write_speed);
  std::vector<std::optional<uint64_t>> seen;
  auto read_speed = probe.read_all_probes(random, seen);
  DH_TRY(read_speed);
  // The probe wrote over the partition table at offset 0: the old
  // partitions' volumes must go.
  if (kind.device) announce_new_layout(guarded->target, clock);

  const ProbeVerdict verdict = judge_probes(probe.offsets, seen, block, *kind.length);
  nlohmann::json first_bad = nullptr;
  if (verdict.first_bad) first_bad = probe.offsets[*verdict.first_bad];
  return nlohmann::json{{"reportedBytes", *kind.length},
                        {"usableBytes", verdict.usable_bytes},
                        {"fake", verdict.usable_bytes < *kind.length},
                        {"firstBadOffset", first_bad},
                        {"probes", probe.offsets.size()},
                        {"writeSpeedBps", *write_speed},
                        {"readSpeedBps", *read_speed}};
}

HandlerResult handle_probe_capacity(const WindowsHelperRequest& request) {
  return probe_capacity(request, system_clock());
}

}  // namespace dh
