// The POSIX program: one run of the restore on the POSIX host.
#include "driver/program.h"
#include "host/posix/posix_host.h"

int main(int argc, char** argv) {
  qelrestore::posix::PosixHost host(argc, argv);
  return qelrestore::RunProgram(host);
}
