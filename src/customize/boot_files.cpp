#include "customize/boot_files.h"

#include <cstdint>

#include "base/text.h"
#include "customize/cmdline.h"
#include "platform/file.h"
#include "protocol/payload.h"

namespace dh {
namespace {

constexpr const char* kCmdlineName = "cmdline.txt";
constexpr const char* kNotUtf8Text = "stream did not contain valid UTF-8";

SysResult<std::string> read_whole_file(const std::string& path) {
  auto file = file_system().open(path, OpenMode::kSharedRead);
  DH_TRY(file);
  std::string text;
  uint8_t buf[16 * 1024];
  for (;;) {
    auto got = (*file)->read(buf, sizeof buf);
    DH_TRY(got);
    if (*got == 0) return text;
    text.append(reinterpret_cast<const char*>(buf), *got);
  }
}

SysStatus write_and_flush(File& file, std::string_view bytes) {
  auto wrote = write_all(file, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!wrote) return wrote;
  return file.flush();
}

}  // namespace

SysStatus write_boot_file(const std::string& path, std::string_view bytes) {
  auto file = file_system().open(path, OpenMode::kCreateTruncateWriteThrough);
  DH_TRY(file);
  return write_and_flush(**file, bytes);
}

SysStatus replace_boot_file(const std::string& path, std::string_view bytes) {
  // Beside the file, so the move stays within one volume and is a rename.
  const std::string temp = path + ".tmp";
  FileSystem& fs = file_system();
  // A temporary file left by an interrupted earlier run would make the
  // exclusive create below fail on every later run.
  (void)fs.remove(temp);
  SysStatus status = [&]() -> SysStatus {
    auto file = fs.open(temp, OpenMode::kCreateNewWriteThrough);
    DH_TRY(file);
    return write_and_flush(**file, bytes);
  }();
  // The temporary file is closed here: Windows moves or deletes an open file
  // only when every handle allows it, and a closed one always can be.
  if (status) status = fs.replace(temp, path);
  if (!status) (void)fs.remove(temp);
  return status;
}

Expected<std::vector<std::string>, HelperError> customize_boot_partition(const std::string& root,
                                                                         const nlohmann::json* files,
                                                                         const std::string& cmdline_append) {
  std::vector<std::string> written;
  if (files != nullptr) {
    for (const auto& element : *files) {
      auto path = payload_str(element, "path");
      if (!path) continue;
      auto status = write_boot_file(root + *path, payload_str(element, "contents").value_or(""));
      if (!status) return unexpected(HelperError{ErrorCode::kWriteFailed, *path + ": " + status.error().message});
      written.push_back(*path);
    }
  }
  if (cmdline_append.empty()) return written;

  const std::string cmdline_path = root + kCmdlineName;
  auto existing = read_whole_file(cmdline_path);
  if (existing && !is_valid_utf8(*existing)) existing = unexpected(SysError::fixed(kNotUtf8Text));
  if (!existing) {
    return unexpected(HelperError{ErrorCode::kWriteFailed,
                                  "cmdline.txt is missing on the boot partition: " + existing.error().message});
  }
  auto status = replace_boot_file(cmdline_path, merge_cmdline(*existing, cmdline_append));
  if (!status) return unexpected(HelperError{ErrorCode::kWriteFailed, "cmdline.txt: " + status.error().message});
  written.push_back(kCmdlineName);
  return written;
}

}  // namespace dh
