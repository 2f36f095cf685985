// The soak's stand-in for qmail-inject. It reads the whole notice from standard input and
// records it, with its argument vector and the number of the run that started it, as one file
// in <sandbox>/notices: written under a name beginning with "." and then renamed, so that the
// soak never reads a half-written record. The rename is its last act before it exits, so a
// record stands for the exit status its name gives:
// - "n-..." the notice was accepted: the injector exits 0 right after the rename;
// - "f-..." a temporary failure: the injector exits 111, on one call in N at random, N being
//   the number in <sandbox>/fail-one-in (never when that file is missing); the notice counts
//   as not sent;
// - "o-..." accepted like "n-", but the program that started the injector had died by then:
//   the injector outlived it, which must never happen.
// lagwatch starts it with an empty environment, so the run's number comes from
// <sandbox>/runs/PID, which the soak writes for each start of the program, PID being the
// program's process id, this process's parent.
//
// Record format: "run=" + the run's number + "\n", "argc=" + N + "\n", each argument + "\n",
// "\n", then the notice's bytes exactly as read.
//
// Any fault of its own ends it with status 97 and a line on standard error, which the soak
// then reports as a run with an unexpected outcome.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// The content of the file `path`, up to 63 bytes; "" when it does not exist.
std::string read_small_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1 && errno == ENOENT) return "";
  if (fd == -1) give_up("open a file of the soak");
  char buffer[64];
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer - 1);
  } while (n == -1 && errno == EINTR);
  if (n == -1) give_up("read a file of the soak");
  close(fd);
  return std::string(buffer, static_cast<size_t>(n));
}

// True for about one call in `one_in` (never when it is below 1). The draw mixes the process
// id and the clock, so that the calls of a run and of different runs draw independently.
bool draw_failure(int one_in, const struct timespec& ts) {
  if (one_in < 1) return false;
  uint64_t x = (static_cast<uint64_t>(getpid()) << 32) ^
               static_cast<uint64_t>(ts.tv_sec * 1000000000LL + ts.tv_nsec);
  // splitmix64's finaliser: every input bit reaches every output bit.
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x % static_cast<uint64_t>(one_in) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The parent now, before anything else: the program that started this process, unless it
  // died before.
  const pid_t parent = getppid();
  const std::string sandbox = LAGWATCH_SOAK_SANDBOX;
  const std::string dir = sandbox + "/notices";
  std::string run = read_small_file(sandbox + "/runs/" + std::to_string(parent));
  const bool known = !run.empty();
  if (!known) run = "0";
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
  const bool fail = draw_failure(std::atoi(read_small_file(sandbox + "/fail-one-in").c_str()), ts);
  const std::string name =
      std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "-" + std::to_string(ts.tv_nsec);
  const std::string tmp = dir + "/." + name;
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
  // Asked last, just before the rename: an injector whose program died is reparented by now,
  // and one killed with it never gets here.
  const bool orphan = !known || getppid() != parent;
  const char* prefix = fail ? "/f-" : orphan ? "/o-" : "/n-";
  if (rename(tmp.c_str(), (dir + prefix + name).c_str()) != 0) {
    give_up("rename the record");
  }
  return fail ? 111 : 0;
}
