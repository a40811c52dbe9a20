#include "support/fault_file_system.h"

#include <algorithm>
#include <cstdlib>

#include "base/text.h"

namespace dh::test {

const char* open_mode_name(OpenMode mode) {
  switch (mode) {
    case OpenMode::kSharedRead: return "shared-read";
    case OpenMode::kExclusiveRead: return "exclusive-read";
    case OpenMode::kExclusiveWrite: return "exclusive-write";
    case OpenMode::kCreateTruncate: return "create";
    case OpenMode::kCreateTruncateWriteThrough: return "create-write-through";
    case OpenMode::kCreateNewWriteThrough: return "create-new-write-through";
  }
  return "?";
}

namespace {

// The decimal number at the start of `text` (no sign, no leading zero), and
// how many characters it took; nothing when there is none.
std::optional<std::pair<uint32_t, size_t>> leading_number(std::string_view text) {
  size_t n = 0;
  uint64_t value = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9' && n < 10) value = value * 10 + (text[n++] - '0');
  if (n == 0 || (n > 1 && text[0] == '0') || value > 0xFFFFFFFFu) return std::nullopt;
  return std::make_pair(static_cast<uint32_t>(value), n);
}

PathDevice disk_device(uint32_t disk, uint32_t partition) {
  PathDevice device;
  device.is_device = true;
  device.number = DeviceNumber{kFileDeviceDisk, disk, partition, "\\\\.\\PhysicalDrive" + std::to_string(disk)};
  return device;
}

}  // namespace

PathDevice windows_device_path(const std::string& path) {
  std::string lower = ascii_lower(path);
  if (lower.rfind("\\\\.\\", 0) != 0 && lower.rfind("\\\\?\\", 0) != 0) return PathDevice{};
  std::string_view name = std::string_view(lower).substr(4);
  constexpr std::string_view kDrive = "physicaldrive";
  constexpr std::string_view kHarddisk = "harddisk";
  constexpr std::string_view kPartition = "partition";
  if (name.rfind(kDrive, 0) == 0) {
    auto disk = leading_number(name.substr(kDrive.size()));
    if (disk && kDrive.size() + disk->second == name.size()) return disk_device(disk->first, 0);
  } else if (name.rfind(kHarddisk, 0) == 0) {
    auto disk = leading_number(name.substr(kHarddisk.size()));
    if (!disk) return PathDevice{};
    std::string_view rest = name.substr(kHarddisk.size() + disk->second);
    if (rest.rfind(kPartition, 0) != 0) return PathDevice{};
    auto partition = leading_number(rest.substr(kPartition.size()));
    if (partition && kPartition.size() + partition->second == rest.size()) {
      return disk_device(disk->first, partition->first);
    }
  }
  return PathDevice{};
}

namespace {

bool is_device_namespace(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0;
}

}  // namespace

// One handle: forwards to the real file, tracks its position, and applies
// the faults of its path.
class FaultFile final : public File {
 public:
  FaultFile(FaultFileSystem& fs, std::string path, int open_index, FilePtr inner)
      : fs_(fs), path_(std::move(path)), open_index_(open_index), inner_(std::move(inner)) {
    ++fs_.open_handles_;
  }
  ~FaultFile() override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    if (DriveModel* model = fs_.state(path_).model; model != nullptr && wrote_) model->write_handle_closing(*inner_);
    inner_.reset();
    --fs_.open_handles_;
    fs_.events_.push_back("close " + path_);
  }

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    fs_.read_lengths_.push_back(len);
    auto got = read_locked(buf, len);
    if (got) fs_.read_total_ += *got;
    return got;
  }

  SysResult<size_t> write(const uint8_t* buf, size_t len) override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    auto wrote = write_locked(buf, len);
    if (wrote) fs_.written_total_ += *wrote;
    return wrote;
  }

  SysStatus seek(uint64_t offset) override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    auto& st = fs_.state(path_);
    if (st.seek_error) return unexpected(SysError::from_os(*st.seek_error));
    if (fs_.any_path.seek_error) return unexpected(*fs_.any_path.seek_error);
    auto sought = inner_->seek(offset);
    if (sought) position_ = offset;
    return sought;
  }

  SysStatus flush() override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    auto& st = fs_.state(path_);
    if (st.flush_error) return unexpected(SysError::from_os(*st.flush_error));
    if (fs_.any_path.flush_error) return unexpected(*fs_.any_path.flush_error);
    return inner_->flush();
  }

  // What the handle reaches is what device_of answered for its path, or the
  // real file's answer.
  SysResult<PathDevice> device() override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    const auto& st = fs_.state(path_);
    if (st.device) return *st.device;
    if (st.real_path || is_device_namespace(path_)) return windows_device_path(path_);
    return inner_->device();
  }

  SysStatus refresh_layout() override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    fs_.events_.push_back("refresh-layout " + path_);
    if (DriveModel* model = fs_.state(path_).model; model != nullptr) {
      model->layout_refreshed(*inner_);
      if (auto back = inner_->seek(position_); !back) return back;
    }
    return inner_->refresh_layout();
  }

  FileKind kind() override {
    std::lock_guard<std::mutex> lock(fs_.mutex_);
    const auto& st = fs_.state(path_);
    if (st.raw_sector_size == 0) return inner_->kind();
    FileKind kind;
    kind.device = true;
    kind.length = st.raw_length;
    kind.sector_size = st.raw_sector_size;
    return kind;
  }

 private:
  // read and write with the file system's mutex held.
  SysResult<size_t> read_locked(uint8_t* buf, size_t len) {
    auto& st = fs_.state(path_);
    int call = st.reads++;
    if (auto it = st.read_errors.find(call); it != st.read_errors.end())
      return unexpected(SysError::from_os(it->second));
    if (fs_.read_total_ >= fs_.any_path.fail_reads_after) return unexpected(fs_.any_path.io_error);
    if (st.raw_sector_size != 0) return raw_read(st, buf, len);
    len = clamp(st, len);
    auto got = inner_->read(buf, len);
    if (!got) return got;
    if (auto it = st.corruptions.find(open_index_); it != st.corruptions.end()) {
      if (it->second >= position_ && it->second < position_ + *got) buf[it->second - position_] ^= 0xFF;
    }
    position_ += *got;
    return got;
  }

  SysResult<size_t> write_locked(const uint8_t* buf, size_t len) {
    auto& st = fs_.state(path_);
    int call = st.writes++;
    if (auto it = st.write_errors.find(call); it != st.write_errors.end()) {
      return unexpected(SysError::from_os(it->second));
    }
    if (st.refused_writes.count(call) != 0) return size_t{0};
    if (fs_.written_total_ + len > fs_.any_path.fail_writes_after) return unexpected(fs_.any_path.io_error);
    if (st.raw_sector_size != 0) return raw_write(st, buf, len);
    len = clamp(st, len);
    if (len == 0) return size_t{0};
    auto wrote = inner_->write(buf, len);
    if (wrote) position_ += *wrote;
    return wrote;
  }

  // The disk class driver's checks on a raw drive's transfers (ClassReadWrite
  // and the sector checks before it): a transfer whose offset or length is not
  // a whole number of sectors fails with STATUS_INVALID_PARAMETER, and so does
  // one that runs past the last sector, so a read there never comes back
  // short. STATUS_INVALID_PARAMETER reaches the caller as
  // ERROR_INVALID_PARAMETER (87). Seeking is never refused: the file pointer
  // is only a number until a transfer uses it.
  static constexpr int kInvalidParameter = 87;
  SysStatus raw_transfer_allowed(const FaultFileSystem::PathState& st, size_t len) const {
    uint64_t sector = st.raw_sector_size;
    if (position_ % sector != 0 || len % sector != 0 || position_ > st.raw_length || len > st.raw_length - position_) {
      return unexpected(SysError::from_os(kInvalidParameter));
    }
    return {};
  }
  SysResult<size_t> raw_read(const FaultFileSystem::PathState& st, uint8_t* buf, size_t len) {
    if (auto allowed = raw_transfer_allowed(st, len); !allowed) return unexpected(std::move(allowed).error());
    if (st.real_size) return counterfeit_transfer(st, buf, nullptr, len);
    // The whole transfer or nothing; what the backing file does not hold is
    // zeros.
    size_t done = 0;
    while (done < len) {
      auto got = inner_->read(buf + done, len - done);
      if (!got) return got;
      if (*got == 0) break;
      done += *got;
    }
    std::fill(buf + done, buf + len, uint8_t{0});
    if (auto it = st.corruptions.find(open_index_); it != st.corruptions.end()) {
      if (it->second >= position_ && it->second < position_ + len) buf[it->second - position_] ^= 0xFF;
    }
    position_ += len;
    // Past the backing file's end its file pointer stays behind the drive's.
    if (done < len) {
      if (auto sought = inner_->seek(position_); !sought) return unexpected(std::move(sought).error());
    }
    return len;
  }
  SysResult<size_t> raw_write(const FaultFileSystem::PathState& st, const uint8_t* buf, size_t len) {
    if (auto allowed = raw_transfer_allowed(st, len); !allowed) return unexpected(std::move(allowed).error());
    if (st.real_size) {
      wrote_ = true;
      return counterfeit_transfer(st, nullptr, buf, len);
    }
    if (st.model != nullptr) {
      auto allowed = st.model->before_write(*inner_, position_, len);
      if (auto back = inner_->seek(position_); !back) return unexpected(std::move(back).error());
      if (!allowed) {
        fs_.events_.push_back("refused-write " + path_ + " at " + std::to_string(position_));
        return unexpected(std::move(allowed).error());
      }
    }
    if (auto wrote = write_all(*inner_, buf, len); !wrote) return unexpected(std::move(wrote).error());
    wrote_ = true;
    position_ += len;
    if (st.model != nullptr) {
      st.model->after_write(*inner_, position_ - len, len);
      if (auto back = inner_->seek(position_); !back) return unexpected(std::move(back).error());
    }
    return len;
  }

  // Where the flash of a counterfeit drive keeps the sector at `offset`;
  // nothing when the sector is beyond it and the access is lost (a write) or
  // reads zeros.
  static std::optional<uint64_t> flash_offset(const FaultFileSystem::PathState& st, uint64_t offset, bool write) {
    const uint64_t real = *st.real_size;
    if (offset < real) return offset;
    switch (st.flavour) {
      case FaultFileSystem::Counterfeit::kWrap: return offset % real;
      case FaultFileSystem::Counterfeit::kDropWrites: return std::nullopt;
      case FaultFileSystem::Counterfeit::kLastSector:
        if (write) return std::nullopt;
        return real - st.raw_sector_size;
    }
    return std::nullopt;
  }
  // One transfer (already allowed by the raw-drive checks) of a counterfeit
  // drive, sector by sector: reads into `in`, or writes from `out`.
  SysResult<size_t> counterfeit_transfer(const FaultFileSystem::PathState& st, uint8_t* in, const uint8_t* out,
                                         size_t len) {
    const size_t sector = st.raw_sector_size;
    for (size_t done = 0; done < len; done += sector) {
      auto flash = flash_offset(st, position_ + done, out != nullptr);
      if (!flash) {
        if (in != nullptr) std::fill(in + done, in + done + sector, uint8_t{0});
        continue;
      }
      if (auto sought = inner_->seek(*flash); !sought) return unexpected(std::move(sought).error());
      if (out != nullptr) {
        if (auto wrote = write_all(*inner_, out + done, sector); !wrote) return unexpected(std::move(wrote).error());
        continue;
      }
      // What the backing file does not hold reads as zeros.
      size_t got = 0;
      while (got < sector) {
        auto part = inner_->read(in + done + got, sector - got);
        if (!part) return part;
        if (*part == 0) break;
        got += *part;
      }
      std::fill(in + done + got, in + done + sector, uint8_t{0});
    }
    position_ += len;
    if (auto back = inner_->seek(position_); !back) return unexpected(std::move(back).error());
    return len;
  }

  size_t clamp(const FaultFileSystem::PathState& st, size_t len) const {
    if (!st.end) return len;
    if (position_ >= *st.end) return 0;
    return static_cast<size_t>(std::min<uint64_t>(len, *st.end - position_));
  }

  FaultFileSystem& fs_;
  std::string path_;
  int open_index_;
  FilePtr inner_;
  uint64_t position_ = 0;
  bool wrote_ = false;
};

