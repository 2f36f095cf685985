// inject_sink: the least an injector can be. Reads standard input to its end, keeps nothing, and
// exits 0 (111 when the read fails), whatever its arguments. Installed as the benchmark sandbox's
// bin/qmail-inject, so that the notice benchmark measures lagwatch's side of each notice and the
// one process per notice that qmail's design asks for, not qmail's queueing.

#include <unistd.h>

#include <cerrno>

int main() {
  static char buffer[65536];
  for (;;) {
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno != EINTR) return 111;
  }
}
