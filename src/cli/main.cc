#include "cli/options.h"

// The process's exit status is whatever the entry decides: 0 for a run or for help, 1 for a
// usage error, or the run's own status. Fatal failures end the process inside the run.
int main(int argc, char** argv) { return lagwatch::program_main(argc, argv); }
