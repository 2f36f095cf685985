// gen_queue: writes a qmail-like queue for the benchmarks.
//
//   gen_queue [options] QUEUE_DIR COUNT
//   gen_queue --touch QUEUE_DIR
//
// The queue looks like what qmail leaves behind during a spam wave or an outage: 23 split
// directories in info/, local/, remote/ and mess/, messages named by decimal numbers that stand
// for the inode numbers qmail uses (each in split name % 23), an info file "F" + sender + NUL,
// recipient lists of "T"/"D" records, and a message text of a few kilobytes. The info file's
// modification time dates the message, so it decides which messages a run finds due.
//
// Options:
//   --due N          exactly N of the COUNT messages, spread evenly, are due for a run with the
//                    default threshold and no run file (info mtime older than --age); the others
//                    are at most one hour old. Default 0.
//   --age SECONDS    the threshold the due messages are older than. Default 14400.
//   --mess-size B    every message text is B bytes (default: 1.5 to 7.5 KB, varying).
//   --no-bounces     every sender is an ordinary address, so every due message gets a notice
//                    (by default some messages are bounces, which get none).
//   --info-only      write only info/ (the walk reads nothing else); much less disk.
//   --touch          rewrite the mtimes of an existing queue so that no message is due: each info
//                    file gets now - (name % 3600). Queues generated earlier are reusable this way.
//
// QUEUE_DIR must not exist yet, or be empty; it is created with its subdirectories.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int kSplits = 23;

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "gen_queue: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(111);
}

[[noreturn]] void usage() {
  std::fprintf(
      stderr,
      "usage: gen_queue [--due N] [--age S] [--mess-size B] [--no-bounces] [--info-only] DIR "
      "COUNT\n"
      "       gen_queue --touch DIR\n");
  std::exit(2);
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) die("cannot create", path);
}

int open_dir(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("cannot open", path);
  return fd;
}

void write_file(int dirfd, const char* name, const char* data, size_t size,
                const std::string& where) {
  int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) die("cannot create", where + "/" + name);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("cannot write", where + "/" + name);
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) die("cannot close", where + "/" + name);
}

void set_mtime(int dirfd, const char* name, time_t mtime, const std::string& where) {
  struct timespec times[2];
  times[0].tv_sec = mtime;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (utimensat(dirfd, name, times, 0) != 0) die("cannot set the time of", where + "/" + name);
}

// A cheap, repeatable mix of a number, so that sizes and senders vary without a random source.
uint32_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb3f99fb50d2bULL;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

// Distinct names of inode-number size: 13 is prime to 23, so consecutive messages go round the
// splits evenly, as qmail's inode numbers do.
uint64_t message_name(uint64_t i) { return 1000003 + i * 13; }

// Mostly ordinary senders; with bounces, one message in 20 is a bounce (qmail gives its own
// bounces the empty sender) and one in 100 a double bounce (sender "#@[]").
std::string sender_of(uint64_t i, bool bounces) {
  uint32_t h = mix(i);
  if (bounces && h % 20 == 0) return "";
  if (bounces && h % 100 == 1) return "#@[]";
  return "user" + std::to_string(h % 99991) + "@sender" + std::to_string(h % 97) + ".example.com";
}

void append_record(std::string* list, char state, const std::string& address) {
  list->push_back(state);
  *list += address;
  list->push_back('\0');
}

// Text that a message body is cut from: mail-like lines, LF ends.
std::string filler_text(size_t size) {
  std::string text;
  text.reserve(size + 128);
  uint64_t line = 0;
  while (text.size() < size) {
    text += "Line " + std::to_string(line) +
            " of a message body that says nothing in particular, at some length.\n";
    ++line;
  }
  text.resize(size);
  return text;
}

std::string message_text(uint64_t i, const std::string& sender, size_t size,
                         const std::string& filler) {
  std::string text = "Received: (qmail 4242 invoked by uid 1000); 9 Dec 2026 06:00:00 -0000\n";
  text += "From: <" + sender + ">\nTo: <rcpt" + std::to_string(i) +
          "@remote.example.net>\nSubject: benchmark message " + std::to_string(i) +
          "\nMessage-ID: <" + std::to_string(i) + "@sender.example.com>\n\n";
  if (text.size() >= size) {
    text.resize(size);
  } else {
    text.append(filler, 0, size - text.size());
  }
  return text;
}

struct Options {
  uint64_t count;
  uint64_t due;
  long long age;
  long long mess_size;  // 0: varying
  bool info_only;
  bool no_bounces;
  bool touch;
  std::string dir;
};

Options parse_options(int argc, char** argv) {
  Options o{};
  o.age = 14400;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> long long {
      if (i + 1 >= argc) usage();
      char* end = nullptr;
      long long v = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || v < 0) usage();
      return v;
    };
    if (a == "--due") {
      o.due = static_cast<uint64_t>(value());
    } else if (a == "--age") {
      o.age = value();
    } else if (a == "--mess-size") {
      o.mess_size = value();
    } else if (a == "--no-bounces") {
      o.no_bounces = true;
    } else if (a == "--info-only") {
      o.info_only = true;
    } else if (a == "--touch") {
      o.touch = true;
    } else {
      usage();
    }
  }
  if (o.touch) {
    if (argc - i != 1) usage();
    o.dir = argv[i];
    return o;
  }
  if (argc - i != 2) usage();
  o.dir = argv[i];
  char* end = nullptr;
  o.count = std::strtoull(argv[i + 1], &end, 10);
  if (*end != '\0' || o.count == 0 || o.due > o.count) usage();
  return o;
}

