#include "host/posix/reg_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "host/posix/posix_text.h"
#include "host/posix/reg_file_text.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore::posix {
namespace {

using regfile::RestIsComment;

constexpr std::array<std::wstring_view, 5> kLongRoots = {L"hkey_classes_root", L"hkey_current_user",
                                                         L"hkey_local_machine", L"hkey_users",
                                                         L"hkey_current_config"};
constexpr std::array<std::wstring_view, 5> kShortRoots = {L"hkcr", L"hkcu", L"hklm", L"hku",
                                                          L"hkcc"};

constexpr std::wstring_view kHeader5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeader4 = L"REGEDIT4";

// The first byte of each arena record. 0 marks the unused tail of a block.
constexpr unsigned char kSection = 1;       // path of a key line, its values follow
constexpr unsigned char kDeletion = 2;      // path of a "[-key]" line
constexpr unsigned char kStoredPath = 3;    // path of a key kept by the deletion of its child
constexpr unsigned char kFirstType = 4;     // a value of type (kind - kFirstType)
constexpr unsigned char kRemoval = 10;      // "name"=-
constexpr unsigned char kMalformed = 0x80;  // | the reason's index; the line replaces the data
constexpr uint32_t kNoRank = std::numeric_limits<uint32_t>::max();

// A path as the store keeps it: the root's index as one digit, then the rest folded and encoded
// as UTF-8, without trailing backslashes. Empty for an unknown root; short root names are the
// file's spelling only.
std::string CanonicalPath(std::wstring_view path, bool shortRoots) {
  while (path.ends_with(L'\\')) path.remove_suffix(1);
  const size_t slash = std::min(path.find(L'\\'), path.size());
  const std::wstring root = ToLowerAscii(path.substr(0, slash));
  for (size_t index = 0; index < kLongRoots.size(); ++index) {
    if (root == kLongRoots[index] || (shortRoots && root == kShortRoots[index])) {
      return static_cast<char>('0' + index) + EncodeUtf8(ToLowerAscii(path.substr(slash)));
    }
  }
  return {};
}

// Paths order bytewise with the backslash first, so that a key's subtree directly follows it.
int TreeRank(char ch) {
  return ch == '\\' ? -1 : static_cast<unsigned char>(ch);
}

bool TreeLess(std::string_view left, std::string_view right) {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return TreeRank(a) < TreeRank(b); });
}

// True when `path` is `key` or lies below it.
bool IsWithin(std::string_view path, std::string_view key) {
  return path.starts_with(key) && (path.size() == key.size() || path[key.size()] == '\\');
}

unsigned char FoldByte(char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// Orders UTF-8 names as their ASCII-folded forms order, without making those forms.
bool FoldedLess(std::string_view left, std::string_view right) {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return FoldByte(a) < FoldByte(b); });
}

std::string Varint(uint64_t number) {
  std::string bytes;
  for (; number >= 0x80; number >>= 7) bytes += static_cast<char>((number & 0x7F) | 0x80);
  bytes += static_cast<char>(number);
  return bytes;
}

uint64_t ReadVarint(const char*& at) {
  uint64_t number = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    number |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return number;
  }
}

// A value record read back: its kind, name and either its data or its malformed line.
struct ValueRecord {
  unsigned char kind;
  std::string_view name;
  std::string_view data;
  uint64_t line = 0;
  const char* end;
};

ValueRecord ReadValue(const char* at) {
  ValueRecord record{static_cast<unsigned char>(*at++), {}, {}, 0, nullptr};
  const size_t nameSize = ReadVarint(at);
  record.name = std::string_view(at, nameSize);
  at += nameSize;
  const uint64_t number = ReadVarint(at);
  if ((record.kind & kMalformed) != 0) {
    record.line = number;
  } else {
    record.data = std::string_view(at, number);
    at += number;
  }
  record.end = at;
  return record;
}

}  // namespace

