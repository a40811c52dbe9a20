#include "support/write_property.h"

#include <lzma.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "decode/sha256.h"
#include "platform/volumes.h"
#include "progress/progress.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "write/write_image.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace dh::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kDrive = "\\\\.\\PhysicalDrive3";
constexpr int kIoError = 5;  // EIO; on Windows ERROR_ACCESS_DENIED, a failure all the same

std::string sha256_of(const std::string& bytes, size_t length) {
  Sha256 sha;
  sha.update(reinterpret_cast<const uint8_t*>(bytes.data()), std::min(length, bytes.size()));
  return sha.finish_hex();
}

std::string xz_one_block(const std::string& plain) {
  std::string out(plain.size() + plain.size() / 2 + 4096, '\0');
  size_t pos = 0;
  if (lzma_easy_buffer_encode(0, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(plain.data()),
                              plain.size(), reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()) != LZMA_OK) {
    std::abort();
  }
  out.resize(pos);
  return out;
}

// As `xz -T` writes them: 256 KiB blocks whose headers give both sizes.
std::string xz_blocks(const std::string& plain) {
  lzma_mt mt{};
  mt.threads = 1;
  mt.block_size = 256 * 1024;
  mt.preset = 0;
  mt.check = LZMA_CHECK_CRC64;
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_stream_encoder_mt(&strm, &mt) != LZMA_OK) std::abort();
  std::string out(plain.size() + plain.size() / 2 + 65536, '\0');
  strm.next_in = reinterpret_cast<const uint8_t*>(plain.data());
  strm.avail_in = plain.size();
  strm.next_out = reinterpret_cast<uint8_t*>(out.data());
  strm.avail_out = out.size();
  lzma_ret ret = LZMA_OK;
  while (ret == LZMA_OK) ret = lzma_code(&strm, LZMA_FINISH);
  if (ret != LZMA_STREAM_END) std::abort();
  out.resize(out.size() - strm.avail_out);
  lzma_end(&strm);
  return out;
}

const std::string& encoded(WriteScenario::Image image) {
  static const std::string one = xz_one_block(property_image());
  static const std::string blocks = xz_blocks(property_image());
  switch (image) {
    case WriteScenario::Image::kXzOneBlock: return one;
    case WriteScenario::Image::kXzBlocks: return blocks;
    case WriteScenario::Image::kPlain: break;
  }
  return property_image();
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_all_to(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string utf8(const fs::path& p) {
  auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

// A folder of its own in memory where the system has one (the runs write a
// few MiB each), removed with what it holds.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
#ifdef _WIN32
    const auto pid = GetCurrentProcessId();
#else
    const auto pid = getpid();
#endif
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path_ = base / ("disk-helper-property-" + std::to_string(pid) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  fs::path file(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

}  // namespace

const std::string& property_image() {
  // Runs of text-like bytes, which LZMA2 compresses (a flipped byte there
  // usually breaks decoding at once), between runs of random bytes, which it
  // stores as they are (a flipped byte there shows only in the block's check
  // at its end, as in a real image's compressed file systems). Whole MiB, as
  // Raspberry Pi OS images are; bytesTotal gives the odd sizes.
  static const std::string image = [] {
    std::string bytes(3 * 1024 * 1024, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < bytes.size(); ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      const bool text = (i / (192 * 1024)) % 2 == 0;
      bytes[i] = static_cast<char>(text ? "etaoin shrdlu\n0123"[(x >> 59) % 18] : (x >> 56));
    }
    return bytes;
  }();
  return image;
}

std::string image_file_bytes(const WriteScenario& s) {
  std::string bytes = encoded(s.image);
  for (uint64_t at : s.damage) bytes[at % bytes.size()] = static_cast<char>(bytes[at % bytes.size()] ^ 0x01);
  return bytes;
}

std::string describe(const WriteScenario& s) {
  std::ostringstream d;
  const char* images[] = {"plain", "xz one block", "xz blocks"};
  d << images[static_cast<int>(s.image)] << ", damage {";
  for (uint64_t at : s.damage) d << " " << at % encoded(s.image).size();
  d << " }, decompress " << (s.decompress ? "\"" + *s.decompress + "\"" : "absent") << ", bytesTotal "
    << (s.bytes_total ? std::to_string(*s.bytes_total) : "absent") << (s.skip_readback ? ", skipReadback" : "")
    << ", drive " << s.device_length << " bytes in " << s.sector_size << "-byte sectors, image read fault "
    << s.fail_image_read << ", target write fault " << s.fail_target_write << (s.fail_flush ? ", flush fault" : "");
  return d.str();
}

std::optional<std::string> check_write_property(const WriteScenario& s) {
  ScratchDir dir;
  const std::string file_bytes = image_file_bytes(s);
  const std::string image = utf8(dir.file("image"));
  const std::string backing = utf8(dir.file("drive"));
  write_all_to(dir.file("image"), file_bytes);
  // A used card: whatever the write leaves of it must be told apart.
  write_all_to(dir.file("drive"), std::string(static_cast<size_t>(s.device_length), '\xA5'));

  FaultFileSystem files;
  files.raw_drive(kDrive, backing, s.sector_size, s.device_length);
  if (s.fail_image_read >= 0) files.fail_read(image, s.fail_image_read, kIoError);
  if (s.fail_target_write >= 0) files.fail_write(kDrive, s.fail_target_write, kIoError);
  if (s.fail_flush) files.fail_flush(kDrive, kIoError);
  FakeVolumes volumes;
  json payload = {{"imagePath", image}, {"osDevicePath", kDrive}, {"taskId", "p"}};
  if (s.decompress) payload["decompress"] = *s.decompress;
  if (s.bytes_total) payload["bytesTotal"] = *s.bytes_total;
  if (s.skip_readback) payload["skipReadback"] = true;

  HandlerResult result = unexpected(HelperError{});
  {
    ScopedFileSystem scoped_files(files);
    ScopedVolumeSystem scoped_volumes(volumes);
    ScopedProgressCapture quiet;
    FakeClock clock;
    result = write_image(WindowsHelperRequest{"t", "s", "write_image", payload}, clock);
  }
  if (files.open_handles() != 0) return "a handle was left open";
  if (!result) return std::nullopt;  // a failure is always allowed to be a failure

  const json& answer = *result;
  const std::string& expected = s.decompress == "xz" ? property_image() : file_bytes;
  std::string target = read_all(dir.file("drive"));
  target.resize(static_cast<size_t>(s.device_length), '\0');  // a raw drive reads zeros past its backing
  const uint64_t written = answer.value("bytesWritten", UINT64_MAX);
  const uint64_t wanted = std::min<uint64_t>(s.bytes_total.value_or(UINT64_MAX), expected.size());
  if (written != wanted) return "bytesWritten " + std::to_string(written) + ", " + std::to_string(wanted) + " wanted";
  if (target.compare(0, written, expected, 0, written) != 0) {
    return "answered ok, but the target's first " + std::to_string(written) + " bytes are not the image's";
  }
  if (answer.value("sourceSha256", "") != sha256_of(expected, written)) return "sourceSha256 is not the image's";
  if (answer.contains("observedSha256")) {
    const uint64_t verified = answer.value("verifiedBytes", UINT64_MAX);
    if (verified > target.size() || answer["observedSha256"] != sha256_of(target, verified)) {
      return "observedSha256 is not the digest of what the target holds";
    }
  } else if (!s.skip_readback) {
    return "no readback although it was asked for";
  }
  return std::nullopt;
}

}  // namespace dh::test