// Every info file of the queue gets now - (name % 3600): at most an hour old, so that no message
// is due for a run with a threshold above an hour. Names that are not numbers are left alone.
int touch_queue(const std::string& dir) {
  time_t now = time(nullptr);
  std::string info = dir + "/info";
  uint64_t touched = 0;
  for (int s = 0; s < kSplits; ++s) {
    std::string split = info + "/" + std::to_string(s);
    int fd = open_dir(split);
    DIR* d = fdopendir(fd);
    if (d == nullptr) die("cannot read", split);
    errno = 0;
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char* end = nullptr;
      uint64_t name = std::strtoull(e->d_name, &end, 10);
      if (*end != '\0') continue;
      set_mtime(fd, e->d_name, now - static_cast<time_t>(name % 3600), split);
      ++touched;
      errno = 0;
    }
    if (errno != 0) die("cannot read", split);
    closedir(d);
  }
  std::printf("gen_queue: touched %llu info files in %s\n",
              static_cast<unsigned long long>(touched), dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  if (o.touch) return touch_queue(o.dir);

  time_t now = time(nullptr);
  const char* subdirs[] = {"info", "local", "remote", "mess"};
  const int used_subdirs = o.info_only ? 1 : 4;
  make_dir(o.dir);
  for (const char* flat : {"todo", "intd", "bounce", "pid", "lock"}) make_dir(o.dir + "/" + flat);
  int fds[4][kSplits];
  for (int k = 0; k < 4; ++k) {
    make_dir(o.dir + "/" + subdirs[k]);
    for (int s = 0; s < kSplits; ++s) {
      std::string path = o.dir + "/" + subdirs[k] + "/" + std::to_string(s);
      make_dir(path);
      fds[k][s] = k < used_subdirs ? open_dir(path) : -1;
    }
  }

  const size_t max_mess = o.mess_size > 0 ? static_cast<size_t>(o.mess_size) : 7680;
  const std::string filler = filler_text(max_mess);
  uint64_t due_written = 0;
  for (uint64_t i = 0; i < o.count; ++i) {
    const uint64_t name_number = message_name(i);
    const int split = static_cast<int>(name_number % kSplits);
    const std::string name = std::to_string(name_number);
    const std::string sender = sender_of(i, !o.no_bounces);
    const uint32_t h = mix(i ^ 0x5bd1e995);

    // Info file: "F" + sender + NUL, nothing else.
    std::string info = "F" + sender;
    info.push_back('\0');
    const std::string info_dir = o.dir + "/info/" + std::to_string(split);
    write_file(fds[0][split], name.c_str(), info.data(), info.size(), info_dir);

    // Message i is due when the count of due messages steps between i and i + 1: exactly o.due
    // messages, spread over the whole queue.
    const bool due = (i * o.due) / o.count != ((i + 1) * o.due) / o.count;
    time_t mtime = due ? now - o.age - 60 - static_cast<time_t>(h % 600)
                       : now - static_cast<time_t>(name_number % 3600);
    set_mtime(fds[0][split], name.c_str(), mtime, info_dir);
    if (due) ++due_written;
    if (o.info_only) continue;

    // Recipients: most mail waits for remote hosts; some for local delivery, some for both. A
    // message with several recipients may have some done ("D") while others wait ("T"); every
    // message keeps at least one "T", as qmail deletes a list whose recipients are all done.
    std::string remote;
    std::string local;
    const uint32_t kind = h % 10;
    const int recipients = 1 + static_cast<int>((h >> 8) % 3);
    for (int r = 0; r < recipients; ++r) {
      // Mixed messages keep every record "T", so that neither of their lists is all done.
      const bool may_be_done = kind != 9 && r != recipients - 1;
      const char state = may_be_done && ((h >> (12 + r)) & 1) ? 'D' : 'T';
      const std::string who = "rcpt" + std::to_string(i) + "." + std::to_string(r);
      if (kind < 7 || (kind == 9 && r % 2 == 0)) {
        append_record(&remote, state, who + "@remote" + std::to_string(h % 89) + ".example.net");
      } else {
        append_record(&local, state, who);
      }
    }
    if (!remote.empty()) {
      write_file(fds[2][split], name.c_str(), remote.data(), remote.size(),
                 o.dir + "/remote/" + std::to_string(split));
    }
    if (!local.empty()) {
      write_file(fds[1][split], name.c_str(), local.data(), local.size(),
                 o.dir + "/local/" + std::to_string(split));
    }

    const size_t mess_size =
        o.mess_size > 0 ? static_cast<size_t>(o.mess_size) : 1536 + (h >> 4) % 6145;
    const std::string mess = message_text(i, sender, mess_size, filler);
    write_file(fds[3][split], name.c_str(), mess.data(), mess.size(),
               o.dir + "/mess/" + std::to_string(split));
  }
  for (auto& row : fds) {
    for (int fd : row) {
      if (fd >= 0) close(fd);
    }
  }
  std::printf("gen_queue: %llu messages (%llu due) in %s%s\n",
              static_cast<unsigned long long>(o.count),
              static_cast<unsigned long long>(due_written), o.dir.c_str(),
              o.info_only ? " (info only)" : "");
  return 0;
}
