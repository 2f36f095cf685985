#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "as_user.h"

#ifndef LAGWATCH_E2E_SANDBOX
#error "LAGWATCH_E2E_SANDBOX must name the sandbox directory"
#endif
#ifndef LAGWATCH_E2E_PROGRAM
#error "LAGWATCH_E2E_PROGRAM must name the sandbox build of the program"
#endif
#ifndef LAGWATCH_E2E_FAKE_INJECT
#error "LAGWATCH_E2E_FAKE_INJECT must name the fake injector"
#endif
#ifndef LAGWATCH_E2E_BUILD_TREE
#error "LAGWATCH_E2E_BUILD_TREE must name the build tree that holds the program and the sandbox"
#endif
#ifndef LAGWATCH_E2E_LIBFAKETIME
#error "LAGWATCH_E2E_LIBFAKETIME must name libfaketime.so.1"
#endif

namespace lagwatch::e2e {

namespace {

std::string system_text(int error_number) { return std::strerror(error_number); }

std::string join(const std::string& dir, const std::string& rel) { return dir + "/" + rel; }

std::string inject_dir() { return join(sandbox_root(), "inject"); }

// Makes everything below `path` accessible again, so that a test that took permissions away
// (as a user other than root) does not stop the next reset.
void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) ADD_FAILURE() << "lstat " << path << ": " << system_text(errno);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if ((st.st_mode & 0700) != 0700) chmod(path.c_str(), 0700);
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
      ADD_FAILURE() << "opendir " << path << ": " << system_text(errno);
      return;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.push_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) remove_tree(join(path, name));
    if (rmdir(path.c_str()) != 0) ADD_FAILURE() << "rmdir " << path << ": " << system_text(errno);
    return;
  }
  if (unlink(path.c_str()) != 0) ADD_FAILURE() << "unlink " << path << ": " << system_text(errno);
}

const std::string& fake_injector_bytes() {
  static const std::string bytes = [] {
    std::optional<std::string> content = read_file(LAGWATCH_E2E_FAKE_INJECT);
    if (!content) ADD_FAILURE() << "cannot read the fake injector " << LAGWATCH_E2E_FAKE_INJECT;
    return content.value_or(std::string());
  }();
  return bytes;
}

std::string to_decimal(int64_t value) { return std::to_string(static_cast<long long>(value)); }

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Kills and reaps the injectors of this run that stopped themselves. The harness is a child
// subreaper, so an injector orphaned by the program's exit becomes its child.
void kill_stopped_injectors() {
  for (int number = 1;; ++number) {
    const std::string dir = join(inject_dir(), std::to_string(number));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) break;
    if (lstat(join(dir, "stopped").c_str(), &st) != 0) continue;
    if (lstat(join(dir, "killed").c_str(), &st) == 0) continue;
    std::optional<std::string> pid_text = read_file(join(dir, "pid"));
    if (!pid_text) continue;
    char* end = nullptr;
    const long number_read = std::strtol(pid_text->c_str(), &end, 10);
    if (end == pid_text->c_str() || *end != '\0' || number_read <= 1) continue;
    const auto pid = static_cast<pid_t>(number_read);
    if (kill(pid, SIGKILL) == 0) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    write_file(join(dir, "killed"), "");
  }
}

void drain(int fd, std::string* into, bool* open) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    *open = false;  // end of file, or an error that ends the stream
    return;
  }
}

}  // namespace

// ---- Paths ---------------------------------------------------------------------------------

std::string sandbox_root() { return LAGWATCH_E2E_SANDBOX; }
std::string qmail_home() { return join(sandbox_root(), "qmail"); }
std::string control_dir() { return join(qmail_home(), "control"); }
std::string queue_dir() { return join(qmail_home(), "queue"); }
std::string injector_path() { return join(qmail_home(), "bin/qmail-inject"); }
std::string run_file_path() { return join(sandbox_root(), "lagwatch.time"); }
std::string start_dir() { return join(sandbox_root(), "start"); }
std::string program_path() { return LAGWATCH_E2E_PROGRAM; }

// ---- Plain file helpers --------------------------------------------------------------------

void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create " << path << ": " << system_text(errno);
    return;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "cannot write " << path << ": " << system_text(errno);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, mode) != 0) ADD_FAILURE() << "cannot chmod " << path << ": " << system_text(errno);
  if (close(fd) != 0) ADD_FAILURE() << "cannot close " << path << ": " << system_text(errno);
}

