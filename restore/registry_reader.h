// Reads one typed value of the registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/input_files.h"
#include "host/registry.h"

namespace qelrestore {

// Empty, text, 32-bit signed integer or byte array.
using RegistryValue = std::variant<std::monostate, std::wstring, int32_t, std::vector<uint8_t>>;

// The value `valueName` of the key `keyPath` below HKEY_LOCAL_MACHINE, converted by its type: text
// for strings and expandable strings (unexpanded) and string lists (joined by NULs), an integer
// for a 32-bit number, bytes for binary data; the registry's bytes of text decoded by `decoder`.
// When the key is missing or cannot be opened: `defaultValue`, or the empty value. Error 1001
// "Unsupported value type" for a missing value or any other type.
//
// 32-bit client tools register in the 32-bit view of a 64-bit machine, 64-bit ones in the other:
// the key is looked for in the 32-bit view first and, only when it is missing there, in the
// 64-bit view.
RegistryValue ReadRegistryValue(Registry& registry, TextDecoder& decoder,
                                const std::wstring& keyPath, const std::wstring& valueName,
                                const std::optional<RegistryValue>& defaultValue = std::nullopt);

// The text of a value as the restore uses it: the empty value gives the empty text, an integer its
// decimal digits, bytes their decoding as single-byte text.
std::wstring RegistryValueText(TextDecoder& decoder, const RegistryValue& value);

}  // namespace qelrestore
