// The command line as the batch file passes it: any text. ParseCommandLine either refuses it
// (fewer than two double quotes, nothing filled) or fills settings with whole non-blank pieces
// between quotes, in order.
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "fuzz/contract.h"

namespace {

constexpr wchar_t kUntouched[] = L"\x1F untouched";

// The stretches between double quotes, found by walking the text rather than by Split.
std::vector<std::wstring> NonBlankStretches(const std::wstring& text) {
  std::vector<std::wstring> stretches;
  std::wstring current;
  const auto close = [&] {
    if (current.find_first_not_of(L' ') != std::wstring::npos) stretches.push_back(current);
    current.clear();
  };
  for (const wchar_t ch : text) {
    if (ch == L'"') {
      close();
    } else {
      current += ch;
    }
  }
  close();
  return stretches;
}

bool IsDefaultWord(const std::wstring& text) {
  if (text.size() != 7) return false;
  const std::wstring word = L"default";
  for (size_t i = 0; i < 7; ++i) {
    wchar_t ch = text[i];
    if (ch >= L'A' && ch <= L'Z') ch = static_cast<wchar_t>(ch - L'A' + L'a');
    if (ch != word[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qelrestore::fuzz::Require;
  const std::wstring line = qelrestore::fuzz::WideInput(data, size);

  qelrestore::Settings settings;
  settings.backupDirectory = settings.logFilePath = settings.backgroundFlag =
      settings.keepCurrentDbProperties = kUntouched;
  qelrestore::Step step;
  step.At(-1);
  const bool parsed = qelrestore::ParseCommandLine(line, settings, step);

  size_t quotes = 0;
  for (const wchar_t ch : line) quotes += ch == L'"' ? 1 : 0;
  Require(parsed == (quotes >= 2), "the usage outcome exactly when fewer than two quotes");

  if (!parsed) {
    Require(step.now() == 33, "a refused line ends at checkpoint 33");
    Require(settings.backupDirectory == kUntouched && settings.logFilePath == kUntouched &&
                settings.backgroundFlag == kUntouched &&
                settings.keepCurrentDbProperties == kUntouched,
            "a refused line fills nothing");
    return 0;
  }
  Require(step.now() == 35, "a parsed line ends at checkpoint 35");

  const std::vector<std::wstring> expected = NonBlankStretches(line);
  const auto filledWith = [&](const std::wstring& value, size_t position) {
    return position < expected.size() ? value == expected[position] : value == kUntouched;
  };
  Require(filledWith(settings.backupDirectory, 0), "setting 1 is the first non-blank piece");
  if (expected.size() > 1 && IsDefaultWord(expected[1])) {
    Require(settings.logFilePath == kUntouched, "\"default\" keeps the default log");
  } else {
    Require(filledWith(settings.logFilePath, 1), "setting 2 is the second non-blank piece");
  }
  Require(filledWith(settings.backgroundFlag, 2), "setting 3 is the third non-blank piece");
  Require(filledWith(settings.keepCurrentDbProperties, 3),
          "setting 4 is the fourth non-blank piece");
  return 0;
}