std::optional<std::string> read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ADD_FAILURE() << "cannot read " << path << ": " << system_text(errno);
      break;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

void set_mtime(const std::string& path, int64_t mtime) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(mtime);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    ADD_FAILURE() << "cannot set the time of " << path << ": " << system_text(errno);
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return;
  if (errno == ENOENT) {
    // A parent is missing: create it first, then try again.
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      make_dir(path.substr(0, slash));
      if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return;
    }
  }
  ADD_FAILURE() << "cannot create " << path << ": " << system_text(errno);
}

void make_symlink(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0)
    ADD_FAILURE() << "cannot link " << path << " to " << target << ": " << system_text(errno);
}

void remove_path(const std::string& path) { remove_tree(path); }

struct stat stat_path(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "cannot stat " << path << ": " << system_text(errno);
    std::memset(&st, 0, sizeof st);
  }
  return st;
}

// ---- The sandbox ----------------------------------------------------------------------------

namespace {

// The directories of a reset sandbox, parents before children.
const std::vector<std::string>& skeleton_dirs() {
  static const std::vector<std::string> dirs = [] {
    std::vector<std::string> list = {sandbox_root(), qmail_home(), control_dir(), queue_dir()};
    for (const char* part : {"info", "local", "remote", "mess"}) {
      const std::string dir = join(queue_dir(), part);
      list.push_back(dir);
      for (int split = 0; split < 23; ++split) list.push_back(join(dir, std::to_string(split)));
    }
    list.push_back(join(qmail_home(), "bin"));
    list.push_back(inject_dir());
    list.push_back(start_dir());
    return list;
  }();
  return dirs;
}

bool is_skeleton_dir(const std::string& path) {
  for (const std::string& dir : skeleton_dirs()) {
    if (dir == path) return true;
  }
  return false;
}

// Empties the skeleton directory `path` but keeps the skeleton directories below it: making
// and removing directories is by far the slowest part of a reset on some file systems.
void prune(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    ADD_FAILURE() << "opendir " << path << ": " << system_text(errno);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.push_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string child = join(path, name);
    struct stat st;
    if (is_skeleton_dir(child) && lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if ((st.st_mode & 07777) != 0755 && chmod(child.c_str(), 0755) != 0)
        ADD_FAILURE() << "chmod " << child << ": " << system_text(errno);
      prune(child);
    } else {
      remove_tree(child);
    }
  }
}

}  // namespace

