#include "support/fake_env.h"

#include <algorithm>
#include <cstring>

namespace tsr::testing {
namespace {

// How a file opened on a node behaves.
struct FileFaults {
  size_t size_limit = SIZE_MAX;
  int size_error = ENOSPC;
  size_t read_fail_offset = SIZE_MAX;
  int read_error = EIO;
  int close_error = 0;
};

class FakeFile final : public File {
 public:
  FakeFile(std::shared_ptr<FakeEnv::Node> node, const FileFaults& faults, bool readable, bool writable)
      : node_(std::move(node)), faults_(faults), readable_(readable), writable_(writable) {}

  Transfer read_at(int64_t offset, void* buffer, size_t size) override {
    Transfer t;
    if (node_->directory || !readable_) {
      t.error = node_->directory ? EISDIR : EBADF;
      return t;
    }
    const size_t at = static_cast<size_t>(offset);
    const size_t file_end = node_->bytes.size();
    const size_t readable_end = std::min(file_end, faults_.read_fail_offset);
    if (at < readable_end) t.bytes = std::min(size, readable_end - at);
    if (t.bytes > 0) std::memcpy(buffer, node_->bytes.data() + at, t.bytes);
    // A failing stretch of the disk: the read stops there with the error.
    if (faults_.read_fail_offset < file_end && at + size > faults_.read_fail_offset) t.error = faults_.read_error;
    return t;
  }

  Transfer write_at(int64_t offset, const void* buffer, size_t size) override {
    Transfer t;
    if (!writable_ || node_->directory) {
      t.error = EBADF;
      return t;
    }
    const size_t at = static_cast<size_t>(offset);
    const size_t room = at < faults_.size_limit ? faults_.size_limit - at : 0;
    t.bytes = std::min(size, room);
    if (t.bytes < size) t.error = faults_.size_error;
    if (t.bytes > 0) {
      if (node_->bytes.size() < at + t.bytes) node_->bytes.resize(at + t.bytes, '\0');
      std::memcpy(node_->bytes.data() + at, buffer, t.bytes);
    }
    return t;
  }

  bool is_directory() override { return node_->directory; }
  int64_t size() override { return static_cast<int64_t>(node_->bytes.size()); }
  int close() override {
    if (closed_) return 0;
    closed_ = true;
    return faults_.close_error;
  }

