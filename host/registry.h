// The registry below the local machine's root key, where the SQL clients register their folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qelrestore {

// The two views of the registry on a 64-bit machine: 32-bit programs register in the first.
enum class RegistryView { k32Bit, k64Bit };

// The types of registry value the restore tells apart.
enum class RegistryType { kString, kExpandString, kMultiString, kDword, kBinary, kOther };

// The answer to one registry query.
struct RegistryAnswer {
  enum class Found {
    kNoKey,         // the key does not exist in that view
    kKeyNotOpened,  // the key exists but cannot be opened (access refused, for one)
    kNoValue,       // the key exists without that value
    kValue,         // the value, below
  };
  Found found = Found::kNoKey;
  RegistryType type = RegistryType::kOther;
  // The value's data as stored, text with its terminating NULs, an integer as 4 little-endian
  // bytes; it may be empty whatever the type.
  std::vector<uint8_t> data;
  // The string types' data as the registry holds it, when that is text rather than bytes (the
  // Windows registry's UTF-16), terminating NULs included: then no code page decodes it, so no
  // character is turned into a look-alike. Nothing where `data` is to be decoded instead.
  std::optional<std::wstring> text;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // The value `valueName` of the key `keyPath` below the local machine's root key, in one view. A
  // host with one view answers both alike. Throws when the registry itself cannot be read (a
  // registry file that cannot be opened).
  virtual RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                            const std::wstring& valueName) = 0;
  // Where the registry is read, for a message that tells the operator where to look or write.
  virtual std::wstring RegistryName() = 0;
};

}  // namespace qelrestore