uint32_t RegistryStore::Arena::Add(std::initializer_list<std::string_view> parts) {
  uint64_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  // One byte always stays free after a record, for the mark that a block ends there.
  if (used_ + size + 1 > limit_) {
    if (used_ < limit_) *At(static_cast<uint32_t>(used_)) = 0;
    const uint64_t slots = (size + 1 + kBlockMask) >> kBlockBits;
    used_ = limit_;
    limit_ += slots << kBlockBits;
    if (limit_ > (uint64_t{1} << 32)) throw std::length_error("registry file too big");
    blocks_.emplace_back(new char[slots << kBlockBits]);
    for (uint64_t slot = 0; slot < slots; ++slot) {
      slots_.push_back(blocks_.back().get() + (slot << kBlockBits));
    }
  }
  const auto offset = static_cast<uint32_t>(used_);
  char* to = At(offset);
  for (const std::string_view part : parts) {
    if (!part.empty()) std::memcpy(to, part.data(), part.size());
    to += part.size();
  }
  used_ += size;
  return offset;
}

uint32_t RegistryStore::Arena::Next(uint32_t end) const {
  if (end >= used_ || *At(end) != 0) return end;
  return static_cast<uint32_t>((uint64_t{end >> kBlockBits} + 1) << kBlockBits);
}

std::string_view RegistryStore::PathAt(uint32_t offset) const {
  const char* at = arena_.At(offset) + 5;  // kind, rank
  const size_t size = ReadVarint(at);
  return {at, size};
}

StoredValue RegistryStore::ValueAt(uint32_t offset) const {
  const ValueRecord record = ReadValue(arena_.At(offset));
  StoredValue value;
  value.name = record.name;
  if ((record.kind & kMalformed) != 0) {
    value.malformedLine = record.line;
    value.malformedReason = reasons_[record.kind & 0x7Fu];
  } else {
    value.type = static_cast<RegistryType>(record.kind - kFirstType);
    value.data = record.data;
  }
  return value;
}

class RegFileParser {
 public:
  RegFileParser(std::string_view bytes, std::wstring_view fileName)
      : lines_(bytes), fileName_(fileName) {}

