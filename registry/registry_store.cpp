#include "registry/registry_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "support/byte_text.h"
#include "support/text.h"

namespace qelrestore {
namespace regstore {
namespace {

constexpr std::array<std::wstring_view, 5> kLongRoots = {L"hkey_classes_root", L"hkey_current_user",
                                                         L"hkey_local_machine", L"hkey_users",
                                                         L"hkey_current_config"};
constexpr std::array<std::wstring_view, 5> kShortRoots = {L"hkcr", L"hkcu", L"hklm", L"hku",
                                                          L"hkcc"};

int TreeRank(char ch) {
  return ch == '\\' ? -1 : static_cast<unsigned char>(ch);
}

unsigned char FoldByte(char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

}  // namespace

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

bool TreeLess(std::string_view left, std::string_view right) {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return TreeRank(a) < TreeRank(b); });
}

bool FoldedLess(std::string_view left, std::string_view right) {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return FoldByte(a) < FoldByte(b); });
}

}  // namespace regstore

namespace {

using namespace regstore;

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

// A path record: kind, size, path.
std::string_view ReadPath(const char* at) {
  ++at;
  const size_t size = ReadVarint(at);
  return {at, size};
}

// A value record: kind, name size, name, then the data's size and data, or the malformed line.
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

uint32_t RegistryStore::AddPath(unsigned char kind, std::string_view canonical) {
  const char head = static_cast<char>(kind);
  return arena_.Add({std::string_view(&head, 1), Varint(canonical.size()), canonical});
}

void RegistryStore::AddValue(unsigned char kind, std::string_view name, std::string_view data) {
  const char head = static_cast<char>(kind);
  arena_.Add({std::string_view(&head, 1), Varint(name.size()), name, Varint(data.size()), data});
}

void RegistryStore::AddMalformed(std::wstring_view reason, std::string_view name, uint64_t line) {
  auto known = std::find(reasons_.begin(), reasons_.end(), reason);
  if (known == reasons_.end()) known = reasons_.insert(known, reason);
  const char head = static_cast<char>(kMalformed | (known - reasons_.begin()));
  arena_.Add({std::string_view(&head, 1), Varint(name.size()), name, Varint(line)});
}

uint32_t RegistryStore::After(uint32_t offset) const {
  const char* start = arena_.At(offset);
  if (IsPath(KindAt(offset))) {
    const std::string_view path = ReadPath(start);
    return arena_.Next(offset + static_cast<uint32_t>(path.data() + path.size() - start));
  }
  return arena_.Next(offset + static_cast<uint32_t>(ReadValue(start).end - start));
}

std::string_view RegistryStore::PathAt(uint32_t offset) const {
  return ReadPath(arena_.At(offset));
}

std::string_view RegistryStore::NameAt(uint32_t offset) const {
  return ReadValue(arena_.At(offset)).name;
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

size_t RegistryStore::FindKey(std::string_view canonical) const {
  const auto found = std::lower_bound(
      keys_.begin(), keys_.end(), canonical,
      [this](uint32_t key, std::string_view wanted) { return TreeLess(PathAt(key), wanted); });
  if (found == keys_.end() || PathAt(*found) != canonical) return keys_.size();
  return static_cast<size_t>(found - keys_.begin());
}

bool RegistryStore::HasKey(std::wstring_view keyPath) const {
  std::string canonical = CanonicalPath(keyPath, false);
  if (canonical.empty()) return false;
  if (FindKey(canonical) != keys_.size()) return true;
  // An implied key: some stored key lies below it, right after it in tree order.
  canonical += '\\';
  const auto below = std::lower_bound(
      keys_.begin(), keys_.end(), canonical,
      [this](uint32_t key, std::string_view wanted) { return TreeLess(PathAt(key), wanted); });
  return below != keys_.end() && PathAt(*below).starts_with(canonical);
}

const StoredValue* RegistryStore::FindValue(std::wstring_view keyPath,
                                            std::wstring_view valueName) const {
  const std::string canonical = CanonicalPath(keyPath, false);
  if (canonical.empty() || valueStarts_.empty()) return nullptr;
  const size_t key = FindKey(canonical);
  if (key == keys_.size()) return nullptr;
  const auto begin = values_.begin() + valueStarts_[key];
  const auto end = values_.begin() + valueStarts_[key + 1];
  const std::string name = EncodeUtf8(valueName);
  const auto found =
      std::lower_bound(begin, end, name, [this](uint32_t offset, std::string_view wanted) {
        return FoldedLess(NameAt(offset), wanted);
      });
  if (found == end || FoldedLess(name, NameAt(*found))) return nullptr;
  return &handed_.try_emplace(*found, ValueAt(*found)).first->second;
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

}  // namespace qelrestore
