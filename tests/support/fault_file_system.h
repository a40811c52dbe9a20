// A FileSystem over the native one that counts its handles, logs opens and
// closes, and makes chosen calls fail the way a failing card, reader or
// cable does. Install it with ScopedFileSystem.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace dh::test {

// What Windows' FileSystem::device_of answers for a path of its device
// namespace, for the doubles that stand in for drives: \\.\PhysicalDriveN
// and \\?\PhysicalDriveN (N in decimal without leading zeros, letters in any
// case) open disk N whole, \\.\HarddiskNPartitionM partition M of disk N (M = 0
// the whole disk); any other path is a file, no device.
PathDevice windows_device_path(const std::string& path);

// "shared-read", "exclusive-read", "exclusive-write", "create", ...
const char* open_mode_name(OpenMode mode);

// What the system does around a raw drive beyond its driver's own checks
// (PartitionManager models the partition manager and the file systems that
// mount the drive's volumes): asked before each write of the drive, told
// after it, when a handle that wrote to the drive closes (before it is
// closed), and when a handle asks for the layout to be read again
// (File::refresh_layout). `drive` is the handle's own open of the backing
// file, through which the model reads and writes the medium (no other open
// of it is allowed while a handle holds it exclusively, as on Windows); its
// position is restored afterwards. Called with the file system's lock held:
// it must not call back into the file system.
class DriveModel {
 public:
  virtual ~DriveModel() = default;
  // An error refuses the write: nothing of it reaches the drive.
  virtual SysStatus before_write(File& drive, uint64_t offset, size_t len) = 0;
  virtual void after_write(File& drive, uint64_t offset, size_t len) = 0;
  virtual void write_handle_closing(File& drive) = 0;
  virtual void layout_refreshed(File& drive) = 0;
};

class FaultFileSystem final : public FileSystem {
 public:
  explicit FaultFileSystem(FileSystem& inner = native_file_system());
  ~FaultFileSystem() override;
  FaultFileSystem(const FaultFileSystem&) = delete;
  FaultFileSystem& operator=(const FaultFileSystem&) = delete;

  // Calls are counted per path over every handle opened on it, from 0.
  // The `call`-th read of `path` fails with OS error `code`.
  void fail_read(const std::string& path, int call, int code);
  // The `call`-th write of `path` fails with OS error `code`.
  void fail_write(const std::string& path, int call, int code);
  // The `call`-th write of `path` is accepted with zero bytes.
  void refuse_write(const std::string& path, int call);
  // Every flush (device commit) of `path` fails with `code`.
  void fail_flush(const std::string& path, int code);
  // Every seek of `path` fails with `code`.
  void fail_seek(const std::string& path, int code);
  // Opens of `path` in `mode` fail with `code`; with `times`, only that many
  // of them, and later ones go through (a drive another program lets go of).
  void fail_open(const std::string& path, OpenMode mode, int code, std::optional<int> times = std::nullopt);
  // Moving a file onto `path` (replace) fails with `code` and leaves both
  // files as they were, as MoveFileEx does when it cannot replace.
  void fail_replace(const std::string& path, int code);
  // Flushing the volume whose root is `root` fails with `code`, as
  // FlushFileBuffers on a volume does when the medium is gone (1167,
  // ERROR_DEVICE_NOT_CONNECTED) or it is write-protected; what was written
  // before stays written.
  void fail_volume_flush(const std::string& root, int code);
  // Reads through the `open`-th handle (from 0) of `path` see the byte at
  // `offset` inverted, as a flaky reader would return it.
  void corrupt_read(const std::string& path, int open, uint64_t offset);
  // `path` acts as a device of `size` bytes: reads end there, and writes
  // that start there are accepted with zero bytes (a write that crosses it is
  // cut short).
  void end_at(const std::string& path, uint64_t size);
  // `path` acts as a Windows raw drive (\\.\PhysicalDriveN) of `length`
  // bytes with sectors of `sector_size` bytes, held in the file `backing`
  // (opens of `path` reach it, as with redirect; bytes past its end read as
  // zeros). Its handles keep the rules the disk class driver enforces on a
  // raw drive, failing with ERROR_INVALID_PARAMETER (87) where it does: see
  // FaultFile. kind() answers a device of that length and sector size, as
  // IOCTL_DISK_GET_LENGTH_INFO and IOCTL_DISK_GET_DRIVE_GEOMETRY do.
  void raw_drive(const std::string& path, const std::string& backing, uint32_t sector_size, uint64_t length);
  // The raw drive `path` (see raw_drive) lives among the system's volumes as
  // `model` says; nothing when null.
  void model_drive(const std::string& path, DriveModel* model);
  // How a counterfeit drive treats the sectors at and past the end of the
  // flash it really has. Its controller reports the full length (kind() and
  // the raw-drive checks still go by it) and takes every transfer up to it:
  enum class Counterfeit {
    // It ignores the address bits above the flash: the sector at offset o is
    // the one at o modulo the real size (a power of two on real cards), for
    // reads and writes alike.
    kWrap,
    // Writes there are accepted and lost; reads there return zeros.
    kDropWrites,
    // Writes there are accepted and lost; reads there return the last sector
    // below the real size.
    kLastSector,
  };
  // The raw drive `path` (see raw_drive) holds only its first `real_size`
  // bytes (a whole number of its sectors), as `flavour` says.
  void counterfeit(const std::string& path, uint64_t real_size, Counterfeit flavour);
  // Opens of `alias` (say a physical-drive path) reach the file `real`.
  // Faults and the log still use `alias`, and device_of answers for `alias`
  // as Windows would (windows_device_path), not for the file. So it does for
  // every path in the Windows device namespace (\\.\..., \\?\...).
  void redirect(const std::string& alias, const std::string& real);
  // device_of(`path`) answers `device`, or fails with OS error `code`.
  void set_device(const std::string& path, const PathDevice& device);
  void fail_device_query(const std::string& path, int code);

