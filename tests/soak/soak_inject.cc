// The soak's stand-in for qmail-inject. It reads the whole notice from standard input and
// records it, with its argument vector and the number of the run that started it, as one file
// in <sandbox>/notices: written under a name beginning with "." and then renamed, so that the
// soak never reads a half-written record. Exits 0 (the notice accepted). lagwatch starts it
// with an empty environment, so the run's number comes from <sandbox>/run-number, which the
// soak writes before each run.
//
// Record format: "run=" + the run's number + "\n", "argc=" + N + "\n", each argument + "\n",
// "\n", then the notice's bytes exactly as read.
//
// Any fault of its own ends it with status 97 and a line on standard error, which the soak
// then reports as a run that did not exit 0.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#ifndef LAGWATCH_SOAK_SANDBOX
#error "LAGWATCH_SOAK_SANDBOX must name the soak's sandbox directory"
#endif

namespace {

[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "soak qmail-inject: %s: %s\n", what, std::strerror(errno));
  std::exit(97);
}

// The content of the file `path`.
std::string read_small_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) give_up("open the run number");
  char buffer[64];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) give_up("read the run number");
  close(fd);
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = LAGWATCH_SOAK_SANDBOX "/notices";
  const std::string run = read_small_file(LAGWATCH_SOAK_SANDBOX "/run-number");
  std::string record = "run=" + run + "\nargc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) record += std::string(argv[i]) + "\n";
  record += "\n";
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n == -1 && errno == EINTR) continue;
    if (n == -1) give_up("read standard input");
    if (n == 0) break;
    record.append(buffer, static_cast<size_t>(n));
  }
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  const std::string name =
      std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "-" + std::to_string(ts.tv_nsec);
  const std::string tmp = std::string(dir) + "/." + name;
  const std::string final_path = std::string(dir) + "/n-" + name;
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd == -1) give_up("create the record");
  size_t done = 0;
  while (done < record.size()) {
    const ssize_t n = write(fd, record.data() + done, record.size() - done);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) give_up("write the record");
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) give_up("close the record");
  if (rename(tmp.c_str(), final_path.c_str()) != 0) give_up("rename the record");
  return 0;
}
