// Input file number 1 fed any bytes. The first input byte chooses how the file arrives: whole, or
// in short reads of varying sizes; the items must not depend on where the reads end. Every item
// obeys the item rules, the reader always moves forward, and the end is error 62.
#include <string>
#include <vector>

#include "config/sequential_input.h"
#include "fuzz/contract.h"
#include "fuzz/memory_host.h"
#include "support/error.h"

namespace {

using qelrestore::fuzz::Require;

std::vector<std::wstring> ReadAllItems(std::string_view bytes, std::vector<size_t> readSizes) {
  qelrestore::fuzz::MemoryFiles files(bytes, std::move(readSizes));
  qelrestore::SequentialInput input(files);
  input.Open(L"C:\\fuzz\\input.txt");
  std::vector<std::wstring> items;
  while (!input.AtEnd()) {
    items.push_back(input.ReadItem());
    // Each item takes at least one byte of the file.
    Require(items.size() <= bytes.size(), "the reader moves forward");
  }
  try {
    input.ReadItem();
    Require(false, "reading past the end fails");
  } catch (const qelrestore::Error& error) {
    Require(error.code() == qelrestore::code::kInputPastEnd, "reading past the end is error 62");
  }
  input.Close();
  return items;
}

bool HoldsAny(const std::wstring& text, const wchar_t* characters) {
  return text.find_first_of(characters) != std::wstring::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes = qelrestore::fuzz::Bytes(data + 1, size - 1);

  const std::vector<std::wstring> items = ReadAllItems(bytes, {});
  size_t separators = 0;
  size_t itemCharacters = 0;
  for (const char ch : bytes) separators += ch == ',' || ch == '\r' || ch == '\n' ? 1 : 0;
  for (const std::wstring& item : items) {
    itemCharacters += item.size();
    // Only a quoted item can hold a separator or start with a blank, and a quoted one never holds
    // a double quote.
    if (HoldsAny(item, L",\r\n") || (!item.empty() && (item[0] == L' ' || item[0] == L'\t'))) {
      Require(!HoldsAny(item, L"\""), "a quoted item holds no double quote");
    }
    Require(item.empty() || item[0] != L'"', "no item starts with a double quote");
  }
  Require(items.size() <= separators + 1, "at most one item more than separators");
  Require(itemCharacters <= bytes.size(), "items are never longer than the file");

  // Read sizes from 1 up to a bound the first byte picks, so reads end in every kind of place:
  // between CR and LF, inside a quoted item, just after a quote.
  const size_t bound = 1 + data[0] % 16u;
  std::vector<size_t> readSizes;
  for (size_t n = 1; n <= bound; ++n) readSizes.push_back(n);
  Require(ReadAllItems(bytes, readSizes) == items, "items do not depend on read boundaries");
  return 0;
}
