// timeit: runs one command and reports its wall time and peak resident memory.
//
//   timeit [-C DIR] [-o FILE] COMMAND [ARG...]
//
// The command runs with standard input from /dev/null, standard output into FILE (default
// /dev/null) and standard error inherited, in DIR when given. timeit prints one line:
//   "<seconds> <peak RSS in KiB> <exit status>"
// The seconds come from the monotonic clock around fork and wait; the peak RSS from wait4's
// resource usage of the child (ru_maxrss). The kernel counts in that figure the forked copy of
// timeit itself before the exec, so timeit is linked statically and stays small: its few hundred
// KiB are below any C++ program's, and a maximum is taken, not a sum.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void die(const char* what, const char* name) {
  std::fprintf(stderr, "timeit: %s %s: %s\n", what, name, std::strerror(errno));
  std::exit(111);
}

double seconds_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = nullptr;
  const char* output = "/dev/null";
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "-C") == 0) {
      dir = argv[i + 1];
    } else if (std::strcmp(argv[i], "-o") == 0) {
      output = argv[i + 1];
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "usage: timeit [-C DIR] [-o FILE] COMMAND [ARG...]\n");
    return 2;
  }
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in < 0) die("cannot open", "/dev/null");
  int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) die("cannot open", output);

  double start = seconds_now();
  pid_t pid = fork();
  if (pid < 0) die("cannot fork for", argv[i]);
  if (pid == 0) {
    if (dir != nullptr && chdir(dir) != 0) die("cannot enter", dir);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) die("cannot redirect for", argv[i]);
    execvp(argv[i], argv + i);
    die("cannot run", argv[i]);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("cannot wait for", argv[i]);
  }
  double elapsed = seconds_now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%.6f %ld %d %.6f\n", elapsed, usage.ru_maxrss, code, cpu);
  return 0;
}
