// Everything the restore logic needs of the machine it runs on, named after what the restore does
// with it, one interface for each role. The logic talks to nothing else: host/windows and
// host/posix provide it, and the unit tests script a fake. Each step takes only the roles it uses;
// the whole Host goes only to the run's driver. Paths are the logic's own Windows texts
// (backslashes); a host converts them at each operating-system call.
//
// Failure convention: a method that can fail throws qelrestore::Error with the code of the
// failure (53 file not found, 76 path not found, 70 permission denied, 75 path/file access error,
// 61 disk full, 57 device I/O error) and a description that names the path, unless its comment
// says it reports failure in its result.
#pragma once

#include "host/clock.h"
#include "host/console.h"
#include "host/environment.h"
#include "host/files.h"
#include "host/folder_copy.h"
#include "host/input_files.h"
#include "host/processes.h"
#include "host/registry.h"
#include "host/text_stream.h"
#include "host/undo_set.h"

namespace qelrestore {

class Host : public Console,
             public Clock,
             public Environment,
             public Files,
             public FolderCopier,
             public Registry,
             public Processes,
             public UndoKeeper {};

}  // namespace qelrestore
