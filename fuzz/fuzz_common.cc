#include "fuzz_common.h"

#include <fcntl.h>
#include <ftw.h>
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

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "fuzz: property broken: %s\n", what);
  abort();
}

}  // namespace lagwatch::fuzz
