// The .reg file format (as the registry editor exports and imports it) read into a store of keys
// and values. Pure text processing: it touches no file, so it can be fed any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace qelrestore::posix {

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

class RegFileParser;

// Keys by full path from the root's long name ("HKEY_LOCAL_MACHINE\SOFTWARE\..."). Paths and
// value names match with ASCII case folding, as the registry matches them; a trailing backslash is
// ignored. A key named in the file implies the keys on the way to it: they exist without being
// stored, so that memory stays linear in the file whatever the depth of its keys.
//
// The store must stay well below the size of the file it came from, so it keeps no node or string
// per key or value: every path, name and datum is a record in one byte arena, and the keys and
// each key's values are sorted vectors of 32-bit arena offsets. Lookups are not for concurrent
// use: FindValue builds the StoredValue it hands out on first request.
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

  struct Key {
    uint32_t path;        // offset of its path record
    uint32_t firstValue;  // its values are values_[firstValue, next key's firstValue)
  };

  std::string_view PathAt(uint32_t offset) const;
  StoredValue ValueAt(uint32_t offset) const;
  const Key* FindKey(std::string_view canonical) const;

  Arena arena_;
  std::vector<Key> keys_;                   // by path, backslash ordered first
  std::vector<uint32_t> values_;            // offsets of value records; each key's by folded name
  std::vector<std::wstring_view> reasons_;  // why values are malformed
  mutable std::map<uint32_t, StoredValue> handed_;  // the values FindValue gave out
};

// Reads a whole .reg file: header "REGEDIT4" or "Windows Registry Editor Version 5.00"; UTF-8 (a
// byte-order mark allowed) or UTF-16LE with its byte-order mark; CR LF or LF. As the registry
// editor does, it skips what it cannot use and reads on: lines starting with ';' or '#', a ';'
// comment outside quotes, stray text, values outside any key, keys under an unknown root or
// without their ']'; a value line it cannot read is stored as malformed (see StoredValue). Throws
// Error 75 (MalformedFileMessage) only when the file has no header; `fileName` only serves the
// messages. Time and memory grow linearly with the file.
RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName);

}  // namespace qelrestore::posix
