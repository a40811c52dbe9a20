// Files and raw devices behind a narrow, replaceable interface.
//
// Every open, read, write and flush of images, targets and boot-partition
// files goes through FileSystem, so tests can swap in a FileSystem that fails
// at a chosen call (ninja's DiskInterface idea).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sys_error.h"

namespace dh {

enum class OpenMode {
  // Read; others may read, write and delete meanwhile. Used for image files
  // and for the shared-read target mode.
  kSharedRead,
  // Read; nobody else may open it (O_EXCL on a POSIX block device).
  kExclusiveRead,
  // Read and write, nobody else may open it, writes go through to the device.
  kExclusiveWrite,
  // Write; created or truncated; others may read, write and delete.
  kCreateTruncate,
  // As kCreateTruncate, with write-through.
  kCreateTruncateWriteThrough,
  // Write; must not exist yet (used for temporary files); write-through.
  kCreateNewWriteThrough,
};

// What an open handle reaches.
struct FileKind {
  // False for a regular file; true for a disk, a partition, a volume or any
  // other device.
  bool device = false;
  // A regular file's size, or a device's length in bytes
  // (IOCTL_DISK_GET_LENGTH_INFO, BLKGETSIZE64); empty when it cannot be told.
  std::optional<uint64_t> length;
  // A device's logical sector size (IOCTL_DISK_GET_DRIVE_GEOMETRY(_EX),
  // BLKSSZGET), 0 when the device does not tell; 0 for a regular file. Use
  // transfer_unit() rather than this raw value.
  uint32_t sector_size = 0;
};

// The unit every transfer on a handle of this kind must be a whole multiple
// of, at an offset that is a multiple of it: 1 for a regular file; a
// device's sector size when it is a power of two up to 64 KiB, else 512 (a
// Windows raw drive refuses anything else with ERROR_INVALID_PARAMETER).
uint32_t transfer_unit(const FileKind& kind);

// What identifies a file regardless of the path spelling used to reach it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The storage stack's numbers for a device (STORAGE_DEVICE_NUMBER on
// Windows). Disk numbers are the N of \\.\PhysicalDriveN.
struct DeviceNumber {
  uint32_t device_type = 0;       // kFileDeviceDisk for a disk or a partition of one
  uint32_t device_number = 0;     // the disk's number within its type
  uint32_t partition_number = 0;  // 0 or kWholeDevice: the whole disk
  std::string disk_path;          // the whole disk, as a path a user knows it by
  friend bool operator==(const DeviceNumber&, const DeviceNumber&) = default;
};

// FILE_DEVICE_DISK.
inline constexpr uint32_t kFileDeviceDisk = 7;
// The POSIX backend numbers block devices in a type of their own, so that no
// Linux device is ever taken for a Windows disk number.
inline constexpr uint32_t kPosixBlockDevice = 0x10000;
// A partition number some drivers give the whole disk instead of 0.
inline constexpr uint32_t kWholeDevice = 0xFFFFFFFF;

// What a path opens, told apart without opening it for reading or writing.
struct PathDevice {
  // True when the path opens a device itself (a disk, a partition, a volume),
  // false for a file or folder of a file system.
  bool is_device = false;
  // For a device that has storage numbers.
  std::optional<DeviceNumber> number;
  // What the file (POSIX: also the device node) is, where the system tells:
  // POSIX the device and inode, Windows a file's volume serial and index.
  std::optional<FileIdentity> identity = std::nullopt;
};

// True when `opened` (what a handle reaches) is what `checked` (what the path
// reached when it was checked) said: the same kind, the same storage numbers,
// and the same file where both tell which file they are.
bool same_device(const PathDevice& checked, const PathDevice& opened);

// An open file or device. Closing happens in the destructor.
class File {
 public:
  virtual ~File() = default;
  // One read of at most `len` bytes; 0 means end of file or device. An
  // interrupted call is retried, never reported.
  virtual SysResult<size_t> read(uint8_t* buf, size_t len) = 0;
  // One write of at most `len` bytes; returns how many were accepted (0 when
  // the device accepted none).
  virtual SysResult<size_t> write(const uint8_t* buf, size_t len) = 0;
  // Moves to an absolute byte offset.
  virtual SysStatus seek(uint64_t offset) = 0;
  // Commits written data to storage (fsync / FlushFileBuffers).
  virtual SysStatus flush() = 0;
  // What the handle reaches. Never fails: what cannot be asked stays at its
  // default. This default, kept by files held in memory, answers a regular
  // file of unknown size.
  virtual FileKind kind();
  // What the handle reaches, answered as FileSystem::device_of answers for a
  // path, so that the handle a command uses can be proven to be the one its
  // checks saw. This default, kept by files held in memory, answers "not a
  // device".
  virtual SysResult<PathDevice> device();
  // Asks the system to read the partition table of the disk behind the handle
  // again, so that volumes of partitions that are gone go away and new ones
  // appear (Windows: IOCTL_DISK_UPDATE_PROPERTIES; Linux: BLKRRPART, which
  // fails with EBUSY while a partition of the disk is in use). This default,
  // kept by files, does nothing: no system reads a table in a file.
  virtual SysStatus refresh_layout();
};

using FilePtr = std::unique_ptr<File>;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Paths are UTF-8; the Win32 backend converts them to UTF-16 at the call.
  virtual SysResult<FilePtr> open(const std::string& path, OpenMode mode) = 0;
  // Succeeds when the path has metadata (following links); directories too.
  virtual SysStatus metadata(const std::string& path) = 0;
  virtual SysResult<FileIdentity> identity(const std::string& path) = 0;
  // Moves `from` over `to`, replacing it, and commits the move.
  virtual SysStatus replace(const std::string& from, const std::string& to) = 0;
  virtual SysStatus remove(const std::string& path) = 0;
  // Commits to the medium everything written on the volume whose root folder
  // is `root` (as drive_letter_root gives it, "E:\"), file system structures
  // included, so that the medium can be removed afterwards. On Windows the
  // volume "\\.\E:" is opened for reading and writing, shared, and flushed
  // (FlushFileBuffers; this needs administrator rights), on POSIX the file
  // system holding the folder `root` (syncfs). Returns the OS error of the
  // open or the flush; on Windows ERROR_INVALID_NAME when `root` does not
  // start with a drive letter and a colon.
  virtual SysStatus flush_volume(const std::string& root) = 0;
  // What `path` opens, asked through a query-only open (no read or write
  // access, everything shared), so it works while others hold the device.
  // Fails with the OS error when the path cannot be opened at all. This
  // default, kept by file systems that know no devices, answers "not a
  // device", so nothing is ever locked or refused because of it.
  virtual SysResult<PathDevice> device_of(const std::string& path);
};

// The file system in use: the native one unless a test installed another.
FileSystem& file_system();
FileSystem& native_file_system();

// Installs `fs` as file_system() for the lifetime of this object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& fs);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// The extended-length form of an absolute Windows path, which the Win32 file
// calls take beyond MAX_PATH whatever the system's long-path setting:
// "C:\a" becomes "\\?\C:\a" and "\\server\share\a" becomes
// "\\?\UNC\server\share\a". The form turns Windows' own path
// normalization off, so `full_path` must already be normalized (as
// GetFullPathNameW returns it). Paths that already start with \\?\ or
// with \\.\ (the device namespace), and anything else, come back unchanged.
std::string extended_length_path(std::string_view full_path);

// Reads exactly `len` bytes; a read that returns 0 first gives
// kShortReadText.
SysStatus read_exact(File& file, uint8_t* buf, size_t len);
// Writes all `len` bytes; a write that accepts 0 bytes gives kZeroWriteText.
SysStatus write_all(File& file, const uint8_t* buf, size_t len);
// Writes `length` zeros at `offset` (on a device, whole transfer units at a
// unit boundary are the caller's to give), in writes of at most 1 MiB.
SysStatus write_zeros(File& file, uint64_t offset, uint64_t length);

}  // namespace dh