FaultFileSystem::FaultFileSystem(FileSystem& inner) : inner_(inner) {}

FaultFileSystem::~FaultFileSystem() {
  // A handle outliving its file system would write into freed memory.
  if (open_handles_ != 0) std::abort();
}

void FaultFileSystem::fail_read(const std::string& path, int call, int code) { state(path).read_errors[call] = code; }
void FaultFileSystem::fail_write(const std::string& path, int call, int code) { state(path).write_errors[call] = code; }
void FaultFileSystem::refuse_write(const std::string& path, int call) { state(path).refused_writes.insert(call); }
void FaultFileSystem::fail_flush(const std::string& path, int code) { state(path).flush_error = code; }
void FaultFileSystem::fail_seek(const std::string& path, int code) { state(path).seek_error = code; }
void FaultFileSystem::fail_open(const std::string& path, OpenMode mode, int code, std::optional<int> times) {
  auto& st = state(path);
  st.open_errors[mode] = code;
  st.open_errors_left.erase(mode);
  if (times) st.open_errors_left[mode] = *times;
}
void FaultFileSystem::fail_replace(const std::string& path, int code) { state(path).replace_error = code; }
void FaultFileSystem::fail_volume_flush(const std::string& root, int code) { state(root).volume_flush_error = code; }
void FaultFileSystem::corrupt_read(const std::string& path, int open, uint64_t offset) {
  state(path).corruptions[open] = offset;
}
void FaultFileSystem::end_at(const std::string& path, uint64_t size) { state(path).end = size; }
void FaultFileSystem::raw_drive(const std::string& path, const std::string& backing, uint32_t sector_size,
                                uint64_t length) {
  auto& st = state(path);
  st.real_path = backing;
  st.raw_sector_size = sector_size;
  st.raw_length = length;
}
void FaultFileSystem::model_drive(const std::string& path, DriveModel* model) { state(path).model = model; }
void FaultFileSystem::counterfeit(const std::string& path, uint64_t real_size, Counterfeit flavour) {
  auto& st = state(path);
  st.real_size = real_size;
  st.flavour = flavour;
}
void FaultFileSystem::redirect(const std::string& alias, const std::string& real) { state(alias).real_path = real; }
void FaultFileSystem::set_device(const std::string& path, const PathDevice& device) { state(path).device = device; }
void FaultFileSystem::fail_device_query(const std::string& path, int code) { state(path).device_error = code; }

