#include "driver/command_line.h"

#include "support/text.h"

namespace qelrestore {

bool ParseCommandLine(const std::wstring& commandLine, Settings& settings, int32_t& checkpoint) {
  checkpoint = 32;
  const std::vector<std::wstring> pieces = Split(commandLine, L'"');
  checkpoint = 33;
  if (pieces.size() < 3) return false;

  checkpoint = 35;
  int filled = 0;
  for (const std::wstring& piece : pieces) {
    // Only the space character makes a piece blank; the value kept is the untrimmed piece.
    if (TrimLeadingSpaces(piece).empty()) continue;
    switch (++filled) {
      case 1:
        settings.backupDirectory = piece;
        break;
      case 2:
        if (ToLowerAscii(piece) != L"default") settings.logFilePath = piece;
        break;
      case 3:
        settings.backgroundFlag = piece;
        break;
      case 4:
        settings.keepCurrentDbProperties = piece;
        break;
      default:
        return true;  // a fifth argument and later ones fill nothing
    }
  }
  return true;
}

}  // namespace qelrestore