  // Faults on every path, with the error exactly as given (code and text),
  // for the tests that describe a failure by the bytes moved rather than by
  // the call: a card that fills up or a reader that gives up part way.
  struct AnyPath {
    std::optional<SysError> open_error;   // every open fails
    std::optional<SysError> seek_error;   // every seek fails
    std::optional<SysError> flush_error;  // every flush fails
    // Reads fail once all handles together have read this many bytes.
    uint64_t fail_reads_after = UINT64_MAX;
    // A write fails when it would take all handles together past this many bytes.
    uint64_t fail_writes_after = UINT64_MAX;
    // The error of those reads and writes.
    SysError io_error{28, "No space left on device (os error 28)"};
  };
  AnyPath any_path;
  // Called at every open, refused ones too, before it is served: for the
  // tests that look at another fake at that moment (how many volume locks a
  // drive open finds held). It must not call back into this file system.
  std::function<void(const std::string& path, OpenMode mode)> on_open;

  int open_handles() const { return open_handles_; }
  // Every open asked for, refused ones too, in order.
  std::vector<std::pair<std::string, OpenMode>>& opened() { return opened_; }
  // The length every read on any handle asked for, in order.
  std::vector<size_t>& read_lengths() { return read_lengths_; }
  int opens(const std::string& path) const;
  int reads(const std::string& path) const;
  int writes(const std::string& path) const;
  // "open <mode> <path>", "close <path>", "replace <from> <to>" and
  // "flush-volume <root>" in the order they happened. Other fakes may append
  // their own events to keep one timeline.
  std::vector<std::string>& events() { return events_; }

  SysResult<FilePtr> open(const std::string& path, OpenMode mode) override;
  SysStatus metadata(const std::string& path) override;
  SysResult<FileIdentity> identity(const std::string& path) override;
  SysStatus replace(const std::string& from, const std::string& to) override;
  SysStatus remove(const std::string& path) override;
  SysStatus flush_volume(const std::string& root) override;
  SysResult<PathDevice> device_of(const std::string& path) override;

 private:
  friend class FaultFile;
  struct PathState {
    std::map<int, int> read_errors;
    std::map<int, int> write_errors;
    std::set<int> refused_writes;
    std::optional<int> flush_error;
    std::optional<int> seek_error;
    std::map<OpenMode, int> open_errors;
    std::map<OpenMode, int> open_errors_left;  // for faults that run out
    std::optional<int> replace_error;
    std::optional<int> volume_flush_error;
    std::map<int, uint64_t> corruptions;  // open index -> offset
    std::optional<uint64_t> end;
    uint32_t raw_sector_size = 0;  // a raw drive when not 0
    uint64_t raw_length = 0;
    DriveModel* model = nullptr;
    std::optional<uint64_t> real_size;  // a counterfeit raw drive's
    Counterfeit flavour = Counterfeit::kWrap;
    std::optional<std::string> real_path;
    std::optional<PathDevice> device;
    std::optional<int> device_error;
    int opens = 0;
    int reads = 0;
    int writes = 0;
  };
  PathState& state(const std::string& path) { return paths_[path]; }
  const PathState* find(const std::string& path) const;

  FileSystem& inner_;
  // Handles are used from the helper's worker threads too: every call on a
  // handle, every open and every count holds it.
  mutable std::mutex mutex_;
  std::map<std::string, PathState> paths_;
  std::vector<std::string> events_;
  std::vector<std::pair<std::string, OpenMode>> opened_;
  std::vector<size_t> read_lengths_;
  uint64_t read_total_ = 0;
  uint64_t written_total_ = 0;
  int open_handles_ = 0;
};

}  // namespace dh::test
