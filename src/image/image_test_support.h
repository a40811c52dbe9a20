// Test doubles of the image tests: a file system over the real one that
// records opens and reads and fails where a test tells it to.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace dh::test {

class FaultyFileSystem final : public FileSystem {
 public:
  // What was opened, in order, and the length every read asked for.
  std::vector<std::pair<std::string, OpenMode>> opens;
  std::vector<size_t> read_lengths;
  // Failures to inject.
  std::optional<SysError> open_error;
  std::optional<SysError> seek_error;
  uint64_t fail_reads_after = UINT64_MAX;   // bytes read by all files together
  uint64_t fail_writes_after = UINT64_MAX;  // bytes written by all files together
  std::optional<SysError> flush_error;
  SysError io_error{28, "No space left on device (os error 28)"};
  std::vector<std::string>* events = nullptr;  // "open <path>" and "close <path>"

  SysResult<FilePtr> open(const std::string& path, OpenMode mode) override {
    opens.emplace_back(path, mode);
    if (open_error) return unexpected(*open_error);
    auto inner = native_file_system().open(path, mode);
    if (!inner) return inner;
    if (events != nullptr) events->push_back("open " + path);
    return FilePtr(std::make_unique<FaultyFile>(*this, std::move(inner).value(), path));
  }
  SysStatus metadata(const std::string& path) override { return native_file_system().metadata(path); }
  SysResult<FileIdentity> identity(const std::string& path) override { return native_file_system().identity(path); }
  SysStatus replace(const std::string& from, const std::string& to) override {
    return native_file_system().replace(from, to);
  }
  SysStatus remove(const std::string& path) override { return native_file_system().remove(path); }

 private:
  class FaultyFile final : public File {
   public:
    FaultyFile(FaultyFileSystem& fs, FilePtr inner, std::string path)
        : fs_(fs), inner_(std::move(inner)), path_(std::move(path)) {}
    ~FaultyFile() override {
      if (fs_.events != nullptr) fs_.events->push_back("close " + path_);
    }
    SysResult<size_t> read(uint8_t* buf, size_t len) override {
      fs_.read_lengths.push_back(len);
      if (fs_.read_total_ >= fs_.fail_reads_after) return unexpected(fs_.io_error);
      auto got = inner_->read(buf, len);
      if (got) fs_.read_total_ += *got;
      return got;
    }
    SysResult<size_t> write(const uint8_t* buf, size_t len) override {
      if (fs_.written_total_ + len > fs_.fail_writes_after) return unexpected(fs_.io_error);
      auto wrote = inner_->write(buf, len);
      if (wrote) fs_.written_total_ += *wrote;
      return wrote;
    }
    SysStatus seek(uint64_t offset) override {
      if (fs_.seek_error) return unexpected(*fs_.seek_error);
      return inner_->seek(offset);
    }
    SysStatus flush() override {
      if (fs_.flush_error) return unexpected(*fs_.flush_error);
      return inner_->flush();
    }
    FileKind kind() override { return inner_->kind(); }

   private:
    FaultyFileSystem& fs_;
    FilePtr inner_;
    std::string path_;
  };

  uint64_t read_total_ = 0;
  uint64_t written_total_ = 0;
};

}  // namespace dh::test
