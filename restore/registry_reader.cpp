#include "restore/registry_reader.h"

#include <algorithm>
#include <string_view>

#include "support/error.h"

namespace qelrestore {

namespace {

// How many of the last `terminators` units of `text` are NULs, counted from its end: a writer
// that passed the wrong size stored a value without them, and its last characters are real.
template <typename Text>
size_t ClosingNuls(const Text& text, size_t terminators) {
  size_t count = 0;
  while (count < terminators && count < text.size() && text[text.size() - 1 - count] == 0) ++count;
  return count;
}

// The value's text without the closing NULs (up to `terminators`) it was stored with.
std::wstring DataText(TextDecoder& decoder, const RegistryAnswer& answer, size_t terminators) {
  if (answer.text) {
    return answer.text->substr(0, answer.text->size() - ClosingNuls(*answer.text, terminators));
  }
  const std::vector<uint8_t>& data = answer.data;
  return decoder.DecodeText(std::string_view(reinterpret_cast<const char*>(data.data()),
                                             data.size() - ClosingNuls(data, terminators)));
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
      return DataText(decoder, answer, 1);  // without its terminating NUL, where it has one
    case RegistryType::kMultiString:
      return DataText(decoder, answer, 2);  // without the list's closing NULs, where it has them
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
