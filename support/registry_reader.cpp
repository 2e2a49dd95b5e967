#include "support/registry_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "support/error.h"

namespace qelrestore {

namespace {

constexpr uint32_t kFirstBufferSize = 1024;

// Closes the key however the read ends.
class OpenKey {
 public:
  OpenKey(Host& host, RegistryKey key) : host_(host), key_(key) {}
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() { host_.RegCloseKey(key_); }
  RegistryKey get() const { return key_; }

 private:
  Host& host_;
  RegistryKey key_;
};

// The first `count` bytes of the buffer as text; never more than the buffer holds, and nothing
// for a count below zero (zero-length data).
std::wstring BufferText(Host& host, const std::vector<uint8_t>& buffer, int64_t count) {
  if (count <= 0) return {};
  const size_t length = std::min(buffer.size(), static_cast<size_t>(count));
  return host.DecodeText(std::string_view(reinterpret_cast<const char*>(buffer.data()), length));
}

}  // namespace

RegistryValue ReadRegistryValue(Host& host, uint32_t rootKey, const std::wstring& keyPath,
                                const std::wstring& valueName,
                                const std::optional<RegistryValue>& defaultValue) {
  RegistryValue result = defaultValue.value_or(RegistryValue());

  RegistryKey key = 0;
  int32_t opened = host.RegOpenKeyEx(rootKey, keyPath, 0, KEY_READ | KEY_WOW64_32KEY, key);
  if (opened == ERROR_FILE_NOT_FOUND) {
    opened = host.RegOpenKeyEx(rootKey, keyPath, 0, KEY_READ | KEY_WOW64_64KEY, key);
  }
  if (opened != ERROR_SUCCESS) return result;
  const OpenKey openKey(host, key);

  std::vector<uint8_t> buffer(kFirstBufferSize, 0);
  uint32_t byteCount = kFirstBufferSize;
  uint32_t type = REG_NONE;
  if (host.RegQueryValueEx(key, valueName, type, buffer.data(), byteCount) == ERROR_MORE_DATA) {
    buffer.assign(byteCount, 0);
    if (host.RegQueryValueEx(key, valueName, type, buffer.data(), byteCount) == ERROR_MORE_DATA) {
      // The value grew between the two queries: what the buffer holds is not the value.
      throw Error(code::kPathFileAccess, L"Registry value changed while it was read: " + valueName);
    }
  }

  const int64_t size = byteCount;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return BufferText(host, buffer, size - 1);  // without the terminating NUL
    case REG_MULTI_SZ:
      return BufferText(host, buffer, size - 2);  // without the list's two closing NULs
    case REG_DWORD: {
      uint8_t bytes[4] = {0, 0, 0, 0};
      std::memcpy(bytes, buffer.data(), std::min<size_t>(4, buffer.size()));
      const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 |
                            static_cast<uint32_t>(bytes[3]) << 24;
      return static_cast<int32_t>(bits);
    }
    case REG_BINARY:
      buffer.resize(std::min(buffer.size(), static_cast<size_t>(byteCount)));
      return buffer;
    default:
      throw Error(code::kUnsupportedValueType);
  }
}

std::wstring RegistryValueText(Host& host, const RegistryValue& value) {
  if (const auto* text = std::get_if<std::wstring>(&value)) return *text;
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_wstring(*number);
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
    return host.DecodeText(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }
  return {};
}

}  // namespace qelrestore