void sandbox_reset() {
  struct stat st;
  if (lstat(sandbox_root().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if ((st.st_mode & 07777) != 0755) chmod(sandbox_root().c_str(), 0755);
    prune(sandbox_root());
  } else {
    remove_tree(sandbox_root());
  }
  for (const std::string& dir : skeleton_dirs()) make_dir(dir);
  write_file(join(control_dir(), "me"), std::string(kMe) + "\n");
  Injector().install();
}

Message::Message(std::string split, std::string name)
    : split_(std::move(split)), name_(std::move(name)), filename_(split_ + "/" + name_) {}

std::string Message::info_path() const { return join(join(queue_dir(), "info"), filename_); }
std::string Message::remote_path() const { return join(join(queue_dir(), "remote"), filename_); }
std::string Message::local_path() const { return join(join(queue_dir(), "local"), filename_); }
std::string Message::mess_path() const { return join(join(queue_dir(), "mess"), filename_); }

static std::string records_bytes(const std::vector<std::string>& records) {
  std::string bytes;
  for (const std::string& record : records) {
    bytes += record;
    bytes.push_back('\0');
  }
  return bytes;
}

Message& Message::remote(const std::vector<std::string>& records) {
  return remote_bytes(records_bytes(records));
}

Message& Message::local(const std::vector<std::string>& records) {
  return local_bytes(records_bytes(records));
}

Message& Message::remote_bytes(const std::string& bytes) {
  write_file(remote_path(), bytes, 0600);
  return *this;
}

Message& Message::local_bytes(const std::string& bytes) {
  write_file(local_path(), bytes, 0600);
  return *this;
}

Message& Message::mess(const std::string& text) {
  write_file(mess_path(), text, 0644);
  return *this;
}

Message& Message::info_bytes(const std::string& bytes) {
  struct stat before = stat_path(info_path());
  write_file(info_path(), bytes, 0600);
  set_mtime(info_path(), static_cast<int64_t>(before.st_mtime));
  return *this;
}

Message& Message::info_mtime(int64_t mtime) {
  set_mtime(info_path(), mtime);
  return *this;
}

Message Queue::add_message(int split, const std::string& name, const std::string& sender,
                           int64_t mtime) const {
  return add_message(std::to_string(split), name, sender, mtime);
}

Message Queue::add_message(const std::string& split, const std::string& name,
                           const std::string& sender, int64_t mtime) const {
  for (const char* part : {"info", "local", "remote", "mess"})
    make_dir(join(join(queue_dir(), part), split));
  Message message(split, name);
  std::string info = "F" + sender;
  info.push_back('\0');
  write_file(message.info_path(), info, 0600);
  set_mtime(message.info_path(), mtime);
  return message;
}

std::string Queue::path(const std::string& rel) const { return join(queue_dir(), rel); }

void Queue::write(const std::string& rel, const std::string& bytes) const {
  write_file(path(rel), bytes);
}

void Queue::mkdir(const std::string& rel) const { make_dir(path(rel)); }

void Queue::symlink(const std::string& target, const std::string& rel) const {
  make_symlink(target, path(rel));
}

void Queue::remove(const std::string& rel) const { remove_tree(path(rel)); }

std::vector<std::string> Queue::walk_order() const {
  std::vector<std::string> order;
  const std::string info = path("info");
  DIR* top = opendir(info.c_str());
  if (top == nullptr) {
    ADD_FAILURE() << "cannot open " << info << ": " << system_text(errno);
    return order;
  }
  while (struct dirent* split = readdir(top)) {
    if (split->d_name[0] == '.') continue;
    DIR* inner = opendir(join(info, split->d_name).c_str());
    if (inner == nullptr) continue;
    while (struct dirent* entry = readdir(inner)) {
      if (entry->d_name[0] == '.') continue;
      order.push_back(std::string(split->d_name) + "/" + entry->d_name);
    }
    closedir(inner);
  }
  closedir(top);
  return order;
}

std::string Control::path(const std::string& name) const { return join(control_dir(), name); }

void Control::write(const std::string& name, const std::string& bytes, mode_t mode) const {
  write_file(path(name), bytes, mode);
}

void Control::remove(const std::string& name) const { remove_tree(path(name)); }

void RunFile::write(const std::string& bytes, mode_t mode) const {
  write_file(run_file_path(), bytes, mode);
}

std::optional<std::string> RunFile::read() const { return read_file(run_file_path()); }

void RunFile::remove() const { remove_tree(run_file_path()); }

std::string inject_exit(int status) { return "exit " + std::to_string(status); }
std::string inject_early_exit(int status) { return "early " + std::to_string(status); }
std::string inject_partial(int bytes, int status) {
  return "partial " + std::to_string(bytes) + " " + std::to_string(status);
}
std::string inject_signal(int signal_number) { return "signal " + std::to_string(signal_number); }
std::string inject_stop() { return "stop"; }
bool run_never_started(const RunResult& r) {
  return (r.exit_status == 126 || r.exit_status == 127) && r.err.rfind("harness: ", 0) == 0;
}

std::string journal_path() { return run_file_path() + ".sent"; }

void give_state_to(int uid, int gid) {
  for (const std::string& path : {run_file_path(), journal_path()}) {
    if (!read_file(path)) write_file(path, "");
    if (chown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
      ADD_FAILURE() << "chown " << path << ": " << system_text(errno);
    }
  }
}

std::string inject_slow(int milliseconds) { return "slow " + std::to_string(milliseconds); }
std::string inject_remove(const std::string& rel) { return "remove " + rel; }
std::string inject_fill_disk() { return "fill"; }

void Injector::plan(const std::vector<std::string>& actions) const {
  std::string text;
  for (const std::string& action : actions) text += action + "\n";
  write_file(join(inject_dir(), "plan"), text);
}

std::vector<InjectorCall> Injector::calls() const {
  std::vector<InjectorCall> calls;
  for (int number = 1;; ++number) {
    const std::string dir = join(inject_dir(), std::to_string(number));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) break;
    InjectorCall call;
    std::string args = read_file(join(dir, "argv")).value_or(std::string());
    size_t start = 0;
    for (size_t nul = args.find('\0'); nul != std::string::npos; nul = args.find('\0', start)) {
      call.argv.push_back(args.substr(start, nul - start));
      start = nul + 1;
    }
    call.cwd = read_file(join(dir, "cwd")).value_or(std::string());
    std::optional<std::string> input = read_file(join(dir, "stdin"));
    call.read_input = input.has_value();
    call.input = input.value_or(std::string());
    const std::string pid_text = read_file(join(dir, "pid")).value_or("0");
    call.pid = static_cast<int>(std::strtol(pid_text.c_str(), nullptr, 10));
    const std::string env = read_file(join(dir, "env")).value_or(std::string());
    start = 0;
    for (size_t nul = env.find('\0'); nul != std::string::npos; nul = env.find('\0', start)) {
      call.env.push_back(env.substr(start, nul - start));
      start = nul + 1;
    }
    const std::string fds = read_file(join(dir, "fds")).value_or(std::string());
    for (const char* p = fds.c_str(); *p != '\0';) {
      char* end = nullptr;
      call.fds.push_back(static_cast<int>(std::strtol(p, &end, 10)));
      if (end == p) break;
      p = *end == '\n' ? end + 1 : end;
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

void Injector::remove() const { remove_tree(injector_path()); }

void Injector::install() const { write_file(injector_path(), fake_injector_bytes(), 0755); }

// ---- Running the program --------------------------------------------------------------------

RunOptions at_time(int64_t now) {
  RunOptions options;
  options.now = now;
  return options;
}

RunResult run_lagwatch(const std::vector<std::string>& args, const std::string& start_directory) {
  RunOptions options;
  options.start_dir = start_directory.empty() || start_directory[0] == '/'
                          ? start_directory
                          : join(sandbox_root(), start_directory);
  return run_lagwatch(args, options);
}

namespace {

// The injector that an interrupted run watches for, and what became of it.
struct InjectorWatch {
  int number;         // which call of the run, from 1
  int signal_number;  // sent to the program once that call has started
  InterruptedRun* into;
  bool collected = false;
};

// The process id that call `number` of the fake injector recorded, or 0 while it has not
// started (or not yet written it).
pid_t started_injector(int number) {
  std::optional<std::string> text =
      read_file(join(join(inject_dir(), std::to_string(number)), "pid"));
  if (!text) return 0;
  const long pid = std::strtol(text->c_str(), nullptr, 10);
  return pid > 1 ? static_cast<pid_t>(pid) : 0;
}

// Kills the child `pid` and collects it, leaving its wait status in *status.
void collect_killed(pid_t pid, int* status) {
  if (kill(pid, SIGKILL) != 0) ADD_FAILURE() << "kill " << pid << ": " << system_text(errno);
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid " << pid << ": " << system_text(errno);
      *status = -1;
      return;
    }
  }
}

// run_lagwatch, and with `watch` the interruption of run_lagwatch_interrupted.
RunResult run_program(const std::vector<std::string>& args, const RunOptions& options,
                      InjectorWatch* watch) {
  RunResult result;
  // Injectors orphaned by the program's exit (a stopped one) become children of this process,
  // so that they can be reaped.
  static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  if (!subreaper) ADD_FAILURE() << "cannot become a child subreaper: " << system_text(errno);

  // Everything the child needs is prepared before the fork.
  const std::string program = program_path();
  std::vector<std::string> arg_strings;
  arg_strings.push_back(options.argv0.empty() ? program : options.argv0);
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  // LAGWATCH_E2E_WRAPPER (an absolute path and its arguments, separated by blanks) runs the
  // program under another one, e.g. valgrind (tools/valgrind-e2e.sh); argv0 is then not used.
  std::string exec_path = program;
  if (const char* wrapper = std::getenv("LAGWATCH_E2E_WRAPPER"); wrapper != nullptr && *wrapper) {
    std::vector<std::string> words;
    for (const char* p = wrapper; *p != '\0';) {
      const size_t n = std::strcspn(p, " ");
      if (n > 0) words.emplace_back(p, n);
      p += n + (p[n] == ' ' ? 1 : 0);
    }
    if (!words.empty()) {
      arg_strings[0] = program;
      arg_strings.insert(arg_strings.begin(), words.begin(), words.end());
      exec_path = words.front();
    }
  }
  std::vector<char*> argv;
  argv.reserve(arg_strings.size() + 1);
  for (std::string& arg : arg_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::string asan_options = "verify_asan_link_order=0";
  if (const char* inherited = std::getenv("ASAN_OPTIONS"))
    asan_options = std::string(inherited) + ":" + asan_options;
  // An absolute FAKETIME stops the clock; a leading "@" lets it run from that moment.
  // NO_FAKE_STAT keeps the modification times that the program reads as they are on disk.
  std::vector<std::string> env_strings = {
      "PATH=/usr/bin:/bin",
      "TZ=UTC",
      "LC_ALL=C",
      std::string("LD_PRELOAD=") + LAGWATCH_E2E_LIBFAKETIME,
      "FAKETIME_FMT=%s",
      std::string("FAKETIME=") + (options.clock_runs ? "@" : "") + to_decimal(options.now),
      "NO_FAKE_STAT=1",
      "FAKETIME_DONT_FAKE_MONOTONIC=1",
      "ASAN_OPTIONS=" + asan_options,
  };
  for (const char* passed : {"UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(passed))
      env_strings.push_back(std::string(passed) + "=" + value);
  }
  std::vector<char*> envp;
  envp.reserve(env_strings.size() + 1);
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string start = options.start_dir.empty() ? start_dir() : options.start_dir;
  std::optional<test_support::AsUser> as_user;
  if (options.run_as_uid >= 0) {
    as_user.emplace(LAGWATCH_E2E_BUILD_TREE, static_cast<uid_t>(options.run_as_uid),
                    static_cast<gid_t>(options.run_as_gid));
  }
  const std::string inherited = join(sandbox_root(), "inherited");

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << system_text(errno);
    return result;
  }

  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << system_text(errno);
    return result;
  }
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0)
      _exit(126);
    // Only what a test asks for is open beyond 0, 1 and 2.
    if (null_fd > 2 && close(null_fd) != 0) _exit(126);
    if (options.inherited_fd >= 3) {
      const int fd = open(inherited.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd < 0 || dup2(fd, options.inherited_fd) < 0) _exit(126);
      if (fd != options.inherited_fd && close(fd) != 0) _exit(126);
    }
    if (as_user && !as_user->enter()) _exit(126);
    if (chdir(start.c_str()) != 0) {
      static const char text[] = "harness: cannot enter the start directory\n";
      (void)!write(2, text, sizeof text - 1);
      _exit(126);
    }
    umask(options.umask);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (options.no_file_growth) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = 0;
      setrlimit(RLIMIT_FSIZE, &limit);
    } else {
      signal(SIGXFSZ, SIG_DFL);
    }
    if (options.max_open_files >= 0) {
      struct rlimit limit;
      if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      limit.rlim_cur = static_cast<rlim_t>(options.max_open_files);
      if (limit.rlim_cur > limit.rlim_max) limit.rlim_cur = limit.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    if (options.own_process_group && setpgid(0, 0) != 0) _exit(126);
    if (options.no_openat2 || options.no_fallocate) {
      // Only the native numbers are matched: the program and its injector make no other calls.
      const auto answer = [](bool refuse, unsigned error) {
        return refuse ? SECCOMP_RET_ERRNO | error : SECCOMP_RET_ALLOW;
      };
      struct sock_filter code[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, answer(options.no_openat2, ENOSYS)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fallocate, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, answer(options.no_fallocate, EOPNOTSUPP)),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      struct sock_fprog program = {sizeof code / sizeof code[0], code};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        static const char text[] = "harness: cannot install the system-call filter\n";
        (void)!write(2, text, sizeof text - 1);
        _exit(126);
      }
    }
    execve(exec_path.c_str(), argv.data(), envp.data());
    static const char text[] = "harness: cannot execute the program\n";
    (void)!write(2, text, sizeof text - 1);
    _exit(127);
  }

  close(out_pipe[1]);
  close(err_pipe[1]);
  fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  bool out_open = true;
  bool err_open = true;
  bool reaped = false;
  int status = 0;
  const int64_t deadline = monotonic_ms() + int64_t{options.timeout_seconds} * 1000;
  int64_t reaped_at = 0;
  // An interrupted run goes on until the injector it watches has been collected too.
  auto watching = [watch] {
    return watch != nullptr && watch->into->injector_pid != 0 && !watch->collected;
  };
  while (out_open || err_open || !reaped || watching()) {
    if (watch != nullptr && !reaped && !watch->into->signal_sent) {
      const pid_t injector = started_injector(watch->number);
      if (injector != 0) {
        watch->into->injector_pid = injector;
        watch->into->signal_sent =
            kill(options.own_process_group ? -pid : pid, watch->signal_number) == 0;
        if (!watch->into->signal_sent) ADD_FAILURE() << "kill: " << system_text(errno);
      }
    }
    if (!reaped) {
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        reaped = true;
        reaped_at = monotonic_ms();
        kill_stopped_injectors();
      } else if (done < 0 && errno != EINTR) {
        ADD_FAILURE() << "waitpid: " << system_text(errno);
        reaped = true;
        reaped_at = monotonic_ms();
      }
    }
    // Once the program has ended, its injector is this process's child.
    if (reaped && watching()) {
      InterruptedRun* into = watch->into;
      const pid_t done = waitpid(into->injector_pid, &into->injector_status, WNOHANG);
      if (done == into->injector_pid) {
        watch->collected = true;
      } else if (done < 0 && errno == ECHILD) {
        into->injector_status = -1;  // the program waited for it itself
        watch->collected = true;
      } else if (done < 0 && errno != EINTR) {
        ADD_FAILURE() << "waitpid for the injector: " << system_text(errno);
        into->injector_status = -1;
        watch->collected = true;
      } else if (monotonic_ms() > reaped_at + 10000) {
        into->injector_outlived = true;
        collect_killed(into->injector_pid, &into->injector_status);
        watch->collected = true;
      }
    }
    if (monotonic_ms() > deadline) {
      ADD_FAILURE() << "the run did not end within " << options.timeout_seconds
                    << " seconds; killed";
      if (!reaped && kill(pid, SIGKILL) == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }
      kill_stopped_injectors();
      if (watching()) collect_killed(watch->into->injector_pid, &watch->into->injector_status);
      break;
    }
    struct pollfd fds[2];
    nfds_t count = 0;
    if (out_open) fds[count++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[count++] = {err_pipe[0], POLLIN, 0};
    if (count > 0) {
      int ready = poll(fds, count, 20);
      if (ready < 0 && errno != EINTR) {
        ADD_FAILURE() << "poll: " << system_text(errno);
        break;
      }
    } else {
      struct timespec pause = {0, 5000000};
      nanosleep(&pause, nullptr);
    }
    if (out_open) drain(out_pipe[0], &result.out, &out_open);
    if (err_open) drain(err_pipe[0], &result.err, &err_open);
  }
  close(out_pipe[0]);
  close(err_pipe[0]);

  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

}  // namespace

