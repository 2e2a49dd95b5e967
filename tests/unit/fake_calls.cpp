#include "tests/unit/fake_calls.h"

#include <algorithm>

namespace qelrestore::test {

std::wstring Wide(std::string_view text) {
  std::wstring result;
  for (const char c : text) result += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return result;
}

std::string Narrow(std::wstring_view text) {
  std::string result;
  for (const wchar_t c : text) result += static_cast<char>(c);
  return result;
}

bool FakeCalls::Called(const std::string& prefix) const {
  return std::any_of(calls.begin(), calls.end(),
                     [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

std::optional<Fault> FakeCalls::Enter(const std::string& name, const std::wstring& argument) {
  calls.push_back(argument.empty() ? name : name + " " + Narrow(argument));
  const auto found = faults.find(static_cast<int64_t>(calls.size()) - 1);
  if (found == faults.end()) return std::nullopt;
  return found->second;
}

void FakeCalls::EnterOrThrow(const std::string& name, const std::wstring& argument) {
  if (Enter(name, argument)) ThrowInjected();
}

void FakeCalls::ThrowInjected() const {
  throw Error(failCode, L"injected fault");
}

}  // namespace qelrestore::test
