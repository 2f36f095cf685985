#ifndef LAGWATCH_TESTS_HARNESS_H_
#define LAGWATCH_TESTS_HARNESS_H_

// End-to-end harness: builds a qmail home in the build tree, runs the real program (the
// lagwatch_sandbox build, whose qmail home and run file point into that sandbox) with a frozen
// clock, and hands back its exit status and the exact bytes it wrote.
//
// Sandbox layout (every path is fixed when the tests are built; all tests share it, so the
// e2e tests run one at a time under the CTest resource lock "e2e_sandbox"):
//   <sandbox>/qmail/control/        qmail's control files ("me" holds kMe + "\n" after a reset)
//   <sandbox>/qmail/queue/          info/ local/ remote/ mess/, each with splits 0 .. 22
//   <sandbox>/qmail/bin/qmail-inject  the fake injector (tests/fake_inject.cc)
//   <sandbox>/lagwatch.time         the run file (absent after a reset)
//   <sandbox>/start/                the working directory a run starts in, unless chosen
//   <sandbox>/inject/               the fake injector's plan and its records of each call
//
// A test is written like this:
//
//   class RunE2eTest : public lagwatch::e2e::SandboxTest {};
//   TEST_F(RunE2eTest, ExpiryEqualToNowIsDue) {
//     queue.add_message(3, "1065493", "alice@example.org", kNow - 14400).remote({"Tbob@x"})
//         .mess("Subject: hi\n\nbody\n");
//     run_file.write("1000");
//     RunResult r = run_lagwatch({"-d"});
//     EXPECT_EQ(r.exit_status, 0);
//     EXPECT_EQ(r.err, ...);
//     EXPECT_EQ(injector.calls().size(), 1u);
//   }
//
// Table-driven tests call sandbox_reset() at the top of each row. Every helper that fails to
// set up the sandbox records a googletest failure (ADD_FAILURE) naming the path and the error.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace lagwatch::e2e {

// The `now` of a run unless the test picks another: 2026-06-01 12:00:00 UTC.
inline constexpr int64_t kNow = 1780315200;

// The host name that a reset writes into control/me (followed by a line feed).
inline constexpr const char* kMe = "mail.example.org";

// ---- Paths in the sandbox ------------------------------------------------------------------

// The sandbox root, <build>/sandbox.
std::string sandbox_root();
// qmail's home in the sandbox, <sandbox>/qmail.
std::string qmail_home();
// <sandbox>/qmail/control, as the program's diagnostics name it.
std::string control_dir();
// <sandbox>/qmail/queue, as the program's diagnostics name it.
std::string queue_dir();
// <sandbox>/qmail/bin/qmail-inject, the path the program executes.
std::string injector_path();
// <sandbox>/lagwatch.time, the run file.
std::string run_file_path();
// <sandbox>/start, the default working directory of a run.
std::string start_dir();
// The sandbox build of the program.
std::string program_path();

// ---- Plain file helpers (absolute paths; failures are recorded as test failures) -----------

// Creates or replaces the file `path` with exactly `bytes` and then sets its mode to `mode`.
void write_file(const std::string& path, const std::string& bytes, mode_t mode = 0644);
// The whole content of `path`, or nullopt when it cannot be opened (a missing file).
std::optional<std::string> read_file(const std::string& path);
// Sets the modification (and access) time of `path` to `mtime` seconds since the epoch,
// without following a final symbolic link.
void set_mtime(const std::string& path, int64_t mtime);
// Creates the directory `path` (parents too) with mode 0755; an existing one is kept.
void make_dir(const std::string& path);
// Creates the symbolic link `path` pointing at `target` (which need not exist).
void make_symlink(const std::string& target, const std::string& path);
// Removes `path` and everything below it; a missing path is no failure.
void remove_path(const std::string& path);
// lstat of `path`; an all-zero record (and a test failure) when that fails.
struct stat stat_path(const std::string& path);

// ---- The sandbox as a whole ------------------------------------------------------------------

// Wipes the sandbox (the default directories are emptied and kept, everything else goes) and
// lays out the default: control/me = kMe + "\n" (nothing else in control/), the queue
// directories info, local, remote and mess with the splits 0 .. 22, the fake injector
// installed with an empty plan and no records, an empty start directory, and no run file.
void sandbox_reset();

// A queued message, named by its split and its decimal name. Every call writes at once; the
// calls return the message so that they chain.
class Message {
 public:
  Message(std::string split, std::string name);

  // "SPLIT/NAME", the name the program's messages and debug lines use.
  const std::string& filename() const { return filename_; }
  // <queue>/info/SPLIT/NAME and its siblings.
  std::string info_path() const;
  std::string remote_path() const;
  std::string local_path() const;
  std::string mess_path() const;

