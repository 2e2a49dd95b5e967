#include "driver/command_line.h"

#include "support/checkpoints.h"
#include "support/text.h"

namespace qelrestore {

bool ParseCommandLine(const std::wstring& commandLine, Settings& settings, Step& step) {
  step.At(checkpoint::kSplitCommandLine);
  const std::vector<std::wstring> pieces = Split(commandLine, L'"');
  step.At(checkpoint::kCountPieces);
  if (pieces.size() < 3) return false;

  step.At(checkpoint::kTakeArguments);
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
