// The .reg file format (as the registry editor exports and imports it) read into a store of keys
// and values. Pure text processing: it touches no file, so it can be fed any bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "host/host.h"

namespace qelrestore::posix {

// One value: the bytes the narrow-text query returns for it. Text types hold the text as UTF-8
// (the narrow code page on POSIX) with its NUL terminators.
struct StoredValue {
  std::wstring name;  // spelled as in the file
  uint32_t type = REG_NONE;
  std::string data;
};

// Keys by full path from the root's long name ("HKEY_LOCAL_MACHINE\SOFTWARE\..."). Paths and value
// names match with ASCII case folding, as the registry matches them; a trailing backslash is
// ignored. Creating a key creates the keys on the way to it.
class RegistryStore {
 public:
  // Values of one key, by folded name.
  using ValueMap = std::map<std::wstring, StoredValue, std::less<>>;

  bool HasKey(std::wstring_view keyPath) const;
  // The value, or null when the key or the value does not exist.
  const StoredValue* FindValue(std::wstring_view keyPath, std::wstring_view valueName) const;
  size_t KeyCount() const { return keys_.size(); }

  // Returns the key's values; the reference stays valid until the key is deleted.
  ValueMap& CreateKey(std::wstring_view keyPath);
  // Deletes the key and every key below it; a missing key is no error.
  void DeleteKey(std::wstring_view keyPath);

 private:
  std::map<std::wstring, ValueMap, std::less<>> keys_;
};

// The long name of a predefined root key handle (HKEY_LOCAL_MACHINE for 0x80000002), or an empty
// text for any other value.
std::wstring_view RootKeyName(uint32_t rootKey);

// Reads a whole .reg file: header "REGEDIT4" or "Windows Registry Editor Version 5.00"; UTF-8 (a
// byte-order mark allowed) or UTF-16LE with its byte-order mark; CR LF or LF. Throws Error 75
// ("Malformed registry file FILE line N: ...") at the first line that does not fit the format;
// `fileName` only serves that message. Time and memory grow linearly with the file.
RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName);

}  // namespace qelrestore::posix
