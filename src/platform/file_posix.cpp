// POSIX backend of the file interface: plain files and block devices.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/block_devices_posix.h"
#include "platform/file.h"

namespace dh {
namespace {

PathDevice device_from_stat(const struct stat& st);

class PosixFile final : public File {
 public:
  PosixFile(int fd, mode_t type, bool write_behind) : fd_(fd), type_(type), write_behind_(write_behind) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    if (len > SSIZE_MAX) len = SSIZE_MAX;
    for (;;) {
      ssize_t n = ::read(fd_, buf, len);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return unexpected(SysError::last());
    }
  }

  SysResult<size_t> write(const uint8_t* buf, size_t len) override {
    if (len > SSIZE_MAX) len = SSIZE_MAX;
    for (;;) {
      ssize_t n = ::write(fd_, buf, len);
      if (n >= 0) {
        if (write_behind_) start_write_back();
        return static_cast<size_t>(n);
      }
      if (errno != EINTR) return unexpected(SysError::last());
    }
  }

  SysStatus seek(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return unexpected(SysError::from_os(EINVAL));
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return unexpected(SysError::last());
    return {};
  }

  SysStatus flush() override {
    if (::fsync(fd_) != 0) return unexpected(SysError::last());
    return {};
  }

  SysResult<PathDevice> device() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return unexpected(SysError::last());
    return device_from_stat(st);
  }

  FileKind kind() override {
    FileKind kind;
    if (S_ISREG(type_)) {
      struct stat st {};
      if (::fstat(fd_, &st) == 0) kind.length = static_cast<uint64_t>(st.st_size);
      return kind;
    }
    kind.device = true;
#ifdef __linux__
    if (S_ISBLK(type_)) {
      uint64_t length = 0;
      if (::ioctl(fd_, BLKGETSIZE64, &length) == 0) kind.length = length;
      int sector = 0;
      if (::ioctl(fd_, BLKSSZGET, &sector) == 0 && sector > 0) kind.sector_size = static_cast<uint32_t>(sector);
    }
#endif
    return kind;
  }

  SysStatus refresh_layout() override {
#ifdef __linux__
    if (S_ISBLK(type_) && ::ioctl(fd_, BLKRRPART, 0) != 0) return unexpected(SysError::from_os(errno));
#endif
    return {};
  }

 private:
  // Linux keeps written pages in memory until a commit or until a large share
  // of memory is dirty, so a commit at the end would wait for the whole file.
  // Starting write-back as the data arrives lets the disk work while the
  // caller still produces data (as the Windows cache's lazy writer does), and
  // the final commit waits only for the tail. It is a hint: failures are
  // ignored, the commit reports them.
  void start_write_back() {
#ifdef __linux__
    (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  int fd_;
  mode_t type_;  // the S_IFMT bits: a regular file, a block or a character device
  bool write_behind_;
};

// Linux serves reads of a block device from the device's page cache, which
// still holds what a write put there while any handle on the device stays
// open: a card that drops writes (a fake-capacity card) would read back as
// written. Commit what is dirty, then drop the cached pages (BLKFLSBUF where
// the caller may, the advice otherwise; both drop only clean pages), so that
// the reads that follow reach the medium.
void drop_device_cache(int fd) {
#ifdef __linux__
  (void)::fsync(fd);
  (void)::ioctl(fd, BLKFLSBUF, 0);
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#else
  (void)fd;
#endif
}

// What a path or handle with this status reaches.
PathDevice device_from_stat(const struct stat& st) {
  PathDevice device;
  device.is_device = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
  device.identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  if (!S_ISBLK(st.st_mode)) return device;
  if (auto disk = block_disk_of(st.st_rdev)) {
    device.number = DeviceNumber{kPosixBlockDevice, disk->number, disk->partition, disk->path};
  }
  return device;
}

struct OpenedFd {
  int fd;
  mode_t type;
};

// Opens without blocking (a FIFO would otherwise wait for a writer), then
// accepts only regular files and devices, as a Windows file open would.
SysResult<OpenedFd> open_checked(const std::string& path, int flags, bool exclusive_device) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return unexpected(SysError::last());
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return unexpected(SysError::from_os(err));
  }
  if (S_ISDIR(st.st_mode) || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
    ::close(fd);
    return unexpected(SysError::from_os(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
  }
  if (exclusive_device && S_ISBLK(st.st_mode)) {
    // O_EXCL on a block device refuses the open while the device is mounted
    // or held open exclusively elsewhere: the share-mode-0 open of Windows.
    ::close(fd);
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_EXCL);
    if (fd < 0) return unexpected(SysError::last());
    return OpenedFd{fd, S_IFBLK};
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    int err = errno;
    ::close(fd);
    return unexpected(SysError::from_os(err));
  }
  return OpenedFd{fd, static_cast<mode_t>(st.st_mode & S_IFMT)};
}

class PosixFileSystem final : public FileSystem {
 public:
  SysResult<FilePtr> open(const std::string& path, OpenMode mode) override {
    int flags = 0;
    bool exclusive = false;
    switch (mode) {
      case OpenMode::kSharedRead: flags = O_RDONLY; break;
      case OpenMode::kExclusiveRead:
        flags = O_RDONLY;
        exclusive = true;
        break;
      case OpenMode::kExclusiveWrite:
        flags = O_RDWR | O_DSYNC;
        exclusive = true;
        break;
      case OpenMode::kCreateTruncate: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
      case OpenMode::kCreateTruncateWriteThrough: flags = O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC; break;
      case OpenMode::kCreateNewWriteThrough: flags = O_WRONLY | O_CREAT | O_EXCL | O_DSYNC; break;
    }
    auto opened = open_checked(path, flags, exclusive);
    DH_TRY(opened);
    // The exclusive reads are the readback, verify_hash and the comparisons:
    // they must see the medium, not what a write left in memory.
    if (mode == OpenMode::kExclusiveRead && S_ISBLK(opened->type)) drop_device_cache(opened->fd);
    return FilePtr(std::make_unique<PosixFile>(opened->fd, opened->type, mode == OpenMode::kCreateTruncate));
  }

  SysStatus metadata(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return unexpected(SysError::last());
    return {};
  }

  SysResult<FileIdentity> identity(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return unexpected(SysError::last());
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  }

  SysStatus replace(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return unexpected(SysError::last());
    // Commit the directory entry as well, as MOVEFILE_WRITE_THROUGH does.
    std::string dir = to.substr(0, to.find_last_of('/') == std::string::npos ? 0 : to.find_last_of('/'));
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return {};
  }

  SysStatus remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return unexpected(SysError::last());
    return {};
  }

  SysStatus flush_volume(const std::string& root) override {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return unexpected(SysError::last());
    int failed = ::syncfs(fd) != 0 ? errno : 0;
    ::close(fd);
    if (failed != 0) return unexpected(SysError::from_os(failed));
    return {};
  }

  SysResult<PathDevice> device_of(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return unexpected(SysError::last());
    return device_from_stat(st);
  }
};

}  // namespace

FileSystem& native_file_system() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace dh
