// The one call counter behind every role's fake: each host call of a role is recorded here, in
// order and by name, and numbered over all roles, so that a fault can be injected at any call of a
// run.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.h"

namespace qelrestore::test {

// How an injected fault makes a call fail.
enum class Fault {
  // The way the call's contract allows: a throw for calls that may throw, otherwise the failure
  // answer (false, nothing, a key not opened, a failed wait, a folder copy with nothing copied).
  // Calls whose contract has no failure at all (YieldToEvents, DecodeText, DecodeConsoleText) go on
  // unaffected.
  kFail,
  // For calls that write: part of the data reaches its file, then the call throws (a disk that
  // fills up mid-write); a folder copy copies part of the files and reports the rest not copied.
  kHalfWay,
  // A throw whatever the call's contract says (a registry read from a file that cannot be read).
  kThrow,
};

class FakeCalls {
 public:
  // --- Script ---
  // Host call number N (0-based, counted over every call) fails as faults[N] says; thrown faults
  // are Error(failCode, "injected fault").
  std::map<int64_t, Fault> faults;
  int32_t failCode = code::kDeviceIo;

  // --- Observation ---
  std::vector<std::string> calls;  // "Name argument", one per host call

  bool Called(const std::string& prefix) const;

  // Records a call; returns the fault scripted for it, if any.
  std::optional<Fault> Enter(const std::string& name, const std::wstring& argument = {});
  // Records a call whose only way to fail is a throw; throws when a fault is scripted for it.
  void EnterOrThrow(const std::string& name, const std::wstring& argument = {});
  [[noreturn]] void ThrowInjected() const;
};

// Narrow text of the tests (ASCII) to the logic's wide text and back.
std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

}  // namespace qelrestore::test