const FaultFileSystem::PathState* FaultFileSystem::find(const std::string& path) const {
  auto it = paths_.find(path);
  return it == paths_.end() ? nullptr : &it->second;
}
int FaultFileSystem::opens(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* st = find(path);
  return st ? st->opens : 0;
}
int FaultFileSystem::reads(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* st = find(path);
  return st ? st->reads : 0;
}
int FaultFileSystem::writes(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* st = find(path);
  return st ? st->writes : 0;
}

SysResult<FilePtr> FaultFileSystem::open(const std::string& path, OpenMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_.emplace_back(path, mode);
  if (on_open) on_open(path, mode);
  auto& st = state(path);
  if (auto left = st.open_errors_left.find(mode); left != st.open_errors_left.end() && left->second-- == 0) {
    st.open_errors.erase(mode);
    st.open_errors_left.erase(left);
  }
  if (auto it = st.open_errors.find(mode); it != st.open_errors.end()) {
    events_.push_back(std::string("refuse ") + open_mode_name(mode) + " " + path);
    return unexpected(SysError::from_os(it->second));
  }
  if (any_path.open_error) {
    events_.push_back(std::string("refuse ") + open_mode_name(mode) + " " + path);
    return unexpected(*any_path.open_error);
  }
  auto opened = inner_.open(st.real_path.value_or(path), mode);
  if (!opened) return opened;
  events_.push_back(std::string("open ") + open_mode_name(mode) + " " + path);
  int index = st.opens++;
  return FilePtr(std::make_unique<FaultFile>(*this, path, index, std::move(opened).value()));
}

