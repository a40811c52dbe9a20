#include "platform/file.h"

#include <algorithm>
#include <vector>

namespace dh {
namespace {

FileSystem* g_current = nullptr;

}  // namespace

FileSystem& file_system() { return g_current != nullptr ? *g_current : native_file_system(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& fs) : previous_(g_current) { g_current = &fs; }
ScopedFileSystem::~ScopedFileSystem() { g_current = previous_; }

SysResult<PathDevice> FileSystem::device_of(const std::string&) { return PathDevice{}; }

std::string extended_length_path(std::string_view full_path) {
  auto starts = [&](std::string_view prefix) { return full_path.substr(0, prefix.size()) == prefix; };
  if (starts("\\\\?\\") || starts("\\\\.\\")) return std::string(full_path);
  if (starts("\\\\")) return "\\\\?\\UNC\\" + std::string(full_path.substr(2));
  bool drive = full_path.size() >= 3 && full_path[1] == ':' && full_path[2] == '\\' &&
               ((full_path[0] >= 'A' && full_path[0] <= 'Z') || (full_path[0] >= 'a' && full_path[0] <= 'z'));
  if (drive) return "\\\\?\\" + std::string(full_path);
  return std::string(full_path);
}

FileKind File::kind() { return FileKind{}; }

SysResult<PathDevice> File::device() { return PathDevice{}; }

SysStatus File::refresh_layout() { return {}; }

bool same_device(const PathDevice& checked, const PathDevice& opened) {
  if (checked.is_device != opened.is_device || checked.number != opened.number) return false;
  return !checked.identity || !opened.identity || *checked.identity == *opened.identity;
}

uint32_t transfer_unit(const FileKind& kind) {
  if (!kind.device) return 1;
  uint32_t size = kind.sector_size;
  bool power_of_two = size != 0 && (size & (size - 1)) == 0;
  return power_of_two && size <= 64 * 1024 ? size : 512;
}

SysStatus read_exact(File& file, uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    auto got = file.read(buf + done, len - done);
    DH_TRY(got);
    if (*got == 0) return unexpected(SysError::fixed(kShortReadText));
    done += *got;
  }
  return {};
}

SysStatus write_all(File& file, const uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    auto wrote = file.write(buf + done, len - done);
    DH_TRY(wrote);
    if (*wrote == 0) return unexpected(SysError::fixed(kZeroWriteText));
    done += *wrote;
  }
  return {};
}

SysStatus write_zeros(File& file, uint64_t offset, uint64_t length) {
  static const std::vector<uint8_t> zeros(1024 * 1024, 0);
  DH_TRY(file.seek(offset));
  while (length > 0) {
    size_t part = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    DH_TRY(write_all(file, zeros.data(), part));
    length -= part;
  }
  return {};
}

SysError SysError::from_os(int code) { return SysError{code, os_error_text(code)}; }

}  // namespace dh
