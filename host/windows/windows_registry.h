// The registry of the Windows form: one value below HKEY_LOCAL_MACHINE, read through the ANSI
// registry functions in the view asked for.
#pragma once

#include <string>

#include "host/host.h"

namespace qelrestore::windows {

// Opens `keyPath` with KEY_READ in `view` and reads `valueName`. The key's absence and a refused
// open are answers; so is the value's absence. Throws error 75 when the value keeps growing while
// it is read, and a mapped error when the registry refuses the read for another reason.
RegistryAnswer ReadRegistry(RegistryView view, const std::wstring& keyPath,
                            const std::wstring& valueName);

}  // namespace qelrestore::windows
