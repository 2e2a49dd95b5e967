#include "driver/run_settings.h"

namespace qelrestore {

std::optional<uint32_t> WholeNumber(std::wstring_view text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  uint32_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - L'0');
  }
  return value;
}

namespace {
// A switch: "1" (or `asked`) is on; unset, empty or "0" is off; anything else is nothing.
std::optional<bool> Switch(const ReadVariable& variable, const wchar_t* name, bool asked = false) {
  const std::wstring value = variable(name).value_or(L"");
  if (asked || value == L"1") return true;
  if (value.empty() || value == L"0") return false;
  return std::nullopt;
}
}  // namespace

RunSettings ReadRunSettings(const ReadVariable& variable, bool dryRunAsked, bool undoAsked) {
  RunSettings settings;
  settings.dryRun = Switch(variable, L"QELRESTORE_DRY_RUN", dryRunAsked);
  settings.verifyFirst = Switch(variable, L"QELRESTORE_VERIFY_FIRST");
  settings.keepReplaced = Switch(variable, L"QELRESTORE_KEEP_REPLACED");
  settings.undo = Switch(variable, L"QELRESTORE_UNDO", undoAsked);
  if (const std::optional<std::wstring> wait = variable(L"QELRESTORE_CLIENT_WAIT")) {
    const std::optional<uint32_t> seconds = WholeNumber(*wait, 9);
    settings.clientWaitValid = seconds.has_value();
    if (seconds) settings.clientWaitSeconds = static_cast<int32_t>(*seconds);
  }
  if (const std::optional<std::wstring> workers = variable(L"QELRESTORE_COPY_THREADS")) {
    // Digits without a leading zero.
    const std::optional<uint32_t> count =
        !workers->empty() && (*workers)[0] != L'0' ? WholeNumber(*workers, 2) : std::nullopt;
    settings.copyWorkersValid = count && *count <= kMaxCopyWorkers;
    if (settings.copyWorkersValid) settings.copyWorkers = *count;
  }
  settings.registryFile = variable(L"QELRESTORE_REGISTRY").value_or(L"");
  settings.boxesOnConsole =
      variable(L"QELRESTORE_BOXES") == std::optional<std::wstring>(L"console");
  return settings;
}

}  // namespace qelrestore
