// A read-only registry for the POSIX form, loaded from a .reg file (the format the registry editor
// exports): $QELRESTORE_REGISTRY when set, else registry.reg in the program folder. A missing file
// is an empty registry. Key and value names match case-insensitively, as the registry does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore::posix {

class RegistryStore;  // the loaded keys and values (reg_file.h)

class PosixRegistry {
 public:
  // `file` is the .reg path to load on first use (UTF-8 on disk, as the host gives it).
  explicit PosixRegistry(std::string file);
  ~PosixRegistry();

  // Status codes as the Win32 functions return them. A malformed file is thrown as an Error whose
  // description names the file and its line, so the step reading the registry reports it.
  int32_t Open(uint32_t rootKey, const std::wstring& subKey, uint32_t access, RegistryKey& key);
  int32_t Query(RegistryKey key, const std::wstring& valueName, uint32_t& type, uint8_t* data,
                uint32_t& byteCount);
  void Close(RegistryKey key);

 private:
  const RegistryStore& Store();

  std::string file_;
  std::unique_ptr<RegistryStore> store_;
  std::map<RegistryKey, std::wstring> openKeys_;  // handle -> canonical key path
  RegistryKey nextKey_ = 1;
};

}  // namespace qelrestore::posix
