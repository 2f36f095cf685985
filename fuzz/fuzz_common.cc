#include "fuzz_common.h"

#include <fcntl.h>
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

std::string make_scratch_dir(const char* tag) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                        "/lagwatch-fuzz-" + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fprintf(stderr, "fuzz: cannot create %s: %s\n", pattern.c_str(), strerror(errno));
    abort();
  }
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