  // Writes remote/SPLIT/NAME: each record followed by one NUL, as qmail writes them
  // ("Tbob@x" undelivered, "Dbob@x" done).
  Message& remote(const std::vector<std::string>& records);
  // The same for local/SPLIT/NAME.
  Message& local(const std::vector<std::string>& records);
  // Writes remote/SPLIT/NAME (local/...) with exactly these bytes, e.g. a last record without
  // its NUL.
  Message& remote_bytes(const std::string& bytes);
  Message& local_bytes(const std::string& bytes);
  // Writes mess/SPLIT/NAME, the message text.
  Message& mess(const std::string& text);
  // Replaces the info file's bytes (the "F" + sender + NUL that add_message wrote), keeping
  // its modification time.
  Message& info_bytes(const std::string& bytes);
  // Sets the info file's modification time.
  Message& info_mtime(int64_t mtime);

 private:
  std::string split_;
  std::string name_;
  std::string filename_;
};

// qmail's queue in the sandbox. Relative paths are relative to the queue directory.
class Queue {
 public:
  // Writes info/SPLIT/NAME as "F" + sender + NUL with modification time `mtime`, creating the
  // split directories in info, local, remote and mess when they are missing.
  Message add_message(int split, const std::string& name, const std::string& sender,
                      int64_t mtime) const;
  // The same with a split name of any form (e.g. a long one).
  Message add_message(const std::string& split, const std::string& name, const std::string& sender,
                      int64_t mtime) const;
  // <queue>/rel.
  std::string path(const std::string& rel) const;
  // Writes the file <queue>/rel (e.g. "info/.lock", a plain file "info/stray").
  void write(const std::string& rel, const std::string& bytes) const;
  // Creates the directory <queue>/rel.
  void mkdir(const std::string& rel) const;
  // Creates the symbolic link <queue>/rel pointing at `target`.
  void symlink(const std::string& target, const std::string& rel) const;
  // Removes <queue>/rel with everything below it.
  void remove(const std::string& rel) const;
  // The filenames ("SPLIT/NAME") in the order in which a walk of info/ meets them: readdir
  // order at both levels, names beginning with "." skipped. Build expected output of runs
  // with several messages from this, since directory order is the file system's choice.
  std::vector<std::string> walk_order() const;
};

// qmail's control directory in the sandbox.
class Control {
 public:
  // <control>/name.
  std::string path(const std::string& name) const;
  // Writes the control file `name` with exactly `bytes` (e.g. "me", "queuelifetime",
  // "rcpthosts", raw "morercpthosts.cdb" bytes).
  void write(const std::string& name, const std::string& bytes, mode_t mode = 0644) const;
  // Removes the control file `name`.
  void remove(const std::string& name) const;
};

// The run file.
class RunFile {
 public:
  // Writes the run file with exactly `bytes` and then sets its mode.
  void write(const std::string& bytes, mode_t mode = 0644) const;
  // Its content, or nullopt when it does not exist.
  std::optional<std::string> read() const;
  // Removes it.
  void remove() const;
};

// What one call of the fake injector saw.
struct InjectorCall {
  std::vector<std::string> argv;  // argv[0] included, exact bytes (empty arguments too)
  std::string cwd;                // its working directory
  bool read_input = false;        // false when the plan made it exit before reading stdin
  std::string input;              // the bytes it read from standard input
  int pid = 0;                    // its process id
  std::vector<std::string> env;   // its environment, each entry as it was ("NAME=value")
  std::vector<int> fds;           // its open descriptors when it started, ascending
};

// Plan lines for the fake injector (see Injector::plan).
std::string inject_exit(int status);                // read stdin to its end, exit with status
std::string inject_early_exit(int status);          // exit with status without reading stdin
std::string inject_partial(int bytes, int status);  // read at most `bytes`, exit with status
std::string inject_signal(int signal_number);       // read stdin, die by the signal
std::string inject_stop();                          // read stdin, stop itself (SIGSTOP)
// Read stdin a little at a time, pausing `milliseconds` before each read, then exit 0; the
// input is recorded only once its end was reached, so a call cut short records none.
std::string inject_slow(int milliseconds);
// Removes the queue file `rel` (e.g. "info/6/9002", relative to the queue directory), then reads
// stdin and exits 0: qmail finishing another message while the walk runs.
std::string inject_remove(const std::string& rel);
// Reads stdin, then fills the file system that holds the sandbox (a full disk), and exits 0.
std::string inject_fill_disk();

// <sandbox>/lagwatch.time.sent, the journal of the notices handed over in the current window.
std::string journal_path();

// Gives the run file and its journal (created empty when missing) to `uid`:`gid`, as an admin
// prepares them for a run that is not root's. Needs root.
void give_state_to(int uid, int gid);

// The fake injector at <sandbox>/qmail/bin/qmail-inject.
class Injector {
 public:
  // Call N (counted from 1 in each run after a reset) does actions[N-1]; calls past the end
  // of the list exit 0 after reading their input.
  void plan(const std::vector<std::string>& actions) const;
  // The calls made since the last reset, in order.
  std::vector<InjectorCall> calls() const;
  // Removes the injector, so that its exec fails with ENOENT.
  void remove() const;
  // Installs it again (a reset does this).
  void install() const;
};

// ---- Running the program --------------------------------------------------------------------

