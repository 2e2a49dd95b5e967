// The keys and values read from a .reg file, kept compactly enough to stay well below the size of
// the file they came from (ParseRegFile in reg_file.h fills it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/registry.h"

namespace qelrestore {

// One value: the bytes the narrow-text query returns for it. Text types hold the text as UTF-8
// (the narrow code page on POSIX) with its NUL terminators. `name` and `data` view bytes owned by
// the store: they live as long as the store does.
struct StoredValue {
  std::string_view name;  // UTF-8, spelled as in the file
  RegistryType type = RegistryType::kOther;
  std::string_view data;
  // 0 for a value read as written. Otherwise the line of the file where the value's last
  // definition could not be read (the registry editor skips such a line): `type` is then kOther,
  // `data` is empty, and `malformedReason` (static text) says what was wrong. Asking for such a
  // value is an error; MalformedValueMessage gives its text.
  size_t malformedLine = 0;
  std::wstring_view malformedReason;
};

// "Malformed registry file FILE line N: REASON", the description of the Error 75 (kPathFileAccess)
// raised for a file that cannot be read and for a malformed value that is asked for.
std::wstring MalformedFileMessage(std::wstring_view fileName, size_t line,
                                  std::wstring_view reason);
// The message for a value whose `malformedLine` is not 0.
std::wstring MalformedValueMessage(std::wstring_view fileName, const StoredValue& value);

// The records of the store's arena, as the reader writes them and the store reads them.
namespace regstore {

// The first byte of each record. 0 marks the unused tail of a block.
constexpr unsigned char kSection = 1;       // path of a key line, its values follow
constexpr unsigned char kDeletion = 2;      // path of a "[-key]" line
constexpr unsigned char kStoredPath = 3;    // path of a key kept by the deletion of its child
constexpr unsigned char kTakenSection = 4;  // a key line a later deletion took, values and all
constexpr unsigned char kRemoval = 5;       // "name"=-
constexpr unsigned char kFirstType = 6;     // a value of type (kind - kFirstType)
constexpr unsigned char kMalformed = 0x80;  // | the reason's index; the line replaces the data

constexpr bool IsPath(unsigned char kind) {
  return kind < kRemoval;
}

// A path as the store keeps it: the root's index as one digit, then the rest folded and encoded
// as UTF-8, without trailing backslashes. Empty for an unknown root; short root names are the
// file's spelling only.
std::string CanonicalPath(std::wstring_view path, bool shortRoots);
// Paths order bytewise with the backslash first, so that a key's subtree directly follows it.
bool TreeLess(std::string_view left, std::string_view right);
// Orders UTF-8 names as their ASCII-folded forms order, without making those forms.
bool FoldedLess(std::string_view left, std::string_view right);

}  // namespace regstore

class RegFileParser;

// Keys by full path from the root's long name ("HKEY_LOCAL_MACHINE\SOFTWARE\..."). Paths and
// value names match with ASCII case folding, as the registry matches them; a trailing backslash is
// ignored. A key named in the file implies the keys on the way to it: they exist without being
// stored, so that memory stays linear in the file whatever the depth of its keys.
//
// It keeps no node or string per key or value: every path, name and datum is a record in one byte
// arena, and the keys and each key's values are sorted vectors of 32-bit arena offsets. Lookups
// are not for concurrent use: FindValue builds the StoredValue it hands out on first request.
class RegistryStore {
 public:
  bool HasKey(std::wstring_view keyPath) const;
  // The value, or null when the key or the value does not exist. A malformed value is found too:
  // check its `malformedLine`. The same value always gives the same pointer.
  const StoredValue* FindValue(std::wstring_view keyPath, std::wstring_view valueName) const;
  // The keys stored: those the file names and still exist, not the keys they imply.
  size_t KeyCount() const { return keys_.size(); }

 private:
  friend class RegFileParser;

  // Bytes in blocks that never move, so that offsets and views stay valid as it grows; no record
  // spans two blocks. Growing never copies what is stored.
  class Arena {
   public:
    // Stores the parts as one record; returns its offset.
    uint32_t Add(std::initializer_list<std::string_view> parts);
    char* At(uint32_t offset) { return slots_[offset >> kBlockBits] + (offset & kBlockMask); }
    const char* At(uint32_t offset) const {
      return slots_[offset >> kBlockBits] + (offset & kBlockMask);
    }
    // The offset of the record after the one at `offset` that ends at `end`, skipping the unused
    // tail of a block; `used()` when there is none.
    uint32_t Next(uint32_t end) const;
    uint32_t used() const { return static_cast<uint32_t>(used_); }

   private:
    static constexpr unsigned kBlockBits = 20;
    static constexpr uint32_t kBlockMask = (1u << kBlockBits) - 1;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<char*> slots_;  // the address of each 2^kBlockBits bytes of offsets
    uint64_t used_ = 0;
    uint64_t limit_ = 0;  // the end of the last block
  };

  // Records are added in file order, so their offsets order them in time.
  uint32_t AddPath(unsigned char kind, std::string_view canonical);
  void AddValue(unsigned char kind, std::string_view name, std::string_view data);
  void AddMalformed(std::wstring_view reason, std::string_view name, uint64_t line);
  unsigned char KindAt(uint32_t offset) const {
    return static_cast<unsigned char>(*arena_.At(offset));
  }
  void SetKind(uint32_t offset, unsigned char kind) {
    *arena_.At(offset) = static_cast<char>(kind);
  }
  // The first record is at 0; After gives the next one, End() after the last.
  uint32_t After(uint32_t offset) const;
  uint32_t End() const { return arena_.used(); }
  std::string_view PathAt(uint32_t offset) const;
  std::string_view NameAt(uint32_t offset) const;
  StoredValue ValueAt(uint32_t offset) const;
  // The index in keys_ of the key with that path; keys_.size() when it is not stored.
  size_t FindKey(std::string_view canonical) const;

  Arena arena_;
  std::vector<uint32_t> keys_;  // offsets of path records, one per key, in TreeLess order
  // Key i's values are values_[valueStarts_[i], valueStarts_[i + 1]), by folded name; both are
  // empty when no key has a value.
  std::vector<uint32_t> valueStarts_;
  std::vector<uint32_t> values_;                    // offsets of value records
  std::vector<std::wstring_view> reasons_;          // why values are malformed
  mutable std::map<uint32_t, StoredValue> handed_;  // the values FindValue gave out
};

}  // namespace qelrestore
