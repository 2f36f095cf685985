// The soak's stand-in for qmail-inject. It reads the whole notice from standard input and
// records it, with its argument vector and the number of the run that started it, as one file
// in the directory named by SOAK_NOTICES: written under a name beginning with "." and then
// renamed, so that the soak never reads a half-written record. The rename is its last act
// before it exits, so a record stands for the exit status its name gives:
// - "n-..." the notice was accepted: the injector exits 0 right after the rename;
// - "f-..." a temporary failure: the injector exits 111 (one call in SOAK_FAIL_ONE_IN, at
//   random; never when the variable is unset), and the notice counts as not sent;
// - "o-..." accepted like "n-", but the program that started the injector (SOAK_PROGRAM_PID)
//   was no longer its parent: the injector outlived the program, which must never happen.
//
// Record format: "run=" + SOAK_RUN + "\n", "argc=" + N + "\n", each argument + "\n", "\n", then
// the notice's bytes exactly as read.
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

namespace {

[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "soak qmail-inject: %s: %s\n", what, std::strerror(errno));
  std::exit(97);
}

// True for about one call in SOAK_FAIL_ONE_IN. The draw mixes the soak's seed, the process id
// and the clock, so that calls of the same run and of different runs draw independently.
bool draw_failure(const struct timespec& ts) {
  const char* one_in = std::getenv("SOAK_FAIL_ONE_IN");
  const char* seed = std::getenv("SOAK_SEED");
  if (one_in == nullptr || std::atoi(one_in) < 1) return false;
  uint64_t x = (seed == nullptr ? 0 : std::strtoull(seed, nullptr, 10)) ^
               (static_cast<uint64_t>(getpid()) << 32) ^
               static_cast<uint64_t>(ts.tv_sec * 1000000000LL + ts.tv_nsec);
  // splitmix64's finaliser: every input bit reaches every output bit.
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x % static_cast<uint64_t>(std::atoi(one_in)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = std::getenv("SOAK_NOTICES");
  const char* run = std::getenv("SOAK_RUN");
  const char* program_pid = std::getenv("SOAK_PROGRAM_PID");
  if (dir == nullptr || run == nullptr) {
    errno = EINVAL;
    give_up("SOAK_NOTICES and SOAK_RUN must be set");
  }
  std::string record = std::string("run=") + run + "\nargc=" + std::to_string(argc) + "\n";
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
  const bool fail = draw_failure(ts);
  const std::string name =
      std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "-" + std::to_string(ts.tv_nsec);
  const std::string tmp = std::string(dir) + "/." + name;
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
  // Asked last, just before the rename: a program that died earlier has its injector
  // reparented by now, and one killed with it never gets here.
  const bool orphan =
      program_pid != nullptr && getppid() != static_cast<pid_t>(std::atoi(program_pid));
  const char* prefix = fail ? "/f-" : orphan ? "/o-" : "/n-";
  if (rename(tmp.c_str(), (std::string(dir) + prefix + name).c_str()) != 0) {
    give_up("rename the record");
  }
  return fail ? 111 : 0;
}
