// Fuzzes the queue walk on entries of every type: scan_queue, print-only with -d, on a scratch
// queue whose info/0 holds up to four entries: regular info files (due or not), symbolic links
// to a real regular file, FIFOs, directories. A due message's remote list, local list and text
// are each regular, missing, a link, a FIFO or a directory; its sender may hold control bytes.
//
// Input: a byte (bit 0: -b 0, else the whole text; bits 1-2: entries - 1), then per entry a type
// byte, and for a due one a byte of part types (base 5) and its sender up to a NUL.
//
// The walk runs in a child, since a fatal failure ends the process. Properties: its exit status
// and its exact standard error are those of a model that takes the entries in the order the
// directory yields them (the debug lines; at the first entry opened that is not a regular file,
// its diagnostic and status 111); one notice per message handed on; nothing behind a link is read.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "run/conf.h"
#include "run/run.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

// What stands under a message's name in each directory. In "info" kind 1 is a regular info file
// that is not due: an info entry is never missing.
enum kind : int { REGULAR, MISSING, LINK, FIFO, DIRECTORY };
constexpr int NOT_DUE = MISSING;
const char* const kDirs[] = {"info", "remote", "local", "mess"};
// Behind every link, read as a sender or a recipient record. No byte the walk writes can come
// from an input and show this, since a sender with a control byte is never written.
const char kBait[] = "T\001behind.link";

struct entry {
  int kinds[4];  // in the order of kDirs
  std::string sender;
};

int64_t now;
bool copy_text;                 // -b is not 0
std::vector<std::string> made;  // the paths the last input made, removed before the next

// Appends what the walk writes for `e`, named `filename`, to `err` and counts its notice.
// Returns false when the entry ends the run.
bool model(const entry& e, const std::string& filename, std::string* err, int* notices) {
  const int* k = e.kinds;
  // The fatal diagnostic for `what`, found to be of kind `kind` (a link, FIFO or directory).
  auto fatal = [err](const std::string& what, int kind) {
    *err += "lagwatch: Fatal: " + what + ": " +
            (kind == LINK ? strerror(ELOOP) : "not a regular file") + ".\n";
    return false;
  };
  if (k[0] >= LINK) return fatal("Can't open or stat info file 'info/" + filename + "'", k[0]);
  struct stat st;
  check(lstat(("queue/info/" + filename).c_str(), &st) == 0, "stat an info file");
  *err += "lagwatch: filename=" + filename + " expiry=" + std::to_string(st.st_mtime) + "\n";
  const bool control = std::any_of(e.sender.begin(), e.sender.end(),
                                   [](unsigned char c) { return c < 0x20 || c == 0x7f; });
  const char* skip = k[0] == NOT_DUE && st.st_mtime > now     ? "has not yet expired"
                     : k[0] == NOT_DUE                        ? "was previously expired"
                     : e.sender.empty() || e.sender == "#@[]" ? "bounce message"
                     : control                                ? "sender has control characters"
                                                              : nullptr;
  if (skip != nullptr) {
    *err += std::string("lagwatch: ignoring, ") + skip + "\n";
    return true;
  }
  for (int i = 1; i <= 2; ++i) {  // the remote list first
    if (k[i] >= LINK) {
      return fatal(std::string("Could not read '") + kDirs[i] + "/" + filename + "'", k[i]);
    }
  }
  const int undone = (k[1] == REGULAR) + (k[2] == REGULAR);
  *err += "lagwatch: filename=" + filename + " sender='" + e.sender +
          "' undone=" + std::to_string(undone) + "\n";
  if (undone == 0) return true;
  // The text is opened for its header with -b 0 too.
  if (k[3] == MISSING) {
    *err += "lagwatch: ignoring " + filename + ", message left the queue\n";
    return true;
  }
  if (k[3] != REGULAR) return fatal("Could not open message file", k[3]);
  *err += std::string("lagwatch: forking ") + lagwatch::injector_path + " -f '' -a '" + e.sender +
          "' '(null)'\n";
  ++*notices;
  return true;
}