RunResult run_lagwatch(const std::vector<std::string>& args, const RunOptions& options) {
  return run_program(args, options, nullptr);
}

InterruptedRun run_lagwatch_interrupted(const std::vector<std::string>& args, int injector_number,
                                        int signal_number, const RunOptions& options) {
  InterruptedRun interrupted;
  InjectorWatch watch{injector_number, signal_number, &interrupted};
  interrupted.run = run_program(args, options, &watch);
  return interrupted;
}

// ---- Expected texts ------------------------------------------------------------------------

std::string debug(const std::string& text) { return "lagwatch: " + text + "\n"; }

std::string config_debug_lines(const std::string& me, int64_t queuelifetime, const char* extra_rcpt,
                               int64_t now, int64_t lastrun, int64_t opt_age) {
  return debug("me='" + me + "'") + debug("queuelifetime=" + to_decimal(queuelifetime)) +
         debug(std::string("extra_rcpt='") + (extra_rcpt ? extra_rcpt : "(null)") + "'") +
         debug("now=" + to_decimal(now)) + debug("lastrun=" + to_decimal(lastrun)) +
         debug("opt_age=" + to_decimal(opt_age));
}

std::string default_config_debug_lines(int64_t lastrun, int64_t opt_age, int64_t now) {
  return config_debug_lines(kMe, 604800, nullptr, now, lastrun, opt_age);
}

std::string errno_text(int error_number) { return system_text(error_number); }

}  // namespace lagwatch::e2e
