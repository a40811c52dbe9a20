#include "platform/block_devices_posix.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace dh {
namespace {

namespace fs = std::filesystem;

fs::path sysfs_dir(dev_t device) {
  return fs::path("/sys/dev/block") / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
}

std::optional<std::string> first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

// "MAJ:MIN" as sysfs writes it in a device's "dev" file.
std::optional<dev_t> read_dev(const fs::path& dir) {
  auto text = first_line(dir / "dev");
  if (!text) return std::nullopt;
  char* end = nullptr;
  unsigned long maj = std::strtoul(text->c_str(), &end, 10);
  if (end == text->c_str() || *end != ':') return std::nullopt;
  const char* minor_text = end + 1;
  unsigned long min = std::strtoul(minor_text, &end, 10);
  if (end == minor_text) return std::nullopt;
  return makedev(maj, min);
}

void collect(dev_t device, std::set<dev_t>& seen, std::vector<std::string>& paths, int depth) {
  if (depth > 16 || !seen.insert(device).second) return;
  std::error_code ec;
  fs::path dir = fs::canonical(sysfs_dir(device), ec);
  if (ec) return;
  paths.push_back("/dev/" + dir.filename().string());
  for (auto it = fs::directory_iterator(dir / "slaves", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code slave_ec;
    fs::path slave = fs::canonical(it->path(), slave_ec);
    if (slave_ec) continue;
    if (auto dev = read_dev(slave)) collect(*dev, seen, paths, depth + 1);
  }
}

// The block device named as the source of the mount at / (the last one, which
// hides any earlier), for file systems whose st_dev is no block device
// (btrfs answers an anonymous device number).
std::optional<dev_t> root_mount_source() {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  std::optional<dev_t> found;
  while (std::getline(in, line)) {
    // id parent maj:min root mount-point options... - type source super-options
    std::istringstream fields(line);
    std::string id, parent, devno, root, mount_point;
    if (!(fields >> id >> parent >> devno >> root >> mount_point) || mount_point != "/") continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source;
    if (!(tail >> type >> source)) continue;
    found.reset();
    struct stat st {};
    if (!source.empty() && source[0] == '/' && ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      found = st.st_rdev;
    }
  }
  return found;
}

}  // namespace

std::optional<BlockDisk> block_disk_of(dev_t device) {
  std::error_code ec;
  fs::path dir = fs::canonical(sysfs_dir(device), ec);
  if (ec) return std::nullopt;
  BlockDisk disk;
  fs::path disk_dir = dir;
  if (auto partition = first_line(dir / "partition")) {
    disk.partition = static_cast<uint32_t>(std::strtoul(partition->c_str(), nullptr, 10));
    disk_dir = dir.parent_path();
  }
  auto whole = read_dev(disk_dir);
  if (!whole) return std::nullopt;
  disk.number = (static_cast<uint32_t>(major(*whole)) << 20) | (static_cast<uint32_t>(minor(*whole)) & 0xFFFFF);
  disk.path = "/dev/" + disk_dir.filename().string();
  return disk;
}

std::vector<std::string> root_block_devices() {
  struct stat st {};
  if (::stat("/", &st) != 0) return {};
  std::optional<dev_t> root;
  std::error_code ec;
  if (fs::exists(sysfs_dir(st.st_dev), ec)) {
    root = st.st_dev;
  } else {
    root = root_mount_source();
  }
  std::vector<std::string> paths;
  if (!root) return paths;
  std::set<dev_t> seen;
  collect(*root, seen, paths, 0);
  return paths;
}

}  // namespace dh