// How a run is started.
struct RunOptions {
  int64_t now = kNow;  // the clock the program sees (time, gettimeofday)
  // false: frozen at `now` (gettimeofday's microseconds stay 0, so every MIME boundary of a run
  // is the same); true: starts at `now` and advances.
  bool clock_runs = false;
  std::string start_dir;        // working directory at start; empty: start_dir()
  mode_t umask = 022;           // the process's file-creation mask
  bool no_file_growth = false;  // RLIMIT_FSIZE 0 with SIGXFSZ ignored: every write that would
                                // grow a file fails with EFBIG (a full disk, in effect)
  // >= 0: the run drops to this user and group (no supplementary groups) before it starts;
  // needs root. Lets a test run by root see permissions. An ancestor of the build tree that
  // the user cannot enter (a tree in /root) is covered in a mount namespace of the run's own
  // (tests/as_user.h). When that cannot be done, or the user still cannot reach the program or
  // the start directory, the run ends with status 126 or 127 and one line on standard error
  // that begins with "harness: ".
  int run_as_uid = -1;
  int run_as_gid = -1;
  std::string argv0;  // the program's argv[0]; empty: the path of the sandbox build
  // >= 0: the run starts with RLIMIT_NOFILE (soft limit) at this many descriptors.
  int max_open_files = -1;
  // >= 3: the run starts with this descriptor open for appending to <sandbox>/inherited and
  // without close-on-exec, as a careless parent (a cron daemon, a shell) might leave one.
  int inherited_fd = -1;
  // A run still going after this many seconds is killed and recorded as a test failure.
  int timeout_seconds = 60;
  // A system-call filter for the run and its injectors: openat2 answers ENOSYS, as on a kernel
  // before 5.6, and fallocate EOPNOTSUPP, as on a file system that cannot reserve room.
  bool no_openat2 = false;
  bool no_fallocate = false;
  // The run leads a process group of its own, and run_lagwatch_interrupted signals the whole
  // group, as a terminal's Ctrl-C does.
  bool own_process_group = false;
};

// RunOptions with the clock frozen at `now` and everything else at its default.
RunOptions at_time(int64_t now);

// What a run gave.
struct RunResult {
  int exit_status = -1;  // the exit status, or -1 when the process did not exit
  int term_signal = 0;   // the signal that ended it, or 0
  std::string out;       // every byte written to standard output
  std::string err;       // every byte written to standard error
};

// True when a run as another user never started (status 126 or 127 and the harness's own
// "harness: " line, e.g. no mount namespace could be made): the test that asked for it skips
// with that line as its reason.
bool run_never_started(const RunResult& r);

// Runs the sandbox build with `args` after its name (exact bytes, no shell), standard input
// /dev/null, a controlled environment (clock through libfaketime, which fakes neither file
// times nor the monotonic clock; TZ=UTC; PATH=/usr/bin:/bin) and the options. Collects both
// output streams whole. Injectors that stopped themselves are killed and reaped afterwards.
// A run that takes longer than 60 seconds is killed and recorded as a test failure.
RunResult run_lagwatch(const std::vector<std::string>& args, const RunOptions& options = {});

// Same, started in `start_directory` (absolute, or relative to the sandbox root).
RunResult run_lagwatch(const std::vector<std::string>& args, const std::string& start_directory);

// How a run that was interrupted in the middle of a notice ended.
struct InterruptedRun {
  RunResult run;                   // the program's own end (term_signal: the signal sent)
  bool signal_sent = false;        // the chosen injector started before the program ended
  int injector_pid = 0;            // that injector's process id, or 0
  int injector_status = -1;        // its wait status; -1 when the program collected it itself
                                   // (it waited for it) or it could not be collected
  bool injector_outlived = false;  // it ran on 10 seconds after the program ended, and the
                                   // harness killed it (so injector_status says SIGKILL)
};

// Like run_lagwatch, but sends `signal_number` to the program as soon as its
// `injector_number`th injector of this run (counted from 1 after a reset) has started, and then
// waits for that injector as well. The harness is a child subreaper, so the injector that the
// program's end orphans is collected here and its own end reported.
InterruptedRun run_lagwatch_interrupted(const std::vector<std::string>& args, int injector_number,
                                        int signal_number, const RunOptions& options = {});

// ---- Expected texts ------------------------------------------------------------------------

// The six debug lines of loading the configuration, in their order, each
// "lagwatch: " + text + "\n"; `extra_rcpt` null reads "(null)".
std::string config_debug_lines(const std::string& me, int64_t queuelifetime, const char* extra_rcpt,
                               int64_t now, int64_t lastrun, int64_t opt_age);

// config_debug_lines for a reset sandbox (kMe, 604800, no extra recipient) with `lastrun`.
std::string default_config_debug_lines(int64_t lastrun, int64_t opt_age = 14400,
                                       int64_t now = kNow);

// "lagwatch: " + text + "\n".
std::string debug(const std::string& text);

// The system's message for an error number, as the program's diagnostics append it.
std::string errno_text(int error_number);

// ---- Fixture ---------------------------------------------------------------------------------

// googletest fixture: resets the sandbox before every test and gives the helpers short names.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_reset(); }

  Queue queue;
  Control control;
  RunFile run_file;
  Injector injector;
};

}  // namespace lagwatch::e2e

#endif  // LAGWATCH_TESTS_HARNESS_H_
