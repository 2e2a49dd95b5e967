#include "restore/registry_reader.h"

#include <algorithm>
#include <string_view>

#include "support/error.h"

namespace qelrestore {

namespace {

// The value's text without its `terminators` closing NULs; nothing for zero-length data.
std::wstring DataText(TextDecoder& decoder, const RegistryAnswer& answer, size_t terminators) {
  if (answer.text) {
    if (answer.text->size() <= terminators) return {};
    return answer.text->substr(0, answer.text->size() - terminators);
  }
  const std::vector<uint8_t>& data = answer.data;
  if (data.size() <= terminators) return {};
  return decoder.DecodeText(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - terminators));
}

}  // namespace

RegistryValue ReadRegistryValue(Registry& registry, TextDecoder& decoder,
                                const std::wstring& keyPath, const std::wstring& valueName,
                                const std::optional<RegistryValue>& defaultValue) {
  RegistryAnswer answer = registry.QueryRegistryValue(RegistryView::k32Bit, keyPath, valueName);
  if (answer.found == RegistryAnswer::Found::kNoKey) {
    answer = registry.QueryRegistryValue(RegistryView::k64Bit, keyPath, valueName);
  }
  if (answer.found == RegistryAnswer::Found::kNoKey ||
      answer.found == RegistryAnswer::Found::kKeyNotOpened) {
    return defaultValue.value_or(RegistryValue());
  }
  if (answer.found == RegistryAnswer::Found::kNoValue) throw Error(code::kUnsupportedValueType);

  std::vector<uint8_t>& data = answer.data;
  switch (answer.type) {
    case RegistryType::kString:
    case RegistryType::kExpandString:
      return DataText(decoder, answer, 1);  // without the terminating NUL
    case RegistryType::kMultiString:
      return DataText(decoder, answer, 2);  // without the list's two closing NULs
    case RegistryType::kDword: {
      data.resize(4, 0);  // shorter data reads as if padded with zeros
      const uint32_t bits = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                            static_cast<uint32_t>(data[2]) << 16 |
                            static_cast<uint32_t>(data[3]) << 24;
      return static_cast<int32_t>(bits);
    }
    case RegistryType::kBinary:
      return std::move(data);
    case RegistryType::kOther:
      break;
  }
  throw Error(code::kUnsupportedValueType);
}

std::wstring RegistryValueText(TextDecoder& decoder, const RegistryValue& value) {
  if (const auto* text = std::get_if<std::wstring>(&value)) return *text;
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_wstring(*number);
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
    return decoder.DecodeText(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }
  return {};
}

}  // namespace qelrestore
