#include "tests/windows/windows_toolkit.h"

#include <cstdlib>

#include "support/error.h"

namespace qelrestore::test {

int32_t CodeThrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.code();
  }
  return 0;
}

std::string Content(Host& host, const std::wstring& path) {
  std::string text;
  try {
    const auto reader = host.OpenForInput(path);
    char buffer[256];
    for (size_t got; (got = reader->Read(buffer, sizeof buffer)) != 0;) text.append(buffer, got);
  } catch (const Error&) {
  }
  return text;
}

void WindowsHostTest::SetUp() {
  const wchar_t* prepared = _wgetenv(L"QEL_HOST_CHECK_FILES");
  const wchar_t* client = _wgetenv(L"QEL_HOST_CHECK_STANDIN");
  ASSERT_TRUE(prepared != nullptr && client != nullptr)
      << "run by tests/wine/run_wine_tests.sh, which prepares the files and names them";
  files = prepared;
  standin = client;
}

}  // namespace qelrestore::test
