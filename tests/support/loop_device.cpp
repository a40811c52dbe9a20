#include "support/loop_device.h"

#include <filesystem>
#include <system_error>

#include "base/text.h"
#include "platform/process.h"

namespace dh::test {

LoopDevice::LoopDevice(uint64_t size) : backing_(dir_.file("backing.img")) {
  if (on_windows()) {
    why_not_ = "loop devices are a Linux facility";
    return;
  }
  write_file(backing_, "");
  std::error_code error;
  std::filesystem::resize_file(backing_, size, error);
  if (error) {
    why_not_ = "cannot make the backing file: " + error.message();
    return;
  }
  attach();
}

LoopDevice::LoopDevice(const std::string& backing) : backing_(backing) {
  if (on_windows()) {
    why_not_ = "loop devices are a Linux facility";
    return;
  }
  attach();
}

void LoopDevice::attach() {
  std::string program;
  if (auto found = find_program("losetup")) program = *found;
  for (const char* path : {"/usr/sbin/losetup", "/sbin/losetup"}) {
    if (program.empty() && file_exists(path)) program = path;
  }
  if (program.empty()) {
    why_not_ = "losetup is not installed";
    return;
  }
  auto run = run_process(program, {"-f", "--show", backing_});
  if (!run || run->exit_code != 0) {
    why_not_ = "losetup could not attach a loop device (needs root and the loop driver): " +
               (run ? std::string(trim_unicode(run->err)) : run.error().message);
    return;
  }
  program_ = program;
  path_ = std::string(trim_unicode(run->out));
}

LoopDevice::~LoopDevice() {
  if (!path_.empty()) (void)run_process(program_, {"-d", path_});
}

}  // namespace dh::test
