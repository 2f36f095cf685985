// A stand-in for qmail-inject in the end-to-end sandbox. The harness installs it as
// <sandbox>/qmail/bin/qmail-inject. Each call claims the next record directory
// <sandbox>/inject/N (N = 1, 2, ...; mkdir is atomic, and the program runs one injector at a
// time anyway) and writes into it:
//   argv   every argument, argv[0] included, each followed by one NUL byte (exact bytes)
//   cwd    the working directory, without a line feed
//   env    its environment, each entry followed by one NUL byte
//   fds    the descriptors it had open when it started, in decimal, one a line, ascending
//   pid    the process id, in decimal (written last of these: once it is there, they all are)
//   stdin  everything read from standard input (absent when the plan says not to read it)
//   stopped  present when the call stopped itself, so that the harness can kill it afterwards
// Then it does what line N of <sandbox>/inject/plan says (default "exit 0"):
//   exit K        read standard input to its end, exit with status K
//   early K       exit with status K without reading standard input
//   partial N K   read at most N bytes of standard input, exit with status K
//   signal S      read standard input to its end, die by signal S
//   stop          read standard input to its end, stop itself with SIGSTOP
//   slow MS       read standard input 512 bytes at a time, sleeping MS milliseconds before
//                 each read, then exit 0; stdin is written only once the input has ended
//   remove PATH   remove the file PATH (relative to the working directory, the queue), then
//                 read standard input to its end and exit 0
//   fill          read standard input to its end, then fill the sandbox's file system with
//                 <sandbox>/filler until no block is left, and exit 0
// A fault of the stand-in itself ends it with status 97 and a line on standard error.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

#ifndef LAGWATCH_E2E_SANDBOX
#error "LAGWATCH_E2E_SANDBOX must name the sandbox directory"
#endif

namespace {

[[noreturn]] void give_up(const char* what, const std::string& path) {
  std::fprintf(stderr, "fake qmail-inject: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(97);
}

// Writes the record `path` whole or not at all (a call killed while it writes leaves none).
void write_whole(const std::string& path, const std::string& bytes) {
  const std::string part = path + ".part";
  int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) give_up("cannot create", part);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) give_up("cannot write", part);
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) give_up("cannot close", part);
  if (rename(part.c_str(), path.c_str()) != 0) give_up("cannot rename", part);
}

// Reads standard input up to `limit` bytes or to its end, whichever comes first.
std::string read_input(size_t limit) {
  std::string input;
  char buffer[8192];
  while (input.size() < limit) {
    size_t want = sizeof buffer;
    if (limit - input.size() < want) want = limit - input.size();
    ssize_t n = read(0, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) give_up("cannot read", "standard input");
    if (n == 0) break;
    input.append(buffer, static_cast<size_t>(n));
  }
  return input;
}

// The descriptors open now, without the one that lists them: "N\n" each, ascending.
std::string open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) give_up("cannot open", "/proc/self/fd");
  std::vector<long> numbers;
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && number != dirfd(dir)) numbers.push_back(number);
    errno = 0;
  }
  if (errno != 0) give_up("cannot read", "/proc/self/fd");
  closedir(dir);
  std::sort(numbers.begin(), numbers.end());
  std::string text;
  for (long number : numbers) text += std::to_string(number) + "\n";
  return text;
}

// Reads standard input to its end in small reads, pausing `milliseconds` before each one.
std::string read_input_slowly(long milliseconds) {
  std::string input;
  char buffer[512];
  for (;;) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) give_up("cannot read", "standard input");
    if (n == 0) return input;
    input.append(buffer, static_cast<size_t>(n));
  }
}

