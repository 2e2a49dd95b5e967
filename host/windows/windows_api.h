// The one gate to the Win32 headers, and the small owners of the handles the Windows host holds.
// Nothing outside host/windows includes it (the stand-in client and the tests built for Windows
// aside).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <userenv.h>

// The A/W switch macro that shares its name with a method of the host contract: left defined, it
// would rename that method to its W form wherever this header is seen, so that a file could no
// longer call it. The host calls the Win32 functions by their full W or A names instead.
#undef MessageBox

#include <utility>

namespace qelrestore::windows {

// Owns one kernel handle and closes it once. `Invalid` is the value the opening call returns on
// failure: INVALID_HANDLE_VALUE for CreateFileW, null for the process and token calls.
template <HANDLE (*Invalid)()>
class UniqueKernelHandle {
 public:
  UniqueKernelHandle() = default;
  explicit UniqueKernelHandle(HANDLE handle) : handle_(handle) {}
  UniqueKernelHandle(const UniqueKernelHandle&) = delete;
  UniqueKernelHandle& operator=(const UniqueKernelHandle&) = delete;
  UniqueKernelHandle(UniqueKernelHandle&& other) noexcept : handle_(other.release()) {}
  UniqueKernelHandle& operator=(UniqueKernelHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueKernelHandle() { reset(); }

  bool valid() const { return handle_ != Invalid() && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, Invalid()); }
  // Closes the handle held (if any) and takes `handle` in its place.
  void reset(HANDLE handle = Invalid()) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = Invalid();
};

inline HANDLE InvalidFileHandle() {
  return INVALID_HANDLE_VALUE;
}
inline HANDLE NullHandle() {
  return nullptr;
}

// A file opened by CreateFileW.
using UniqueFileHandle = UniqueKernelHandle<InvalidFileHandle>;
// A process or thread handle (CreateProcessW, OpenProcess).
using UniqueProcessHandle = UniqueKernelHandle<NullHandle>;
// An access token (OpenProcessToken).
using UniqueTokenHandle = UniqueKernelHandle<NullHandle>;

// An open registry key, closed with RegCloseKey.
class UniqueRegistryKey {
 public:
  UniqueRegistryKey() = default;
  explicit UniqueRegistryKey(HKEY key) : key_(key) {}
  UniqueRegistryKey(const UniqueRegistryKey&) = delete;
  UniqueRegistryKey& operator=(const UniqueRegistryKey&) = delete;
  UniqueRegistryKey(UniqueRegistryKey&& other) noexcept
      : key_(std::exchange(other.key_, nullptr)) {}
  UniqueRegistryKey& operator=(UniqueRegistryKey&& other) noexcept {
    if (this != &other) {
      reset();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  ~UniqueRegistryKey() { reset(); }

  HKEY get() const { return key_; }
  void reset() {
    if (key_ != nullptr) ::RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace qelrestore::windows
