// floor_walk: the least a walk of qmail's queue can do, as the yardstick for lagwatch's walk.
//
//   floor_walk QUEUE_DIR [AGE [LASTRUN]]
//
// Lists info/ and each of its split directories with getdents64 (a 32 KiB buffer, as the C
// library's readdir uses) and reads one status per entry with fstatat relative to the split
// directory's descriptor. It decides each message the way lagwatch does (due when
// LASTRUN < mtime + AGE <= now) and prints the counts, so that it cannot skip the work. It opens
// no info file: with no due message, that is all a walk needs.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

[[noreturn]] void die(const char* what, const char* name) {
  std::fprintf(stderr, "floor_walk: %s %s: %s\n", what, name, std::strerror(errno));
  std::exit(111);
}

// Reads the decimal number `text`; ends the program with a usage message when it is not one.
long long number_or_die(const char* text) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0) {
    std::fprintf(stderr, "%s: not a number: %s\n", "floor_walk", text);
    std::exit(2);
  }
  return value;
}

alignas(8) char split_buffer[32768];
alignas(8) char info_buffer[32768];

struct Counts {
  unsigned long long messages;
  unsigned long long due;
};

void walk_split(int infofd, const char* split, long long age, long long lastrun, long long now,
                Counts* counts) {
  int fd = openat(infofd, split, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("cannot open", split);
  for (;;) {
    long n = syscall(SYS_getdents64, fd, split_buffer, sizeof split_buffer);
    if (n < 0) die("cannot list", split);
    if (n == 0) break;
    for (long off = 0; off < n;) {
      auto* e = reinterpret_cast<linux_dirent64*>(split_buffer + off);
      off += e->d_reclen;
      if (e->d_name[0] == '.') continue;
      struct stat st;
      if (fstatat(fd, e->d_name, &st, 0) != 0) die("cannot stat", e->d_name);
      ++counts->messages;
      long long expiry = static_cast<long long>(st.st_mtime) + age;
      if (expiry <= now && expiry > lastrun) ++counts->due;
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: floor_walk QUEUE_DIR [AGE [LASTRUN]]\n");
    return 2;
  }
  long long age = argc > 2 ? number_or_die(argv[2]) : 14400;
  long long lastrun = argc > 3 ? number_or_die(argv[3]) : 0;
  long long now = time(nullptr);
  if (chdir(argv[1]) != 0) die("cannot enter", argv[1]);
  int infofd = open("info", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (infofd < 0) die("cannot open", "info");
  Counts counts{};
  for (;;) {
    long n = syscall(SYS_getdents64, infofd, info_buffer, sizeof info_buffer);
    if (n < 0) die("cannot list", "info");
    if (n == 0) break;
    for (long off = 0; off < n;) {
      auto* e = reinterpret_cast<linux_dirent64*>(info_buffer + off);
      off += e->d_reclen;
      if (e->d_name[0] == '.') continue;
      walk_split(infofd, e->d_name, age, lastrun, now, &counts);
    }
  }
  close(infofd);
  std::printf("floor_walk: %llu messages, %llu due\n", counts.messages, counts.due);
  return 0;
}