// The walk of a print-only run with -d, in the child (on the default settings: the parent
// never changes them). scan_queue enters "./queue": the fuzz build's qmail home is ".".
void walk() {
  lagwatch::settings.opt_no_send = 1;
  lagwatch::settings.opt_debug = 1;
  lagwatch::settings.opt_age = 0;
  lagwatch::settings.opt_copy_bytes = copy_text ? -1 : 0;
  lagwatch::settings.lastrun = 0;
  lagwatch::settings.now = now;
  lagwatch::settings.me = "mx.example";
  lagwatch::scan_queue();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string scratch = lagwatch::fuzz::make_scratch_dir("walk");
  check(chdir(scratch.c_str()) == 0 && mkdir("queue", 0700) == 0, "make the scratch queue");
  for (const char* dir : kDirs) {
    const std::string path = std::string("queue/") + dir;
    check(mkdir(path.c_str(), 0700) == 0 && mkdir((path + "/0").c_str(), 0700) == 0, "mkdir");
  }
  lagwatch::fuzz::write_file("bait", std::string(kBait, sizeof kBait));
  now = static_cast<int64_t>(time(nullptr)) + 86400;  // every file written now is due
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const std::string& path : made) check(remove(path.c_str()) == 0, "remove a queue entry");
  made.clear();
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  const uint8_t flags = take_u8(&in);
  copy_text = (flags & 1) == 0;
  entry entries[4] = {};
  for (int i = 0; i < 1 + ((flags >> 1) & 3); ++i) {
    entry& e = entries[i];
    const uint8_t type = take_u8(&in);
    e.kinds[0] = type % 5;
    if (e.kinds[0] == REGULAR) {
      for (int p = 1, v = take_u8(&in); p < 4; ++p, v /= 5) e.kinds[p] = v % 5;
      e.sender = take_until(&in, 0);
    }
    const std::string name = "/0/" + std::to_string(i);
    for (int p = 0; p < 4; ++p) {
      const std::string path = std::string("queue/") + kDirs[p] + name;
      const int k = p == 0 && e.kinds[0] == NOT_DUE ? REGULAR : e.kinds[p];
      if (k == REGULAR) {
        lagwatch::fuzz::write_file(path, p == 0  ? "F" + e.sender + '\0'
                                         : p < 3 ? std::string("Trcpt@example.net", 18)
                                                 : "Subject: held\n\nbody\n");
      }
      check(k != LINK || symlink("../../../bait", path.c_str()) == 0, "symlink");
      check(k != FIFO || mkfifo(path.c_str(), 0600) == 0, "mkfifo");
      check(k != DIRECTORY || mkdir(path.c_str(), 0700) == 0, "mkdir");
      if (k != MISSING) made.push_back(path);
    }
    if (e.kinds[0] == NOT_DUE) {  // it expires after now, or expired at lastrun
      const time_t mtime = type / 5 % 2 == 0 ? now + 1 : 0;
      const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
      check(utimensat(AT_FDCWD, ("queue/info" + name).c_str(), times, 0) == 0, "utimensat");
    }
  }

  const int status = lagwatch::fuzz::run_in_child(walk, "out", "err");
  std::string expected;
  int notices = 0;
  bool ok = true;
  DIR* d = opendir("queue/info/0");
  check(d != nullptr, "open the split directory");
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.' && ok) {
      ok = model(entries[atoi(e->d_name)], std::string("0/") + e->d_name, &expected, &notices);
    }
  }
  closedir(d);
  // The wait status of a child that called exit(111) or returned is 111 << 8 or 0.
  const std::string err = lagwatch::fuzz::read_file("err");
  lagwatch::fuzz::check_same(err + "wait status " + std::to_string(status),
                             expected + "wait status " + (ok ? "0" : "28416"),
                             "the walk's exit status and diagnostics follow the directory order");
  const std::string out = lagwatch::fuzz::read_file("out");
  int found = 0;  // a sender in a notice holds no line feed: this line starts notices only
  size_t at = 0;
  while ((at = out.find("\nSubject: delayed delivery notice\n", at)) != out.npos) ++found, ++at;
  check(found == notices, "one notice per message handed on");
  check((out + err).find("\001behind.link") == std::string::npos, "nothing behind a link is read");
  return 0;
}
