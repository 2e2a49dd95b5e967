// What a killed copy leaves behind: the temporary files its entries were being written to, one
// per worker at most, beside their destinations. A later run finds them in the folders it visits
// and removes them, so that they do not stay in the installation for good.
#pragma once

#include <cstdint>

namespace qelrestore::posix {

// The copy's temporary files in the open folder `folder`: named ".qelrestore-" and six letters or
// digits, regular files, owned by the running account and private to it, as the copy makes them
// (another account's file of such a name is not the copy's). Removes them unless `countOnly`;
// returns how many there are. A folder that cannot be listed has none.
uint64_t RemoveLeftovers(int folder, bool countOnly = false);

}  // namespace qelrestore::posix
