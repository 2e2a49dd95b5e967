// Whether this build checks every access (the address or thread sanitizer). Inputs at scale are
// cut down there to a size that still crosses the same limit: the plain build runs them whole.
#pragma once

namespace qelrestore::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace qelrestore::test