  RegistryStore Run() {
    ReadHeader();
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = regfile::Trim(line);
      if (text.starts_with(L'[')) {
        KeyLine(text);
      } else if (inKey_ && (text.starts_with(L'"') || text.starts_with(L'@'))) {
        ValueLine(text);
      }
      // Anything else (blank, a ';' or '#' comment, stray text, a value outside any key) is
      // skipped, as the registry editor skips it.
    }
    SettleKeys();
    SettleValues();
    return std::move(store_);
  }

 private:
  [[noreturn]] void Fail(std::wstring_view reason) const {
    throw Error(code::kPathFileAccess,
                MalformedFileMessage(fileName_, std::max<size_t>(lines_.number(), 1), reason));
  }

  void ReadHeader() {
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = regfile::Trim(line);
      if (text.empty()) continue;
      if (text == kHeader5) {
        wideText_ = true;
        return;
      }
      if (text == kHeader4) return;
      Fail(L"not a registry file header");
    }
    Fail(L"no registry file header");
  }

  uint32_t AddPath(unsigned char kind, std::string_view path) {
    // The rank stays kNoRank for a key line that a later deletion takes.
    char head[5] = {static_cast<char>(kind)};
    std::memcpy(head + 1, &kNoRank, sizeof kNoRank);
    return store_.arena_.Add({std::string_view(head, 5), Varint(path.size()), path});
  }

  // "[HKEY_LOCAL_MACHINE\A\B]" makes A\B the key of the values that follow; "[-...]" deletes the
  // key with everything below it. A key line that cannot be read leaves its values nowhere. Lines
  // are only recorded here: which keys survive is settled once the whole file is read.
  void KeyLine(std::wstring_view text) {
    inKey_ = false;
    if (!text.ends_with(L']')) {
      // "[...] ; comment": the first ']' that only a comment follows closes the key.
      size_t close = text.find(L']');
      while (close != std::wstring_view::npos && !RestIsComment(text, close + 1)) {
        close = text.find(L']', close + 1);
      }
      if (close == std::wstring_view::npos) return;
      text = text.substr(0, close + 1);
    }
    std::wstring_view path = text.substr(1, text.size() - 2);
    const bool remove = path.starts_with(L'-');
    if (remove) path.remove_prefix(1);
    const std::string canonical = CanonicalPath(path, true);
    if (canonical.empty()) return;
    AddPath(remove ? kDeletion : kSection, canonical);
    inKey_ = !remove;
  }

  // A value line that cannot be read is kept as malformed under its name, so that asking for
  // that value fails with the line; one without a readable name is skipped.
  void ValueLine(std::wstring_view text) {
    size_t pos = 1;
    std::wstring wideName;
    if (text[0] == L'"') {
      pos = 0;
      if (!regfile::ReadQuoted(text, pos, wideName)) return;
    }
    const std::string name = EncodeUtf8(wideName);
    try {
      pos = regfile::SkipBlanks(text, pos);
      if (pos == text.size() || text[pos] != L'=') {
        throw regfile::BadValue{L"expected '=' after the value name"};
      }
      const regfile::ValueData data = regfile::ReadValueData(
          text.substr(regfile::SkipBlanks(text, pos + 1)), wideText_, lines_);
      const char kind = static_cast<char>(
          data.removes ? kRemoval : kFirstType + static_cast<unsigned char>(data.type));
      store_.arena_.Add({std::string_view(&kind, 1), Varint(name.size()), name,
                         Varint(data.data.size()), data.data});
    } catch (const regfile::BadValue& bad) {
      const char kind = static_cast<char>(kMalformed | ReasonIndex(bad.reason));
      store_.arena_.Add(
          {std::string_view(&kind, 1), Varint(name.size()), name, Varint(lines_.number())});
    }
  }

  unsigned char ReasonIndex(std::wstring_view reason) {
    std::vector<std::wstring_view>& reasons = store_.reasons_;
    const auto known = std::find(reasons.begin(), reasons.end(), reason);
    if (known == reasons.end()) reasons.push_back(reason);
    return static_cast<unsigned char>(std::find(reasons.begin(), reasons.end(), reason) -
                                      reasons.begin());
  }

  unsigned char KindAt(uint32_t offset) const {
    return static_cast<unsigned char>(*store_.arena_.At(offset));
  }
  std::string_view PathAt(uint32_t offset) const { return store_.PathAt(offset); }
  uint32_t RecordEnd(uint32_t offset) const {
    const std::string_view path = PathAt(offset);
    const char* start = store_.arena_.At(offset);
    return offset + static_cast<uint32_t>(path.data() + path.size() - start);
  }

  void SettleKeys();
  void SettleValues();

  regfile::LineReader lines_;
  std::wstring_view fileName_;
  RegistryStore store_;
  bool inKey_ = false;
  bool wideText_ = false;
};

