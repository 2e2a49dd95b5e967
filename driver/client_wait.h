// How long the run waits for the SQL client: QELRESTORE_CLIENT_WAIT, in whole seconds.
#pragma once

#include <cstdint>
#include <optional>

#include "host/host.h"

namespace qelrestore {

inline constexpr int32_t kDefaultClientWaitSeconds = 5;

inline constexpr wchar_t kClientWaitMessage[] =
    L"QELRESTORE_CLIENT_WAIT must be a whole number of seconds (0 waits until the SQL client "
    L"ends)";

// The seconds QELRESTORE_CLIENT_WAIT asks for (0: until the client ends), the default when it is
// not set, or nothing when it is not 1 to 9 digits.
std::optional<int32_t> ReadClientWait(Host& host);

}  // namespace qelrestore
