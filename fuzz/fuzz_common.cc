#include "fuzz_common.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lagwatch::fuzz {

byte_source source_of(const uint8_t* data, size_t size) { return byte_source{data, size, 0}; }

bool source_empty(const byte_source* s) { return s->pos >= s->size; }

uint8_t take_u8(byte_source* s) { return s->pos < s->size ? s->data[s->pos++] : 0; }

uint16_t take_u16(byte_source* s) {
  const uint16_t low = take_u8(s);
  const uint16_t high = take_u8(s);
  return static_cast<uint16_t>(low | (high << 8));
}

std::string take_bytes(byte_source* s, size_t n) {
  const size_t left = s->size - s->pos;
  if (n > left) n = left;
  std::string out(reinterpret_cast<const char*>(s->data + s->pos), n);
  s->pos += n;
  return out;
}

std::string take_until(byte_source* s, uint8_t delimiter) {
  const size_t start = s->pos;
  while (s->pos < s->size && s->data[s->pos] != delimiter) ++s->pos;
  std::string out(reinterpret_cast<const char*>(s->data + start), s->pos - start);
  if (s->pos < s->size) ++s->pos;
  return out;
}

std::string take_rest(byte_source* s) { return take_bytes(s, s->size - s->pos); }

namespace {

std::string* scratch_dirs;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  (void)remove(path);
  return 0;
}

// Removes the scratch directories when the fuzzer exits normally.
void remove_scratch_dirs() {
  if (scratch_dirs == nullptr) return;
  size_t start = 0;
  while (start < scratch_dirs->size()) {
    size_t end = scratch_dirs->find('\n', start);
    const std::string dir = scratch_dirs->substr(start, end - start);
    (void)nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    start = end + 1;
  }
}

}  // namespace

std::string make_scratch_dir(const char* tag) {
  // Memory-backed when the system has /dev/shm: the targets rewrite a file for every input,
  // and on a disk file system (with online discard, say) that costs milliseconds each time.
  const char* base = getenv("TMPDIR");
  std::string root = base != nullptr && base[0] == '/' ? base : "/tmp";
  if (base == nullptr && access("/dev/shm", W_OK) == 0) root = "/dev/shm";
  std::string pattern = root + "/lagwatch-fuzz-" + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fprintf(stderr, "fuzz: cannot create %s: %s\n", pattern.c_str(), strerror(errno));
    abort();
  }
  if (scratch_dirs == nullptr) {
    scratch_dirs = new std::string;
    atexit(remove_scratch_dirs);
  }
  *scratch_dirs += pattern + "\n";
  return pattern;
}

void write_file(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) {
    fprintf(stderr, "fuzz: cannot create %s: %s\n", path.c_str(), strerror(errno));
    abort();
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) {
      fprintf(stderr, "fuzz: cannot write %s: %s\n", path.c_str(), strerror(errno));
      abort();
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    fprintf(stderr, "fuzz: cannot close %s: %s\n", path.c_str(), strerror(errno));
    abort();
  }
}

std::string read_file(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  (void)close(fd);
  return out;
}

}  // namespace lagwatch::fuzz

// The bounds of the edge counters that -fsanitize=fuzzer places in the section "__sancov_cntrs",
// defined by the linker (null when there are none).
extern "C" uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern "C" uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));

namespace lagwatch::fuzz {

namespace {

// A shared copy of the edge counters: a child's counters die with it, so it leaves them here
// and the parent merges them into its own before libFuzzer reads those. Without this the code
// that runs in the child would give the fuzzer no guidance.
uint8_t* child_counters;

size_t counter_count() {
  return static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
}

[[noreturn]] void leave_child(int status, void*) {
  if (child_counters != nullptr) memcpy(child_counters, __start___sancov_cntrs, counter_count());
  _exit(status);
}

}  // namespace

int run_in_child(void (*body)(), const char* out_path, const char* err_path) {
  const size_t n = counter_count();
  if (child_counters == nullptr && n > 0) {
    void* shared = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    check(shared != MAP_FAILED, "map the shared counters");
    child_counters = static_cast<uint8_t*>(shared);
  }
  if (child_counters != nullptr) memset(child_counters, 0, n);
  const pid_t pid = fork();
  check(pid != -1, "fork");
  if (pid == 0) {
    // Handlers registered last run first: this one leaves before libFuzzer's and before the
    // leak check. The alarm's default action ends a child that blocks (on a FIFO, say).
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (dup2(open(out_path, flags, 0600), 1) != 1 || dup2(open(err_path, flags, 0600), 2) != 2 ||
        on_exit(leave_child, nullptr) != 0 || signal(SIGALRM, SIG_DFL) == SIG_ERR) {
      _exit(126);
    }
    alarm(5);
    body();
    exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) check(errno == EINTR, "waitpid");
  for (size_t i = 0; child_counters != nullptr && i < n; ++i) {
    if (child_counters[i] > __start___sancov_cntrs[i]) {
      __start___sancov_cntrs[i] = child_counters[i];
    }
  }
  return status;
}

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "fuzz: property broken: %s\n", what);
  abort();
}

void check_same(const std::string& got, const std::string& want, const char* what) {
  if (got == want) return;
  fprintf(stderr, "fuzz: got:\n%s\n--- wanted:\n%s\n---\n", got.c_str(), want.c_str());
  check(false, what);
}

}  // namespace lagwatch::fuzz
