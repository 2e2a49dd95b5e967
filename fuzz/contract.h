// What every fuzz target shares: a contract check that stops the run where libFuzzer sees it, and
// the fuzz input as the wide text the logic works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/byte_text.h"

namespace qelrestore::fuzz {

// Aborts with the broken promise named: libFuzzer saves the input as a crash. Checks stay on in
// optimised builds, unlike assert.
inline void Require(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "contract broken: %s\n", promise);
  std::abort();
}

inline std::string_view Bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input decoded as the POSIX host decodes file and command-line bytes: bytes that are not
// UTF-8 arrive as U+DC80..U+DCFF, so every byte value reaches the parser.
inline std::wstring WideInput(const uint8_t* data, size_t size) {
  return DecodeUtf8(Bytes(data, size));
}

}  // namespace qelrestore::fuzz