// Line `number` (1-based) of the plan file, or "exit 0" when there is none.
std::string plan_line(const std::string& plan_path, int number) {
  FILE* plan = std::fopen(plan_path.c_str(), "r");
  if (plan == nullptr) {
    if (errno == ENOENT) return "exit 0";
    give_up("cannot open", plan_path);
  }
  char line[256];
  std::string result = "exit 0";
  for (int i = 1; std::fgets(line, sizeof line, plan) != nullptr; ++i) {
    if (i == number) {
      result = line;
      while (!result.empty() && result.back() == '\n') result.pop_back();
      break;
    }
  }
  std::fclose(plan);
  return result;
}

// True when `action` is `verb`, a blank and a decimal number into *first, and, when `second`
// is not null, a blank and another decimal number into *second, with nothing else.
bool parse_action(const std::string& action, const char* verb, long* first, long* second) {
  const size_t verb_length = std::strlen(verb);
  if (action.compare(0, verb_length, verb) != 0 || action.size() <= verb_length + 1 ||
      action[verb_length] != ' ')
    return false;
  const char* p = action.c_str() + verb_length + 1;
  char* end = nullptr;
  errno = 0;
  *first = std::strtol(p, &end, 10);
  if (end == p || errno != 0) return false;
  if (second != nullptr) {
    if (*end != ' ') return false;
    p = end + 1;
    *second = std::strtol(p, &end, 10);
    if (end == p || errno != 0) return false;
  }
  return *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  // First of all, before this process opens anything of its own.
  const std::string fds = open_descriptors();
  const std::string records = std::string(LAGWATCH_E2E_SANDBOX) + "/inject";
  std::string dir;
  int number = 1;
  for (;; ++number) {
    dir = records + "/" + std::to_string(number);
    if (mkdir(dir.c_str(), 0755) == 0) break;
    if (errno != EEXIST) give_up("cannot create", dir);
  }

  std::string args;
  for (int i = 0; i < argc; ++i) {
    args.append(argv[i]);
    args.push_back('\0');
  }
  write_whole(dir + "/argv", args);

  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) give_up("cannot get", "the working directory");
  write_whole(dir + "/cwd", cwd);
  std::string env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    env.append(*entry);
    env.push_back('\0');
  }
  write_whole(dir + "/env", env);
  write_whole(dir + "/fds", fds);
  write_whole(dir + "/pid", std::to_string(getpid()));

  const std::string action = plan_line(records + "/plan", number);
  long a = 0;
  long b = 0;
  if (parse_action(action, "exit", &a, nullptr)) {
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(-1)));
    return static_cast<int>(a);
  }
  if (parse_action(action, "early", &a, nullptr)) return static_cast<int>(a);
  if (parse_action(action, "partial", &a, &b) && a >= 0) {
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(a)));
    return static_cast<int>(b);
  }
  if (parse_action(action, "signal", &a, nullptr)) {
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(-1)));
    // No core file in the queue directory, which is the working directory here.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(static_cast<int>(a), SIG_DFL);
    raise(static_cast<int>(a));
    std::fprintf(stderr, "fake qmail-inject: signal %ld did not end the process\n", a);
    return 97;
  }
  if (parse_action(action, "slow", &a, nullptr) && a >= 0) {
    write_whole(dir + "/stdin", read_input_slowly(a));
    return 0;
  }
  if (action.compare(0, 7, "remove ") == 0) {
    const std::string path = action.substr(7);
    if (unlink(path.c_str()) != 0) give_up("cannot remove", path);
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(-1)));
    return 0;
  }
  if (action == "fill") {
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(-1)));
    const std::string filler = std::string(LAGWATCH_E2E_SANDBOX) + "/filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) give_up("cannot create", filler);
    static const char block[4096] = {};
    ssize_t n;
    while ((n = write(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR)) {
    }
    if (errno != ENOSPC) give_up("cannot fill", filler);
    close(fd);
    return 0;
  }
  if (action == "stop") {
    write_whole(dir + "/stdin", read_input(static_cast<size_t>(-1)));
    write_whole(dir + "/stopped", "");
    raise(SIGSTOP);
    return 0;
  }
  std::fprintf(stderr, "fake qmail-inject: unknown plan line '%s'\n", action.c_str());
  return 97;
}
