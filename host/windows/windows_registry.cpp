#include "host/windows/windows_registry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/windows/windows_api.h"
#include "host/windows/windows_errors.h"

namespace qelrestore::windows {

namespace {

// Most values fit at once; a larger one is read again at the size the first query reports.
constexpr DWORD kFirstBufferSize = 1024;

RegistryType TypeOf(DWORD type) {
  switch (type) {
    case REG_SZ:
      return RegistryType::kString;
    case REG_EXPAND_SZ:
      return RegistryType::kExpandString;
    case REG_MULTI_SZ:
      return RegistryType::kMultiString;
    case REG_DWORD:
      return RegistryType::kDword;
    case REG_BINARY:
      return RegistryType::kBinary;
    default:
      return RegistryType::kOther;
  }
}

// KEY_WOW64_32KEY / KEY_WOW64_64KEY pick the view for a program of either bitness.
REGSAM AccessFor(RegistryView view) {
  return KEY_READ | (view == RegistryView::k32Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
}

}  // namespace

RegistryAnswer ReadRegistry(RegistryView view, const std::wstring& keyPath,
                            const std::wstring& valueName) {
  RegistryAnswer answer;
  HKEY opened = nullptr;
  // The wide calls throughout: a code page would turn a character it lacks into a look-alike
  // (a fullwidth letter into its ASCII one), and the path would name another folder.
  const LONG openStatus =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, AccessFor(view), &opened);
  if (openStatus == ERROR_FILE_NOT_FOUND) {
    answer.found = RegistryAnswer::Found::kNoKey;
    return answer;
  }
  if (openStatus != ERROR_SUCCESS) {
    answer.found = RegistryAnswer::Found::kKeyNotOpened;
    return answer;
  }
  const UniqueRegistryKey key(opened);

  const wchar_t* const name = valueName.c_str();
  std::vector<uint8_t> buffer(kFirstBufferSize);
  DWORD type = REG_NONE;
  DWORD size = kFirstBufferSize;
  LONG status = ::RegQueryValueExW(key.get(), name, nullptr, &type, buffer.data(), &size);
  if (status == ERROR_MORE_DATA) {
    buffer.assign(size, 0);
    status = ::RegQueryValueExW(key.get(), name, nullptr, &type, buffer.data(), &size);
    if (status == ERROR_MORE_DATA) {
      // The value grew between the two queries: what the buffer holds is not the value.
      throw Error(code::kPathFileAccess, L"Registry value changed while it was read: " + valueName);
    }
  }
  if (status == ERROR_FILE_NOT_FOUND) {
    answer.found = RegistryAnswer::Found::kNoValue;
    return answer;
  }
  if (status != ERROR_SUCCESS) {
    throw Win32Error(static_cast<uint32_t>(status), L"RegQueryValueExW",
                     keyPath + L"\\" + valueName);
  }
  answer.found = RegistryAnswer::Found::kValue;
  answer.type = TypeOf(type);
  buffer.resize(std::min<size_t>(buffer.size(), size));  // zero-length data: no bytes
  if (answer.type == RegistryType::kString || answer.type == RegistryType::kExpandString ||
      answer.type == RegistryType::kMultiString) {
    // UTF-16 code units; an odd last byte is no whole character and is dropped.
    std::wstring text(buffer.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), buffer.data(), text.size() * sizeof(wchar_t));
    answer.text = std::move(text);
  }
  answer.data = std::move(buffer);
  return answer;
}

}  // namespace qelrestore::windows
