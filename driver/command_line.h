// The four quoted settings of the command line.
#pragma once

#include <cstdint>
#include <string>

#include "support/checkpoints.h"

namespace qelrestore {

// The settings of a run, by command-line position. Each holds the whole piece that filled its
// position, blanks and letter case as typed.
struct Settings {
  std::wstring backupDirectory;                 // 1
  std::wstring logFilePath;                     // 2 ("default" in any case keeps the default)
  std::wstring backgroundFlag = L"N";           // 3 (exactly "N": no boxes for logged messages)
  std::wstring keepCurrentDbProperties = L"N";  // 4 (exactly "Y": keep the current db.properties)
};

inline constexpr wchar_t kUsageMessage[] =
    L"qelRestore.bat backdirectory [outputlog: qelRestorelog.txtDD(default)] "
    L"[backgroud:N(default)] [use back Db.propertis flg:N(default)]";

// Cuts the command-line text at every double quote and fills the settings from the pieces that
// are not blank. Returns false, and fills nothing, when the text holds fewer than two double
// quotes: the caller then shows the usage message. Moves `step` on as it goes (32, 33, 35).
bool ParseCommandLine(const std::wstring& commandLine, Settings& settings, Step& step);

}  // namespace qelrestore
