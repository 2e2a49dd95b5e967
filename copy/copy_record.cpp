#include "copy/copy_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace qelrestore::posix {
namespace {

constexpr char kMagic[8] = {'q', 'e', 'l', 'r', 'e', 'c', '1', '\n'};
constexpr size_t kHeaderBytes = 24;  // the magic, the count of entries, their check sum
// No folder holds more files than this; a larger count is a damaged record.
constexpr uint64_t kMaxEntries = uint64_t{1} << 26;
constexpr const char kTemporarySuffix[] = ".new";

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

uint64_t Fnv(const void* data, size_t size, uint64_t hash = kFnvOffset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

std::string KeyOf(NodeId id) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRIx64 "-%" PRIx64, static_cast<uint64_t>(id.device),
                static_cast<uint64_t>(id.inode));
  return text;
}

// The whole content of the open file `fd`, at most `limit` bytes; false when it is longer or
// cannot be read.
bool ReadAll(int fd, std::vector<unsigned char>& bytes, size_t limit) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<uint64_t>(info.st_size) > limit) {
    return false;
  }
  bytes.resize(static_cast<size_t>(info.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A folder of records the run may trust: its own, open to nobody else.
bool Private(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 077) == 0;
}

UniqueFd OpenPrivateFolder(int at, const char* name) {
  if (::mkdirat(at, name, 0700) != 0 && errno != EEXIST) return UniqueFd();
  UniqueFd folder(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return folder.valid() && Private(folder.get()) ? std::move(folder) : UniqueFd();
}

}  // namespace

FolderRecord::FolderRecord(int records, const struct stat& folder)
    : records_(records), fileName_(KeyOf(IdOf(folder))) {
  if (records_ < 0) return;
  const UniqueFd in(::openat(records_, fileName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<unsigned char> bytes;
  if (!in.valid() || !ReadAll(in.get(), bytes, kHeaderBytes + kMaxEntries * sizeof(Entry)) ||
      bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return;
  }
  uint64_t count = 0;
  uint64_t check = 0;
  std::memcpy(&count, bytes.data() + 8, 8);
  std::memcpy(&check, bytes.data() + 16, 8);
  if (count > kMaxEntries || bytes.size() != kHeaderBytes + count * sizeof(Entry) ||
      Fnv(bytes.data() + kHeaderBytes, bytes.size() - kHeaderBytes, Fnv(&count, 8)) != check) {
    return;
  }
  earlier_.resize(static_cast<size_t>(count));
  std::memcpy(earlier_.data(), bytes.data() + kHeaderBytes, bytes.size() - kHeaderBytes);
  const auto byName = [](const Entry& a, const Entry& b) { return a.name < b.name; };
  if (!std::is_sorted(earlier_.begin(), earlier_.end(), byName)) earlier_.clear();
}

FolderRecord::Side FolderRecord::SideOf(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
          static_cast<uint64_t>(info.st_size), Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

uint64_t FolderRecord::HashOf(std::string_view bytes) {
  return Fnv(bytes.data(), bytes.size());
}

bool FolderRecord::Proves(std::string_view name, const struct stat& backup,
                          const struct stat& copy) const {
  const Entry wanted{HashOf(name), SideOf(backup), SideOf(copy)};
  auto at = std::lower_bound(earlier_.begin(), earlier_.end(), wanted,
                             [](const Entry& a, const Entry& b) { return a.name < b.name; });
  for (; at != earlier_.end() && at->name == wanted.name; ++at) {
    if (*at == wanted) return true;
  }
  return false;
}

void FolderRecord::Note(std::string_view name, const struct stat& backup, const struct stat& copy) {
  const Entry entry{HashOf(name), SideOf(backup), SideOf(copy)};
  const std::lock_guard<std::mutex> lock(noteLock_);
  noted_.push_back(entry);
}

void FolderRecord::Save() {
  if (records_ < 0) return;
  const std::lock_guard<std::mutex> lock(noteLock_);
  std::sort(noted_.begin(), noted_.end(), [](const Entry& a, const Entry& b) {
    return a.name != b.name ? a.name < b.name : std::memcmp(&a, &b, sizeof a) < 0;
  });
  if (noted_ == earlier_) return;
  const std::string temporary = fileName_ + kTemporarySuffix;
  if (noted_.empty()) {
    ::unlinkat(records_, fileName_.c_str(), 0);
    return;
  }
  UniqueFd out(::openat(records_, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  const uint64_t count = noted_.size();
  const size_t size = noted_.size() * sizeof(Entry);
  const uint64_t check = Fnv(noted_.data(), size, Fnv(&count, 8));
  unsigned char header[kHeaderBytes];
  std::memcpy(header, kMagic, sizeof kMagic);
  std::memcpy(header + 8, &count, 8);
  std::memcpy(header + 16, &check, 8);
  const bool written = out.valid() && WriteAll(out.get(), header, sizeof header) &&
                       WriteAll(out.get(), noted_.data(), size) && out.reset() == 0;
  if (!written || ::renameat(records_, temporary.c_str(), records_, fileName_.c_str()) != 0) {
    ::unlinkat(records_, temporary.c_str(), 0);
    // The earlier record would no longer tell the truth of the files this run replaced.
    ::unlinkat(records_, fileName_.c_str(), 0);
  }
}

UniqueFd OpenRecords(const std::string& recordRoot, const struct stat& destination) {
  if (recordRoot.empty() || recordRoot.find('\0') != std::string::npos) return UniqueFd();
  if (::mkdir(recordRoot.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
  UniqueFd root(::open(recordRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid() || !Private(root.get())) return UniqueFd();
  return OpenPrivateFolder(root.get(), KeyOf(IdOf(destination)).c_str());
}

void DropOtherRecords(int records, const std::vector<NodeId>& kept) {
  if (records < 0) return;
  const int listed = ::dup(records);
  if (listed < 0) return;
  DIR* dir = ::fdopendir(listed);
  if (dir == nullptr) {
    ::close(listed);
    return;
  }
  std::vector<std::string> keep;
  keep.reserve(kept.size());
  for (const NodeId& id : kept) keep.push_back(KeyOf(id));
  std::sort(keep.begin(), keep.end());
  std::vector<std::string> drop;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!std::binary_search(keep.begin(), keep.end(), name)) drop.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : drop) ::unlinkat(records, name.c_str(), 0);
}

}  // namespace qelrestore::posix
