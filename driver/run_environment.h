// The settings a run takes from its environment: how long it waits for the SQL client
// (QELRESTORE_CLIENT_WAIT) and whether it only shows what it would do (QELRESTORE_DRY_RUN).
#pragma once

#include <cstdint>
#include <optional>

#include "host/environment.h"
#include "host/processes.h"

namespace qelrestore {

inline constexpr int32_t kDefaultClientWaitSeconds = 5;

inline constexpr wchar_t kClientWaitMessage[] =
    L"QELRESTORE_CLIENT_WAIT must be a whole number of seconds (0 waits until the SQL client "
    L"ends)";
inline constexpr wchar_t kDryRunMessage[] =
    L"QELRESTORE_DRY_RUN must be 1 for a dry run, or 0 or empty for a real one";

// The seconds QELRESTORE_CLIENT_WAIT asks for (0: until the client ends), the host's default when
// it is not set, or nothing when it is not 1 to 9 digits.
std::optional<int32_t> ReadClientWait(Environment& environment, Processes& processes);

// Whether QELRESTORE_DRY_RUN asks for a dry run ("1") or a real one (unset, empty or "0");
// nothing for any other value.
std::optional<bool> ReadDryRun(Environment& environment);

}  // namespace qelrestore
