// The registry methods of the Windows host: the ANSI registry functions, with the keys they open
// owned by the host until the logic closes them (or the host goes).
#include <cstdint>
#include <string>

#include "host/windows/windows_host.h"
#include "host/windows/windows_text.h"

namespace qelrestore::windows {

namespace {

// The predefined root keys by their numbers. Only these are accepted as roots: a number the logic
// made up never reaches the registry functions as a handle.
HKEY RootKeyOf(uint32_t rootKey) {
  switch (rootKey) {
    case 0x80000000u:
      return HKEY_CLASSES_ROOT;
    case 0x80000001u:
      return HKEY_CURRENT_USER;
    case 0x80000002u:
      return HKEY_LOCAL_MACHINE;
    case 0x80000003u:
      return HKEY_USERS;
    case 0x80000005u:
      return HKEY_CURRENT_CONFIG;
    default:
      return nullptr;
  }
}

}  // namespace

int32_t WindowsHost::RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t options,
                                  uint32_t access, RegistryKey& key) {
  const HKEY root = RootKeyOf(rootKey);
  if (root == nullptr) return ERROR_INVALID_HANDLE;
  HKEY opened = nullptr;
  // Options and access go through as given, so a KEY_WOW64_32KEY or KEY_WOW64_64KEY in the access
  // mask picks the registry view as it does for any other program.
  const LONG status = ::RegOpenKeyExA(root, ToAnsi(subKey).c_str(), options, access, &opened);
  if (status != ERROR_SUCCESS) return status;
  const auto value = static_cast<RegistryKey>(reinterpret_cast<uintptr_t>(opened));
  keys_[value] = UniqueRegistryKey(opened);
  key = value;
  return ERROR_SUCCESS;
}

int32_t WindowsHost::RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                                     uint8_t* data, uint32_t& byteCount) {
  const auto found = keys_.find(key);
  if (found == keys_.end()) return ERROR_INVALID_HANDLE;
  DWORD valueType = type;
  DWORD size = byteCount;
  const LONG status = ::RegQueryValueExA(found->second.get(), ToAnsi(valueName).c_str(), nullptr,
                                         &valueType, data, &size);
  // Type and size are only meaningful when the value was found; a missing value leaves the
  // caller's variables as they were, which is what its type test relies on.
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    type = valueType;
    byteCount = size;
  }
  return status;
}

void WindowsHost::RegCloseKey(RegistryKey key) {
  keys_.erase(key);
}

}  // namespace qelrestore::windows
