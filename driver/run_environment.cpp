#include "driver/run_environment.h"

namespace qelrestore {

std::optional<int32_t> ReadClientWait(Environment& environment, Processes& processes) {
  const std::optional<std::wstring> text =
      environment.EnvironmentVariable(L"QELRESTORE_CLIENT_WAIT");
  if (!text) return processes.DefaultClientWaitSeconds();
  if (text->empty() || text->size() > 9) return std::nullopt;
  int32_t seconds = 0;
  for (const wchar_t c : *text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    seconds = seconds * 10 + (c - L'0');
  }
  return seconds;
}

std::optional<bool> ReadDryRun(Environment& environment) {
  const std::wstring text = environment.EnvironmentVariable(L"QELRESTORE_DRY_RUN").value_or(L"");
  if (text.empty() || text == L"0") return false;
  if (text == L"1") return true;
  return std::nullopt;
}

}  // namespace qelrestore
