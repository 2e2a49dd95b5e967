// The one error type of the program: a signed 32-bit code and a description.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "support/byte_text.h"

namespace qelrestore {

// The error numbers the program raises or maps host failures onto.
namespace code {
inline constexpr int32_t kInvalidCall = 5;          // invalid procedure call or argument
inline constexpr int32_t kOverflow = 6;             // overflow
inline constexpr int32_t kOutOfMemory = 7;          // out of memory
inline constexpr int32_t kSubscriptOutOfRange = 9;  // subscript out of range
inline constexpr int32_t kInternal = 51;            // internal error
inline constexpr int32_t kBadFileNumber = 52;       // bad file name or number
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kFileAlreadyOpen = 55;
inline constexpr int32_t kDeviceIo = 57;
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kInputPastEnd = 62;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathFileAccess = 75;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kUnsupportedValueType = 1001;
}  // namespace code

// The standard description of a code ("File not found" for 53); an empty text for codes the
// program never raises.
std::wstring StandardDescription(int32_t code);

class Error : public std::exception {
 public:
  Error(int32_t code, std::wstring description)
      : code_(code), description_(std::move(description)), what_(EncodeUtf8(description_)) {}
  // An error with the standard description of its code.
  explicit Error(int32_t code) : Error(code, StandardDescription(code)) {}

  int32_t code() const { return code_; }
  const std::wstring& description() const { return description_; }
  // The description as UTF-8, for whoever catches it as any exception (a test's message).
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int32_t code_;
  std::wstring description_;
  std::string what_;
};

// Turns whatever a step threw into the program's error: an Error as it is, memory exhaustion as
// error 7, anything else as error 51 with the exception's own text. Call it inside a catch block.
Error CurrentExceptionAsError();

}  // namespace qelrestore
