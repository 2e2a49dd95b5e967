#include "config/client_families.h"

#include <iterator>

namespace qelrestore {

std::wstring NoneOfTheProviders() {
  constexpr size_t kCount = std::size(kClientFamilies);
  if (kCount == 1) return std::wstring(L"not ") + kClientFamilies[0].provider;
  std::wstring text = L"neither ";
  for (size_t i = 0; i < kCount; ++i) {
    if (i > 0) text += i + 1 == kCount ? L" nor " : L", ";
    text += kClientFamilies[i].provider;
  }
  return text;
}

}  // namespace qelrestore