SysStatus FaultFileSystem::metadata(const std::string& path) {
  const auto* st = find(path);
  return inner_.metadata(st && st->real_path ? *st->real_path : path);
}
SysResult<FileIdentity> FaultFileSystem::identity(const std::string& path) {
  const auto* st = find(path);
  return inner_.identity(st && st->real_path ? *st->real_path : path);
}
SysResult<PathDevice> FaultFileSystem::device_of(const std::string& path) {
  const auto* st = find(path);
  if (st && st->device_error) return unexpected(SysError::from_os(*st->device_error));
  if (st && st->device) return *st->device;
  // Drives are redirected to files, and no native device backs a Windows
  // device path here: answer those as Windows would.
  if ((st && st->real_path) || is_device_namespace(path)) return windows_device_path(path);
  return inner_.device_of(path);
}
SysStatus FaultFileSystem::replace(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("replace " + from + " " + to);
  const auto* st = find(to);
  if (st && st->replace_error) return unexpected(SysError::from_os(*st->replace_error));
  return inner_.replace(from, to);
}
SysStatus FaultFileSystem::flush_volume(const std::string& root) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("flush-volume " + root);
  const auto* st = find(root);
  if (st && st->volume_flush_error) return unexpected(SysError::from_os(*st->volume_flush_error));
  return inner_.flush_volume(root);
}
SysStatus FaultFileSystem::remove(const std::string& path) { return inner_.remove(path); }

}  // namespace dh::test
