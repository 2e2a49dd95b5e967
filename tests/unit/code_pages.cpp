#include "tests/unit/code_pages.h"

#ifdef _WIN32
#include <cstdlib>

#include "host/windows/windows_api.h"
#else
#include <iconv.h>
#endif

namespace qelrestore::test {

#ifdef _WIN32
namespace {

bool IsWide(std::string_view name) {
  return name == "UTF-16LE" || name == "WCHAR_T";
}

UINT CodePage(std::string_view name) {
  if (name == "UTF-8") return CP_UTF8;
  return static_cast<UINT>(std::strtoul(std::string(name.substr(2)).c_str(), nullptr, 10));
}

}  // namespace

// Windows has no iconv: through UTF-16 with the system's own conversions, which fail (rather
// than put in a stand-in character) where iconv does.
std::string Convert(std::string_view bytes, const char* from, const char* to) {
  std::wstring wide;
  if (IsWide(from)) {
    wide.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  } else if (!bytes.empty()) {
    const int size = static_cast<int>(bytes.size());
    const int length =
        ::MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (length == 0) return {};
    wide.resize(static_cast<size_t>(length));
    ::MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(),
                          length);
  }
  if (IsWide(to)) {
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  }
  if (wide.empty()) return {};
  const UINT page = CodePage(to);
  BOOL defaulted = FALSE;
  BOOL* const defaultedAt = page == CP_UTF8 ? nullptr : &defaulted;
  const DWORD flags = page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int size = static_cast<int>(wide.size());
  const int length =
      ::WideCharToMultiByte(page, flags, wide.data(), size, nullptr, 0, nullptr, defaultedAt);
  if (length == 0 || defaulted) return {};
  std::string out(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(page, flags, wide.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}
#else
std::string Convert(std::string_view bytes, const char* from, const char* to) {
  const iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in(bytes);
  std::string out(in.size() * 4 + 4, '\0');
  char* inAt = in.data();
  char* outAt = out.data();
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  const size_t done = iconv(converter, &inAt, &inLeft, &outAt, &outLeft);
  iconv_close(converter);
  if (done == static_cast<size_t>(-1)) return {};
  out.resize(out.size() - outLeft);
  return out;
}
#endif

}  // namespace qelrestore::test
