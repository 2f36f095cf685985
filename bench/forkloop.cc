// forkloop: the floor for one injector process per notice.
//
//   forkloop INJECTOR COUNT [BYTES]
//
// COUNT times: creates a pipe, forks, execs INJECTOR with the argument vector lagwatch gives
// qmail-inject ("-f", "", "-a", sender) and the pipe's read end as standard input, writes BYTES
// bytes into the pipe (default 0: nothing), closes it, and waits for the child, which must exit 0.
// The same fork, pipe, exec and wait that lagwatch does per notice, without anything else.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "forkloop: %s: %s\n", what, std::strerror(errno));
  std::exit(111);
}

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("cannot write to the injector");
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Reads the decimal number `text`; ends the program with a usage message when it is not one.
long long number_or_die(const char* text) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0) {
    std::fprintf(stderr, "%s: not a number: %s\n", "forkloop", text);
    std::exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: forkloop INJECTOR COUNT [BYTES]\n");
    return 2;
  }
  const char* injector = argv[1];
  const long long count = number_or_die(argv[2]);
  const long long bytes = argc > 3 ? number_or_die(argv[3]) : 0;
  if (count < 0 || bytes < 0) {
    std::fprintf(stderr, "forkloop: COUNT and BYTES cannot be negative\n");
    return 2;
  }
  std::vector<char> payload(static_cast<size_t>(bytes), 'x');
  for (long long i = 0; i < count; ++i) {
    int fds[2];
    if (pipe(fds) != 0) die("cannot create a pipe");
    pid_t pid = fork();
    if (pid < 0) die("cannot fork");
    if (pid == 0) {
      close(fds[1]);
      close(0);
      if (dup2(fds[0], 0) != 0) _exit(111);
      close(fds[0]);
      execl(injector, injector, "-f", "", "-a", "user1@sender1.example.com",
            static_cast<char*>(nullptr));
      _exit(111);
    }
    close(fds[0]);
    write_all(fds[1], payload.data(), payload.size());
    if (close(fds[1]) != 0) die("cannot close the pipe");
    int status = 0;
    while (waitpid(pid, &status, WUNTRACED) < 0) {
      if (errno != EINTR) die("cannot wait");
    }
    if (status != 0) {
      std::fprintf(stderr, "forkloop: injector ended with status word %d\n", status);
      return 111;
    }
  }
  return 0;
}
