// What the POSIX test binary does when a test re-runs it as a child process:
//   --child=exit:N      exits with status N at once
//   --child=sleep:S     sleeps S seconds (fractions allowed), then exits 0
//   --child=record:FILE writes its arguments (after --child=...), one per line, to FILE, exits 0
//   --child=files:FILE  writes what its descriptors 0, 1 and 2 are and whether SIGPIPE has its
//                       default action to FILE, exits 0
#pragma once

namespace qelrestore::test {

// Runs the child mode named by argv[index]; returns the process's exit status.
int RunChild(int argc, char** argv, int index);

}  // namespace qelrestore::test
