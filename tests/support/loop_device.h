// A Linux loop device, the real block device the tests can have without a
// card: attached for the lifetime of the object (needs root and the loop
// driver), detached after.
#pragma once

#include <cstdint>
#include <string>

#include "support/test_support.h"

namespace dh::test {

class LoopDevice {
 public:
  // Over a sparse file of `size` bytes of its own.
  explicit LoopDevice(uint64_t size);
  // Over the existing file `backing`.
  explicit LoopDevice(const std::string& backing);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // /dev/loopN; empty when none could be attached, and why_not() says why.
  const std::string& path() const { return path_; }
  const std::string& why_not() const { return why_not_; }
  // The file behind the device: writing to it changes what the medium holds
  // without passing through the device.
  const std::string& backing() const { return backing_; }

 private:
  void attach();

  TempDir dir_;
  std::string backing_;
  std::string program_;
  std::string path_;
  std::string why_not_;
};

}  // namespace dh::test