 private:
  std::shared_ptr<FakeEnv::Node> node_;
  FileFaults faults_;
  bool readable_;
  bool writable_;
  bool closed_ = false;
};

bool is_below(const std::string& name, const std::string& k) {
  return k.empty() || (name.size() > k.size() && name.compare(0, k.size(), k) == 0 && name[k.size()] == '/');
}

}  // namespace

std::string FakeEnv::key(const std::string& name) const {
  std::string k = name;
  const std::string prefix = directory_ + "/";
  if (k == directory_) return "";
  if (k.rfind(prefix, 0) == 0) k = k.substr(prefix.size());
  while (k.rfind("./", 0) == 0) k.erase(0, 2);
  while (k.size() > 1 && k.back() == '/') k.pop_back();
  return k == "." ? "" : k;
}

void FakeEnv::put(const std::string& name, std::string bytes) {
  auto& node = nodes_[key(name)];
  if (node == nullptr) node = std::make_shared<Node>();
  node->bytes = std::move(bytes);
  node->directory = false;
}

void FakeEnv::make_directory(const std::string& name) {
  auto& node = nodes_[key(name)];
  if (node == nullptr) node = std::make_shared<Node>();
  node->directory = true;
}

bool FakeEnv::exists(const std::string& name) const {
  const std::string k = key(name);
  return nodes_.count(k) != 0 || has_children(k);
}

std::string FakeEnv::contents(const std::string& name) const {
  const auto it = nodes_.find(key(name));
  return it == nodes_.end() ? std::string() : it->second->bytes;
}

std::vector<std::string> FakeEnv::files() const {
  std::vector<std::string> names;
  for (const auto& [k, node] : nodes_) {
    if (!node->directory) names.push_back(k);
  }
  return names;
}

int FakeEnv::injected(Call call, const std::string& k) const {
  const auto f = faults_.find(k);
  if (f == faults_.end()) return 0;
  const auto c = f->second.calls.find(call);
  return c == f->second.calls.end() ? 0 : c->second;
}

bool FakeEnv::has_children(const std::string& k) const {
  for (auto it = nodes_.upper_bound(k); it != nodes_.end(); ++it) {
    if (is_below(it->first, k)) return true;
    if (!k.empty() && it->first.compare(0, k.size(), k) != 0) break;
  }
  return false;
}

bool FakeEnv::is_directory(const std::string& k) const {
  if (k.empty()) return true;
  const auto it = nodes_.find(k);
  if (it != nodes_.end()) return it->second->directory;
  return has_children(k);
}

OpenResult FakeEnv::open(const std::string& name, OpenMode mode) {
  OpenResult r;
  const std::string k = key(name);
  const Faults faults = faults_.count(k) ? faults_.at(k) : Faults{};
  if (faults.refuse_open != 0) {
    r.error = faults.refuse_open;
    return r;
  }
  const bool write = mode != OpenMode::kReadOnly;
  if (write && faults.refuse_write != 0) {
    r.error = faults.refuse_write;
    return r;
  }
  auto it = nodes_.find(k);
  if (it == nodes_.end() && is_directory(k)) {
    it = nodes_.emplace(k, std::make_shared<Node>(Node{{}, true})).first;
  }
  if (it == nodes_.end()) {
    if (!write) {
      r.error = ENOENT;
      return r;
    }
    const size_t slash = k.rfind('/');
    if (slash != std::string::npos && !is_directory(k.substr(0, slash))) {
      r.error = ENOENT;
      return r;
    }
    it = nodes_.emplace(k, std::make_shared<Node>()).first;
  }
  if (mode == OpenMode::kWriteTruncate) {
    if (it->second->directory) {
      r.error = EISDIR;
      return r;
    }
    it->second->bytes.clear();
  }
  const FileFaults file_faults{faults.size_limit, faults.size_error, faults.read_fail_offset, faults.read_error,
                               injected(Call::kClose, k)};
  r.file = std::make_unique<FakeFile>(it->second, file_faults, mode != OpenMode::kWriteTruncate, write);
  return r;
}

int FakeEnv::file_info(const std::string& name, FileInfo* info) {
  const std::string k = key(name);
  if (const int err = injected(Call::kFileInfo, k)) return err;
  if (is_directory(k)) {
    *info = {FileType::kDirectory, 0};
    return 0;
  }
  const auto it = nodes_.find(k);
  if (it == nodes_.end()) return ENOENT;
  *info = {FileType::kRegular, static_cast<int64_t>(it->second->bytes.size())};
  return 0;
}

int FakeEnv::create_directory(const std::string& name) {
  const std::string k = key(name);
  if (const int err = injected(Call::kCreateDirectory, k)) return err;
  if (nodes_.count(k) != 0 || is_directory(k)) return EEXIST;
  const size_t slash = k.rfind('/');
  if (slash != std::string::npos && !is_directory(k.substr(0, slash))) return ENOENT;
  make_directory(k);
  return 0;
}

int FakeEnv::rename_file(const std::string& from, const std::string& to) {
  const std::string f = key(from), t = key(to);
  if (const int err = injected(Call::kRename, f)) return err;
  const auto it = nodes_.find(f);
  if (it == nodes_.end() || it->second->directory) return it == nodes_.end() ? ENOENT : EISDIR;
  if (is_directory(t)) return EISDIR;
  const std::shared_ptr<Node> node = it->second;
  nodes_.erase(it);
  nodes_[t] = node;
  return 0;
}

int FakeEnv::remove_file(const std::string& name) {
  const std::string k = key(name);
  if (const int err = injected(Call::kRemove, k)) return err;
  if (is_directory(k)) return EISDIR;
  return nodes_.erase(k) == 1 ? 0 : ENOENT;
}

int FakeEnv::remove_directory(const std::string& name) {
  const std::string k = key(name);
  if (const int err = injected(Call::kRemove, k)) return err;
  if (!is_directory(k)) return nodes_.count(k) != 0 ? ENOTDIR : ENOENT;
  if (has_children(k)) return ENOTEMPTY;
  nodes_.erase(k);
  return 0;
}

int FakeEnv::list_directory(const std::string& name, std::vector<std::string>* names) {
  const std::string k = key(name);
  if (const int err = injected(Call::kList, k)) return err;
  if (!is_directory(k)) return nodes_.count(k) != 0 ? ENOTDIR : ENOENT;
  names->clear();
  for (const auto& [n, node] : nodes_) {
    if (!is_below(n, k)) continue;
    const std::string rest = k.empty() ? n : n.substr(k.size() + 1);
    const std::string first = rest.substr(0, rest.find('/'));
    names->push_back(first);
  }
  std::sort(names->begin(), names->end());
  names->erase(std::unique(names->begin(), names->end()), names->end());
  return 0;
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
