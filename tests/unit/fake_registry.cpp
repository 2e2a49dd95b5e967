#include "tests/unit/fake_registry.h"

namespace qelrestore::test {

// Each view's queries are recorded under a name of their own, so that the fault sweep can tell
// the view the run reads first.
RegistryAnswer FakeRegistry::QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                                const std::wstring& valueName) {
  const bool is64 = view == RegistryView::k64Bit;
  const std::optional<Fault> fault = counter_.Enter(
      is64 ? "QueryRegistryValue64" : "QueryRegistryValue32", keyPath + L"\\" + valueName);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  RegistryAnswer answer;
  if (fault || (is64 ? keysNotOpened64 : keysNotOpened32).count(keyPath) != 0) {
    answer.found = RegistryAnswer::Found::kKeyNotOpened;
    return answer;
  }
  const RegistryKeys& keys = is64 ? registry64 : registry32;
  const auto key = keys.find(keyPath);
  if (key == keys.end()) return answer;
  const auto value = key->second.find(valueName);
  if (value == key->second.end()) {
    answer.found = RegistryAnswer::Found::kNoValue;
    return answer;
  }
  answer.found = RegistryAnswer::Found::kValue;
  answer.type = value->second.type;
  answer.data.assign(value->second.bytes.begin(), value->second.bytes.end());
  return answer;
}

std::wstring FakeRegistry::RegistryName() {
  return L"the registry";
}

}  // namespace qelrestore::test