// Decides which keys the file leaves, as if its key lines were applied in order: a key line
// creates a key, "[-key]" deletes it with its subtree (values included), and a deletion that
// removed something keeps the parent. Arena offsets grow in file order, so they order lines in
// time. In tree order a key's subtree follows it, so one pass with a stack of the deletions
// above the current path finds, for each key line, the first later deletion that removes it.
void RegFileParser::SettleKeys() {
  RegistryStore::Arena& arena = store_.arena_;
  std::vector<uint32_t> lines;
  for (uint32_t at = 0; at < arena.used();) {
    const unsigned char kind = KindAt(at);
    if (kind == kSection || kind == kDeletion) {
      lines.push_back(at);
      at = arena.Next(RecordEnd(at));
    } else {
      at = arena.Next(static_cast<uint32_t>(ReadValue(arena.At(at)).end - arena.At(at)) + at);
    }
  }
  // By path; a path's deletions first, each kind in file order.
  std::sort(lines.begin(), lines.end(), [this](uint32_t left, uint32_t right) {
    const std::string_view a = PathAt(left);
    const std::string_view b = PathAt(right);
    if (a != b) return TreeLess(a, b);
    if (KindAt(left) != KindAt(right)) return KindAt(left) == kDeletion;
    return left < right;
  });

  struct Deletions {
    std::string_view path;
    size_t first, last;  // in `lines`
  };
  std::vector<Deletions> above;
  std::vector<bool> removedSomething(lines.size());
  std::vector<uint32_t> survivors;  // key lines that survive, in tree order
  std::vector<uint32_t> keptParents;
  // The first deletion after `time` among `above[0, depth)`, as an index into `lines`.
  const auto firstDeletionAfter = [&](uint32_t time, size_t depth) {
    std::optional<size_t> first;
    for (size_t level = 0; level < depth; ++level) {
      const auto begin = lines.begin() + static_cast<std::ptrdiff_t>(above[level].first);
      const auto end = lines.begin() + static_cast<std::ptrdiff_t>(above[level].last);
      const auto later = std::upper_bound(begin, end, time);
      if (later != end && (!first || *later < lines[*first])) {
        first = static_cast<size_t>(later - lines.begin());
      }
    }
    return first;
  };
  // Leaving a deleted key's subtree: each of its deletions that removed something recreated the
  // parent, which lives on unless a later deletion above takes it.
  const auto leave = [&] {
    const Deletions done = above.back();
    above.pop_back();
    const size_t slash = done.path.rfind('\\');
    if (slash == std::string_view::npos) return;
    for (size_t at = done.first; at < done.last; ++at) {
      if (!removedSomething[at]) continue;
      const std::optional<size_t> taker = firstDeletionAfter(lines[at], above.size());
      if (!taker) {
        keptParents.push_back(AddPath(kStoredPath, done.path.substr(0, slash)));
        return;
      }
      removedSomething[*taker] = true;
    }
  };
  for (size_t at = 0; at < lines.size(); ++at) {
    const std::string_view path = PathAt(lines[at]);
    while (!above.empty() && !IsWithin(path, above.back().path)) leave();
    if (KindAt(lines[at]) == kDeletion) {
      size_t last = at + 1;
      while (last < lines.size() && KindAt(lines[last]) == kDeletion &&
             PathAt(lines[last]) == path) {
        ++last;
      }
      above.push_back({path, at, last});
      at = last - 1;
    } else if (const std::optional<size_t> taker = firstDeletionAfter(lines[at], above.size())) {
      removedSomething[*taker] = true;
    } else {
      survivors.push_back(lines[at]);
    }
  }
  while (!above.empty()) leave();
  lines = {};

  std::vector<RegistryStore::Key>& keys = store_.keys_;
  for (size_t at = 0; at < survivors.size(); ++at) {
    if (at == 0 || PathAt(survivors[at]) != PathAt(survivors[at - 1])) {
      keys.push_back({survivors[at], 0});
    }
  }
  if (!keptParents.empty()) {
    for (const uint32_t parent : keptParents) keys.push_back({parent, 0});
    const auto byPath = [this](const RegistryStore::Key& left, const RegistryStore::Key& right) {
      return TreeLess(PathAt(left.path), PathAt(right.path));
    };
    std::stable_sort(keys.begin(), keys.end(), byPath);
    keys.erase(std::unique(keys.begin(), keys.end(),
                           [this](const RegistryStore::Key& left, const RegistryStore::Key& right) {
                             return PathAt(left.path) == PathAt(right.path);
                           }),
               keys.end());
  }
  keys.shrink_to_fit();
  // Each surviving key line learns its key's rank, for SettleValues.
  for (const uint32_t line : survivors) {
    const uint32_t rank = static_cast<uint32_t>(store_.FindKey(PathAt(line)) - keys.data());
    std::memcpy(arena.At(line) + 1, &rank, sizeof rank);
  }
}

