// A read-only registry for the POSIX form, loaded from a .reg file (the format the registry editor
// exports): $QELRESTORE_REGISTRY when set, else registry.reg in the program folder, or the file an
// installed package chose when the program runs from its installed folder. A missing file is an
// empty registry. Key and value names match case-insensitively, as the registry does.
//
// Both views of a 64-bit machine live in the one file, as the registry editor exports them: the
// 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE\X is SOFTWARE\Wow6432Node\X; every other key is the
// same in both views.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore {
class RegistryStore;  // the loaded keys and values (registry/registry_store.h)
}  // namespace qelrestore

namespace qelrestore::posix {

class PosixRegistry {
 public:
  // `file` is the native path of the .reg file, loaded on first use.
  explicit PosixRegistry(std::string file);
  ~PosixRegistry();
  PosixRegistry(const PosixRegistry&) = delete;
  PosixRegistry& operator=(const PosixRegistry&) = delete;

  // The value `valueName` of the key `keyPath` below HKEY_LOCAL_MACHINE in `view`. Throws an Error
  // naming the file when it cannot be read (it is not a regular file, or has no header) and when
  // the value asked for is one the file spells wrongly; a key is never refused.
  RegistryAnswer Query(RegistryView view, const std::wstring& keyPath,
                       const std::wstring& valueName);

 private:
  const RegistryStore& Store();

  std::string file_;
  std::unique_ptr<RegistryStore> store_;
};

}  // namespace qelrestore::posix
