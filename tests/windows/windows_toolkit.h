// What the Windows host's tests share. They run on a real (wine) system prepared by
// tests/wine/run_wine_tests.sh: a registry key, a folder of files, and the environment that
// names them (QEL_HOST_CHECK_FILES, QEL_HOST_CHECK_STANDIN).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "host/host.h"
#include "host/windows/windows_host.h"

namespace qelrestore::test {

// The key run_wine_tests.sh fills in the 64-bit view only: Long (3000 characters), Empty (binary
// without bytes), LookAlike (C:\qel\<fullwidth t>ools).
inline constexpr wchar_t kCheckKey[] = L"SOFTWARE\\QelHostCheck";

// The code of the Error `action` throws; 0 when it throws none.
int32_t CodeThrown(const std::function<void()>& action);

// The content of a file, read through the host; empty when it cannot be read.
std::string Content(Host& host, const std::wstring& path);

// The entries a folder copy (or its plan) named as not copied, "PATH: REASON|" each.
template <typename Outcome>
std::wstring NotCopiedText(const Outcome& copy) {
  std::wstring named;
  for (const auto& entry : copy.notCopied) named += entry.path + L": " + entry.reason + L"|";
  return named;
}

// A test on the prepared system: fails at once when the script's environment is missing.
class WindowsHostTest : public testing::Test {
 protected:
  void SetUp() override;

  // An unattended run's host: no box may wait for anybody.
  windows::WindowsHost host{L"host checks", windows::ClientWindow::kNormal, true};
  std::wstring files;    // the prepared folder, a Windows path
  std::wstring standin;  // the stand-in SQL client
};

}  // namespace qelrestore::test
