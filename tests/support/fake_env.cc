#include "support/fake_env.h"

#include <algorithm>
#include <cstring>

namespace tsr::testing {
namespace {

class FakeFile final : public File {
 public:
  FakeFile(FakeEnv::Node& node, size_t size_limit, int size_error, size_t read_fail_offset, int read_error,
           bool writable)
      : node_(node),
        size_limit_(size_limit),
        size_error_(size_error),
        read_fail_offset_(read_fail_offset),
        read_error_(read_error),
        writable_(writable) {}

  Transfer read_at(int64_t offset, void* buffer, size_t size) override {
    Transfer t;
    if (node_.directory) {
      t.error = EISDIR;
      return t;
    }
    const size_t at = static_cast<size_t>(offset);
    const size_t file_end = node_.bytes.size();
    const size_t readable_end = std::min(file_end, read_fail_offset_);
    if (at < readable_end) t.bytes = std::min(size, readable_end - at);
    if (t.bytes > 0) std::memcpy(buffer, node_.bytes.data() + at, t.bytes);
    // A failing stretch of the disk: the read stops there with the error.
    if (read_fail_offset_ < file_end && at + size > read_fail_offset_) t.error = read_error_;
    return t;
  }

  Transfer write_at(int64_t offset, const void* buffer, size_t size) override {
    Transfer t;
    if (!writable_ || node_.directory) {
      t.error = EBADF;
      return t;
    }
    const size_t at = static_cast<size_t>(offset);
    const size_t room = at < size_limit_ ? size_limit_ - at : 0;
    t.bytes = std::min(size, room);
    if (t.bytes < size) t.error = size_error_;
    if (t.bytes > 0) {
      if (node_.bytes.size() < at + t.bytes) node_.bytes.resize(at + t.bytes, '\0');
      std::memcpy(node_.bytes.data() + at, buffer, t.bytes);
    }
    return t;
  }

  bool is_directory() override { return node_.directory; }
  int64_t size() override { return static_cast<int64_t>(node_.bytes.size()); }
  int close() override { return 0; }

 private:
  FakeEnv::Node& node_;
  size_t size_limit_;
  int size_error_;
  size_t read_fail_offset_;
  int read_error_;
  bool writable_;
};

}  // namespace

std::string FakeEnv::key(const std::string& name) const {
  const std::string prefix = directory_ + "/";
  return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

std::string FakeEnv::contents(const std::string& name) const {
  const auto it = nodes_.find(key(name));
  return it == nodes_.end() ? std::string() : it->second.bytes;
}

OpenResult FakeEnv::open(const std::string& name, OpenMode mode) {
  OpenResult r;
  const std::string k = key(name);
  const Faults faults = faults_.count(k) ? faults_.at(k) : Faults{};
  if (faults.refuse_open != 0) {
    r.error = faults.refuse_open;
    return r;
  }
  const bool write = mode == OpenMode::kReadWriteCreate;
  if (write && faults.refuse_write != 0) {
    r.error = faults.refuse_write;
    return r;
  }
  auto it = nodes_.find(k);
  if (it == nodes_.end()) {
    if (!write) {
      r.error = ENOENT;
      return r;
    }
    it = nodes_.emplace(k, Node{}).first;
  }
  r.file = std::make_unique<FakeFile>(it->second, faults.size_limit, faults.size_error, faults.read_fail_offset,
                                      faults.read_error, write);
  return r;
}

std::optional<std::string> FakeEnv::variable(const std::string& name) {
  const auto it = variables_.find(name);
  if (it == variables_.end()) return std::nullopt;
  return it->second;
}

int FakeEnv::pending_interrupt() {
  if (interrupt_text_ && console_.find(*interrupt_text_) != std::string::npos) return interrupt_signal_;
  return 0;
}

}  // namespace tsr::testing