// Gathers the values of the surviving key lines under their keys; for each name the last line
// wins, and a name whose last line removes it is dropped.
void RegFileParser::SettleValues() {
  RegistryStore::Arena& arena = store_.arena_;
  std::vector<RegistryStore::Key>& keys = store_.keys_;
  std::vector<uint32_t>& values = store_.values_;
  // Two passes over the arena: count each key's values, then place them.
  for (int pass = 0; pass < 2; ++pass) {
    uint32_t rank = kNoRank;
    for (uint32_t at = 0; at < arena.used();) {
      const unsigned char kind = KindAt(at);
      if (kind == kSection || kind == kDeletion || kind == kStoredPath) {
        rank = kNoRank;
        if (kind == kSection) std::memcpy(&rank, arena.At(at) + 1, sizeof rank);
        at = arena.Next(RecordEnd(at));
        continue;
      }
      if (rank != kNoRank) {
        // The first pass counts into firstValue; the second fills each key's slice from its end.
        if (pass == 0) {
          ++keys[rank].firstValue;
        } else {
          values[--keys[rank].firstValue] = at;
        }
      }
      at = arena.Next(static_cast<uint32_t>(ReadValue(arena.At(at)).end - arena.At(at)) + at);
    }
    if (pass == 0) {
      uint32_t total = 0;
      for (RegistryStore::Key& key : keys) total = key.firstValue += total;
      values.resize(total);
    }
  }
  const auto nameOf = [&arena](uint32_t offset) { return ReadValue(arena.At(offset)).name; };
  size_t kept = 0;
  for (size_t rank = 0; rank < keys.size(); ++rank) {
    const size_t first = keys[rank].firstValue;
    const size_t last = rank + 1 < keys.size() ? keys[rank + 1].firstValue : values.size();
    const auto begin = values.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = values.begin() + static_cast<std::ptrdiff_t>(last);
    std::sort(begin, end, [&nameOf](uint32_t left, uint32_t right) {
      const std::string_view a = nameOf(left);
      const std::string_view b = nameOf(right);
      if (FoldedLess(a, b)) return true;
      return !FoldedLess(b, a) && left < right;
    });
    keys[rank].firstValue = static_cast<uint32_t>(kept);
    for (size_t at = first; at < last; ++at) {
      const bool lastForName =
          at + 1 == last || FoldedLess(nameOf(values[at]), nameOf(values[at + 1]));
      if (lastForName && KindAt(values[at]) != kRemoval) values[kept++] = values[at];
    }
  }
  values.resize(kept);
  values.shrink_to_fit();
}

std::wstring MalformedFileMessage(std::wstring_view fileName, size_t line,
                                  std::wstring_view reason) {
  std::wstring description = L"Malformed registry file ";
  description += fileName;
  description += L" line ";
  description += std::to_wstring(line);
  description += L": ";
  description += reason;
  return description;
}

std::wstring MalformedValueMessage(std::wstring_view fileName, const StoredValue& value) {
  return MalformedFileMessage(fileName, value.malformedLine, value.malformedReason);
}

const RegistryStore::Key* RegistryStore::FindKey(std::string_view canonical) const {
  const auto found = std::lower_bound(keys_.begin(), keys_.end(), canonical,
                                      [this](const Key& key, std::string_view wanted) {
                                        return TreeLess(PathAt(key.path), wanted);
                                      });
  if (found == keys_.end() || PathAt(found->path) != canonical) return nullptr;
  return &*found;
}

bool RegistryStore::HasKey(std::wstring_view keyPath) const {
  std::string canonical = CanonicalPath(keyPath, false);
  if (canonical.empty()) return false;
  if (FindKey(canonical) != nullptr) return true;
  // An implied key: some stored key lies below it, right after it in tree order.
  canonical += '\\';
  const auto below = std::lower_bound(keys_.begin(), keys_.end(), canonical,
                                      [this](const Key& key, std::string_view wanted) {
                                        return TreeLess(PathAt(key.path), wanted);
                                      });
  return below != keys_.end() && PathAt(below->path).starts_with(canonical);
}

const StoredValue* RegistryStore::FindValue(std::wstring_view keyPath,
                                            std::wstring_view valueName) const {
  const std::string canonical = CanonicalPath(keyPath, false);
  const Key* key = canonical.empty() ? nullptr : FindKey(canonical);
  if (key == nullptr) return nullptr;
  const auto begin = values_.begin() + key->firstValue;
  const auto end = key + 1 == keys_.data() + keys_.size() ? values_.end()
                                                          : values_.begin() + (key + 1)->firstValue;
  const std::string name = EncodeUtf8(valueName);
  const auto nameOf = [this](uint32_t offset) { return ReadValue(arena_.At(offset)).name; };
  const auto found =
      std::lower_bound(begin, end, name, [&nameOf](uint32_t offset, const std::string& wanted) {
        return FoldedLess(nameOf(offset), wanted);
      });
  if (found == end || FoldedLess(name, nameOf(*found))) return nullptr;
  return &handed_.try_emplace(*found, ValueAt(*found)).first->second;
}

RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName) {
  return RegFileParser(bytes, fileName).Run();
}

}  // namespace qelrestore::posix
