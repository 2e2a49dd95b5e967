// The scripted host's registry: two views of keys and values, and keys that exist but cannot be
// opened.
#pragma once

#include <map>
#include <set>
#include <string>

#include "host/registry.h"
#include "tests/unit/fake_calls.h"

namespace qelrestore::test {

struct RegistryDatum {
  RegistryType type = RegistryType::kOther;
  std::string bytes;
};
// One view of the registry: key path -> value name -> value.
using RegistryKeys = std::map<std::wstring, std::map<std::wstring, RegistryDatum>>;

class FakeRegistry {
 public:
  explicit FakeRegistry(FakeCalls& counter) : counter_(counter) {}

  // --- Script ---
  RegistryKeys registry32;
  RegistryKeys registry64;
  // Keys that exist in that view but cannot be opened (whatever the maps above hold for them).
  std::set<std::wstring> keysNotOpened32;
  std::set<std::wstring> keysNotOpened64;

  // --- Registry ---
  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName);
  std::wstring RegistryName();

 private:
  FakeCalls& counter_;
};

}  // namespace qelrestore::test
