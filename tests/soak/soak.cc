// Live-queue churn soak: the real program (the lagwatch_soak build, whose qmail home and run
// file lie in <build>/soak-sandbox) runs again and again against a queue that a second process
// keeps changing the way qmail does, while the driver injects faults, and the soak checks over
// all runs that every notice went out once to the messages that were due.
//
// The second process ("the churner") plays qmail:
// - it adds messages in qmail's order: mess/S/N, then info/S/N (born with its final
//   modification time: written under a name beginning with "." and renamed into place), then
//   local/S/N and remote/S/N, with "T" records; message names are never reused, so a name
//   identifies one message for the whole soak (qmail reuses inode numbers within minutes);
// - it ages messages by giving each info file a modification time up to twice the threshold in
//   the past or up to the threshold in the future;
// - it delivers recipients by rewriting their "T" to "D" in place, deletes a channel's list
//   when all its recipients are done, and removes a finished message in qmail's order: the
//   lists as their channels complete, then info/S/N, then mess/S/N;
// - a few senders are qmail's bounces ("" and "#@[]"), which must never get a notice, and a
//   few begin with "-".
//
// The driver plays faults besides:
// - the stand-in injector (soak_inject.cc) exits 111 on about one call in 20, which ends the
//   run with the injector line; the next runs cover its window again;
// - now and then the program is killed with SIGKILL at a random moment of its run (in the walk,
//   in an injector, between an injector's exit and its journal line, after the run file);
// - now and then two starts are made at once: the one that finds the run file locked must end
//   with the lock line and start no injector.
// The injector records each call with the number of the run that started it: an accepted
// notice just before it exits 0, a failed call under a name of its own. After a kill that left
// the window open, the soak keeps the journal's lines for that window.
//
// At the end the soak checks:
// - every run ended one of the expected ways: exit 0 and silent; exit 111 with exactly the
//   injector line, after exactly one failed call, its last; exit 111 with exactly the lock line,
//   only when started beside another run or right after a kill, and no injector started;
//   killed by the soak;
// - no notice was handed over by an injector that outlived its run (orphans);
// - no message got more than one notice (duplicates), except one more for each notice that a
//   killed run handed over and did not write into its journal (kill gaps): the next run of the
//   same window cannot know it was sent;
// - every notice went to a message whose expiry lay in the window of the run that sent it,
//   (lastrun, now] for a lone start that completed its window, else (lastrun, the turn's end],
//   and never to a bounce (spurious);
// - every message that was fully queued before the turn whose completed window holds its expiry
//   started, and still had an undelivered recipient after that turn ended, got its notice, from
//   that turn or from a failed or killed run before it in the same window (misses);
// - every notice is whole: header, template, recipient lines naming the message's own
//   recipients, and the complete copy of the message text (truncated).
//
// Usage: lagwatch_soak_driver [--seconds N] [--max-runs N] [--seed N] [--threshold N]
// Bounded by time (default 40 s) and by the number of runs (default 100000); exit status 0
// when every check holds, 1 otherwise, 2 when the soak itself could not be set up.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <queue>
#include <random>
#include <string>
#include <vector>

#ifndef LAGWATCH_SOAK_SANDBOX
#error "LAGWATCH_SOAK_SANDBOX must name the soak's sandbox directory"
#endif
#ifndef LAGWATCH_SOAK_PROGRAM
#error "LAGWATCH_SOAK_PROGRAM must name the soak build of the program"
#endif
#ifndef LAGWATCH_SOAK_INJECTOR
#error "LAGWATCH_SOAK_INJECTOR must name the soak's stand-in injector"
#endif

namespace {

const std::string kSandbox = LAGWATCH_SOAK_SANDBOX;
const std::string kHome = kSandbox + "/qmail";
const std::string kQueue = kHome + "/queue";
const std::string kRunFile = kSandbox + "/lagwatch.time";
const std::string kNotices = kSandbox + "/notices";
const std::string kRuns = kSandbox + "/runs";
const std::string kChurnLog = kSandbox + "/churn.log";
const char* const kMe = "soak.example";
constexpr int kSplits = 23;

[[noreturn]] void setup_failure(const std::string& what) {
  std::fprintf(stderr, "soak: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

int64_t wall_ns() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ns(int64_t ns) {
  if (ns <= 0) return;
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void write_whole(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) setup_failure("create " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) setup_failure("write " + path);
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) setup_failure("close " + path);
}

std::string read_whole(const std::string& path, bool* exists = nullptr) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (exists != nullptr) *exists = fd != -1;
  if (fd == -1) return out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

void run_command(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    setup_failure("command failed: " + command);
  }
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) setup_failure("mkdir " + path);
}

// ---- Messages ------------------------------------------------------------------------------

enum sender_kind : int {
  SENDER_PLAIN = 0,
  SENDER_EMPTY = 1,
  SENDER_DOUBLE_BOUNCE = 2,
  SENDER_DASH = 3
};

// One queued message as the churner made and finished it. Times are wall-clock nanoseconds.
struct soak_message {
  uint64_t id;
  int kind;
  int remote_count;
  int local_count;
  int64_t birth;       // the info file's modification time, seconds
  int64_t created_ns;  // all of its files in place
  int64_t last_t_ns;   // just before its last "T" became "D"; 0 = never during the soak
};

int split_of(uint64_t id) { return static_cast<int>(id % kSplits); }

std::string name_of(uint64_t id) { return std::to_string(id); }

std::string sender_of(uint64_t id, int kind) {
  switch (kind) {
    case SENDER_EMPTY:
      return "";
    case SENDER_DOUBLE_BOUNCE:
      return "#@[]";
    case SENDER_DASH:
      return "-s" + std::to_string(id) + "@sender.example";
    default:
      return "s" + std::to_string(id) + "@sender.example";
  }
}

std::string remote_address(uint64_t id, int k) {
  return "r" + std::to_string(k) + "-" + std::to_string(id) + "@remote.example";
}

std::string local_address(uint64_t id, int k) {
  return "l" + std::to_string(k) + "-" + std::to_string(id) + "@local.example";
}

// The message text: a header, a body whose size depends on the name (up to about 20 kB, so
// that some notices are larger than a pipe's buffer), and an end line.
std::string mess_of(uint64_t id) {
  std::string text = "Subject: soak message " + std::to_string(id) + "\n\n";
  const size_t body = static_cast<size_t>((id * 2654435761u) % 20000);
  static const char pattern[] = "the quick brown fox jumps over the lazy dog 0123456789\n";
  while (text.size() < body) text += pattern;
  text += "END " + std::to_string(id) + "\n";
  return text;
}

// ---- The churner ---------------------------------------------------------------------------

struct live_message {
  soak_message m;
  std::vector<bool> remote_done;
  std::vector<bool> local_done;
  std::vector<int64_t> delivery_ns;  // per recipient: remote ones first, then local; 0 = never
  int undone;
};

struct churn_event {
  int64_t at_ns;
  uint64_t id;
  int recipient;  // index into delivery_ns
  bool operator>(const churn_event& o) const { return at_ns > o.at_ns; }
};

std::string records_of(const std::string& prefix_state, const std::vector<std::string>& addrs) {
  std::string out;
  for (const std::string& a : addrs) out += prefix_state + a + std::string(1, '\0');
  return out;
}

void create_message(const live_message* lm) {
  const soak_message& m = lm->m;
  const std::string split = std::to_string(split_of(m.id));
  const std::string name = name_of(m.id);
  write_whole(kQueue + "/mess/" + split + "/" + name, mess_of(m.id));

  const std::string tmp = kQueue + "/info/" + split + "/." + name;
  write_whole(tmp, "F" + sender_of(m.id, m.kind) + std::string(1, '\0'));
  struct timespec times[2] = {{static_cast<time_t>(m.birth), 0}, {static_cast<time_t>(m.birth), 0}};
  if (utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0) setup_failure("utimensat " + tmp);
  if (rename(tmp.c_str(), (kQueue + "/info/" + split + "/" + name).c_str()) != 0) {
    setup_failure("rename " + tmp);
  }
  if (m.local_count > 0) {
    std::vector<std::string> addrs;
    for (int k = 0; k < m.local_count; ++k) addrs.push_back(local_address(m.id, k));
    write_whole(kQueue + "/local/" + split + "/" + name, records_of("T", addrs));
  }
  if (m.remote_count > 0) {
    std::vector<std::string> addrs;
    for (int k = 0; k < m.remote_count; ++k) addrs.push_back(remote_address(m.id, k));
    write_whole(kQueue + "/remote/" + split + "/" + name, records_of("T", addrs));
  }
}

// Rewrites the state byte of record `k` of the list at `path` from "T" to "D", in place.
void mark_delivered(const std::string& path, uint64_t id, int k, bool remote) {
  off_t offset = 0;
  for (int i = 0; i < k; ++i) {
    offset +=
        static_cast<off_t>(1 + (remote ? remote_address(id, i) : local_address(id, i)).size() + 1);
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd == -1) setup_failure("open " + path);
  if (pwrite(fd, "D", 1, offset) != 1) setup_failure("pwrite " + path);
  if (close(fd) != 0) setup_failure("close " + path);
}

void remove_file(const std::string& path) {
  if (unlink(path.c_str()) != 0) setup_failure("unlink " + path);
}

void churn(int64_t deadline_ns, int64_t threshold, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::map<uint64_t, live_message> live;
  std::vector<soak_message> finished;
  std::priority_queue<churn_event, std::vector<churn_event>, std::greater<churn_event>> events;
  uint64_t next_id = 1000000 + (seed % 1000) * 1000000;
  int64_t next_add_ns = wall_ns();
  std::uniform_real_distribution<double> unit(0.0, 1.0);

  while (wall_ns() < deadline_ns) {
    const int64_t now = wall_ns();
    if (now >= next_add_ns) {
      if (live.size() < 2000) {
        live_message lm{};
        lm.m.id = next_id++;
        const double kind_draw = unit(rng);
        lm.m.kind = kind_draw < 0.04   ? SENDER_EMPTY
                    : kind_draw < 0.08 ? SENDER_DOUBLE_BOUNCE
                    : kind_draw < 0.11 ? SENDER_DASH
                                       : SENDER_PLAIN;
        lm.m.remote_count = static_cast<int>(rng() % 4);
        lm.m.local_count = static_cast<int>(rng() % 3);
        if (lm.m.remote_count + lm.m.local_count == 0) lm.m.remote_count = 1;
        // Aged: born up to twice the threshold ago, or up to the threshold from now.
        const int64_t now_s = now / 1000000000;
        lm.m.birth = now_s -
                     static_cast<int64_t>(rng() % static_cast<uint64_t>(3 * threshold + 1)) +
                     threshold;
        lm.remote_done.assign(static_cast<size_t>(lm.m.remote_count), false);
        lm.local_done.assign(static_cast<size_t>(lm.m.local_count), false);
        lm.undone = lm.m.remote_count + lm.m.local_count;
        create_message(&lm);
        lm.m.created_ns = wall_ns();
        // Most messages are delivered recipient by recipient within 3 thresholds; a third
        // wait longer, between 3 and 15 thresholds, as messages to slow hosts do.
        const bool slow = unit(rng) < 0.33;
        const double low = slow ? 3.0 : 0.0;
        const double high = slow ? 15.0 : 3.0;
        for (int r = 0; r < lm.undone; ++r) {
          const double thresholds = low + unit(rng) * (high - low);
          const int64_t delay =
              static_cast<int64_t>(thresholds * static_cast<double>(threshold) * 1e9);
          events.push(churn_event{lm.m.created_ns + delay, lm.m.id, r});
        }
        live.emplace(lm.m.id, lm);
      }
      // About 60 messages a second on average.
      next_add_ns = now + static_cast<int64_t>(-std::log(1.0 - unit(rng)) * 16.0e6);
    }
    while (!events.empty() && events.top().at_ns <= wall_ns()) {
      const churn_event e = events.top();
      events.pop();
      auto it = live.find(e.id);
      if (it == live.end()) continue;
      live_message& lm = it->second;
      const uint64_t id = lm.m.id;
      const std::string split = std::to_string(split_of(id));
      const std::string name = name_of(id);
      const bool remote = e.recipient < lm.m.remote_count;
      const int k = remote ? e.recipient : e.recipient - lm.m.remote_count;
      const std::string path = kQueue + (remote ? "/remote/" : "/local/") + split + "/" + name;
      if (lm.undone == 1) lm.m.last_t_ns = wall_ns();
      mark_delivered(path, id, k, remote);
      std::vector<bool>& done = remote ? lm.remote_done : lm.local_done;
      done[static_cast<size_t>(k)] = true;
      --lm.undone;
      if (std::all_of(done.begin(), done.end(), [](bool b) { return b; })) remove_file(path);
      if (lm.undone == 0) {
        // qmail's removal order: the lists are gone already; info, then the message text.
        remove_file(kQueue + "/info/" + split + "/" + name);
        remove_file(kQueue + "/mess/" + split + "/" + name);
        finished.push_back(lm.m);
        live.erase(it);
      }
    }
    int64_t wake = next_add_ns;
    if (!events.empty()) wake = std::min(wake, events.top().at_ns);
    wake = std::min(wake, deadline_ns);
    sleep_ns(std::min<int64_t>(wake - wall_ns(), 5000000));
  }

  std::string log;
  auto line = [&log](const soak_message& m) {
    log += std::to_string(m.id) + " " + std::to_string(m.kind) + " " +
           std::to_string(m.remote_count) + " " + std::to_string(m.local_count) + " " +
           std::to_string(m.birth) + " " + std::to_string(m.created_ns) + " " +
           std::to_string(m.last_t_ns) + "\n";
  };
  for (const soak_message& m : finished) line(m);
  for (const auto& [id, lm] : live) line(lm.m);
  write_whole(kChurnLog + ".tmp", log);
  if (rename((kChurnLog + ".tmp").c_str(), kChurnLog.c_str()) != 0) setup_failure("rename log");
}

// ---- The runs ------------------------------------------------------------------------------

const std::string kJournal = kRunFile + ".sent";
const char* const kInjectorLine = "lagwatch: Fatal: qmail-inject exited with an error.\n";
const char* const kLockLine = "lagwatch: Fatal: Another run holds the run file.\n";

// Faults, each drawn independently: one injector call in kFailOneIn exits 111; one turn in
// kKillOneIn kills the program at a random moment; one turn in kPairOneIn starts it twice at
// once. A kill strikes at a uniform moment within twice the average length of the recent
// turns, so that it lands in the walk, in an injector, between the two or after the run, on a
// fast build as on a slow one.
constexpr int kFailOneIn = 20;
constexpr int kKillOneIn = 12;
constexpr int kPairOneIn = 12;

// How a start of the program ended.
enum run_outcome : int {
  OUTCOME_COMPLETED = 0,       // exit 0, nothing on standard output or error
  OUTCOME_INJECTOR_ERROR = 1,  // exit 111 with the injector line, nothing else
  OUTCOME_LOCKED_OUT = 2,      // exit 111 with the lock line, nothing else
  OUTCOME_KILLED = 3,          // the soak's SIGKILL
  OUTCOME_UNEXPECTED = 4,
};

const char* outcome_name(int outcome) {
  static const char* const names[] = {"completed", "injector error", "locked out", "killed",
                                      "unexpected"};
  return names[outcome];
}

// One start of the program; its injectors record `number` as the number of their run.
struct soak_run {
  int number;
  size_t turn;  // index into the turns
  int outcome;
};

// One turn of the driver: one start, or two started at once. Its window is (lastrun, now]
// when a start of it completed the window (and wrote `now` into the run file); otherwise the
// window stays where it was and the next turn covers it again.
struct soak_turn {
  int64_t start_ns;
  int64_t end_ns;
  int64_t lastrun;
  int64_t now;  // the run file after the turn
  bool completed;
  bool killed;  // a start of it was killed
  bool pair;
  std::vector<std::string> journal;  // after a kill that left the window open: its lines
};

// Starts the program as run `number`, its standard output and error going to `out_path` and
// `err_path`. Returns its process id.
pid_t start_program(int number, int64_t threshold, const std::string& out_path,
                    const std::string& err_path) {
  const pid_t pid = fork();
  if (pid == -1) setup_failure("fork");
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out == -1 || err == -1 || dup2(out, 1) != 1 || dup2(err, 2) != 2) _exit(126);
    if (chdir(kSandbox.c_str()) != 0) _exit(126);
    // The injector's environment is empty: it finds the run's number under its parent's
    // process id, which exec keeps.
    const std::string number_path = kRuns + "/" + std::to_string(getpid());
    const std::string digits = std::to_string(number);
    const int fd = open(number_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1 ||
        write(fd, digits.data(), digits.size()) != static_cast<ssize_t>(digits.size()) ||
        close(fd) != 0) {
      _exit(126);
    }
    const std::string t = std::to_string(threshold);
    execl(LAGWATCH_SOAK_PROGRAM, LAGWATCH_SOAK_PROGRAM, "-t", t.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits for `pid` to end; returns its wait status.
int wait_program(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) setup_failure("waitpid");
  }
  return status;
}

// Waits for `pid`, killing it with SIGKILL when it still runs `delay_ns` after `start_ns`.
int wait_or_kill(pid_t pid, int64_t start_ns, int64_t delay_ns) {
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == -1 && errno != EINTR) setup_failure("waitpid");
    if (got == pid) return status;
    const int64_t left = start_ns + delay_ns - wall_ns();
    // An exited program is not reaped yet, so its id cannot name another process.
    if (left <= 0) {
      if (kill(pid, SIGKILL) != 0) setup_failure("kill");
      return wait_program(pid);
    }
    sleep_ns(std::min<int64_t>(left, 1000000));
  }
}

// Names the outcome of a start from its wait status and what it wrote; `problem` says what was
// wrong with an unexpected one.
int judge_outcome(int status, bool kill_sent, const std::string& out, const std::string& err,
                  std::string* problem) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && kill_sent) return OUTCOME_KILLED;
  if (!WIFEXITED(status)) {
    *problem = "ended by signal " + std::to_string(WTERMSIG(status));
    return OUTCOME_UNEXPECTED;
  }
  const int code = WEXITSTATUS(status);
  if (code == 0 && out.empty() && err.empty()) return OUTCOME_COMPLETED;
  if (code == 111 && out.empty() && err == kInjectorLine) return OUTCOME_INJECTOR_ERROR;
  if (code == 111 && out.empty() && err == kLockLine) return OUTCOME_LOCKED_OUT;
  *problem = "exited " + std::to_string(code) + " with output \"" + out + "\" and \"" + err + "\"";
  return OUTCOME_UNEXPECTED;
}

// The journal's lines after its first, when its first line names the window that starts at
// `lastrun`; none otherwise, as the program then ignores it.
std::vector<std::string> journal_for(int64_t lastrun) {
  const std::string bytes = read_whole(kJournal);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) break;  // a line cut short names no notice
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 1;
  }
  if (lines.empty() || lines[0] != std::to_string(lastrun)) return {};
  lines.erase(lines.begin());
  return lines;
}

// Plays one turn: one start, or two at once (kind 2), or one that is killed (kind 1). Appends
// the turn and its starts; returns the problems of starts with an unexpected outcome.
std::vector<std::string> play_turn(int kind, int64_t threshold, int64_t kill_delay_ns,
                                   int64_t lastrun, std::vector<soak_turn>* turns,
                                   std::vector<soak_run>* runs) {
  soak_turn turn{};
  turn.lastrun = lastrun;
  turn.pair = kind == 2;
  const bool after_kill = !turns->empty() && turns->back().killed;
  const int starts = turn.pair ? 2 : 1;
  pid_t pids[2] = {0, 0};
  turn.start_ns = wall_ns();
  for (int i = 0; i < starts; ++i) {
    const std::string base = kSandbox + "/run" + std::to_string(i);
    pids[i] = start_program(static_cast<int>(runs->size()) + 1 + i, threshold, base + ".out",
                            base + ".err");
  }
  int statuses[2] = {0, 0};
  for (int i = 0; i < starts; ++i) {
    statuses[i] =
        kind == 1 ? wait_or_kill(pids[i], turn.start_ns, kill_delay_ns) : wait_program(pids[i]);
  }
  turn.end_ns = wall_ns();

  bool exists = false;
  const std::string digits = read_whole(kRunFile, &exists);
  turn.now = exists ? std::strtoll(digits.c_str(), nullptr, 10) : 0;
  std::vector<std::string> problems;
  for (int i = 0; i < starts; ++i) {
    soak_run run{};
    run.number = static_cast<int>(runs->size()) + 1;
    run.turn = turns->size();
    const std::string base = kSandbox + "/run" + std::to_string(i);
    std::string problem;
    run.outcome = judge_outcome(statuses[i], kind == 1, read_whole(base + ".out"),
                                read_whole(base + ".err"), &problem);
    if (run.outcome == OUTCOME_COMPLETED && (!exists || turn.now < lastrun)) {
      run.outcome = OUTCOME_UNEXPECTED;
      problem = "exited 0 but left no later run file";
    }
    // Right after a kill the lock may still be held for a moment: a child that the killed
    // program forked for an injector shares the locked file until it closes its copy, first
    // thing after the fork.
    if (run.outcome == OUTCOME_LOCKED_OUT && !turn.pair && !after_kill) {
      run.outcome = OUTCOME_UNEXPECTED;
      problem = "found the lock held though no other run was started or killed";
    }
    if (run.outcome == OUTCOME_COMPLETED) turn.completed = true;
    if (run.outcome == OUTCOME_KILLED) turn.killed = true;
    if (run.outcome == OUTCOME_UNEXPECTED) {
      problems.push_back("run " + std::to_string(run.number) + " " + problem);
    }
    runs->push_back(run);
  }
  if (turn.pair && (*runs)[runs->size() - 1].outcome == OUTCOME_LOCKED_OUT &&
      (*runs)[runs->size() - 2].outcome == OUTCOME_LOCKED_OUT) {
    problems.push_back("runs " + std::to_string(runs->size() - 1) + " and " +
                       std::to_string(runs->size()) + " both found the lock held");
  }
  // A killed start completed the window when it wrote the run file before it died; no other
  // start may change it.
  if (turn.killed && turn.now != lastrun) turn.completed = true;
  if (!turn.completed && turn.now != lastrun) {
    problems.push_back("the run file changed in a turn that completed no run");
  }
  if (turn.killed && !turn.completed) turn.journal = journal_for(lastrun);
  turns->push_back(turn);
  return problems;
}

// ---- Checking ------------------------------------------------------------------------------

// One call of the injector, from its record.
struct notice_record {
  int run;
  std::vector<std::string> argv;
  std::string input;
  std::string file;
  char kind;          // 'n' accepted, 'o' accepted by an orphan, 'f' failed (exit 111)
  std::string stamp;  // "SECONDS-NANOSECONDS" of the call's end
  uint64_t id;        // the message, for a notice
};

// True when the stamp `a` is later than the stamp `b`.
bool stamp_after(const std::string& a, const std::string& b) {
  long long a_s = 0, a_ns = 0, b_s = 0, b_ns = 0;
  std::sscanf(a.c_str(), "%lld-%lld", &a_s, &a_ns);
  std::sscanf(b.c_str(), "%lld-%lld", &b_s, &b_ns);
  return a_s != b_s ? a_s > b_s : a_ns > b_ns;
}

bool parse_record(const std::string& bytes, notice_record* r) {
  size_t pos = 0;
  auto next_line = [&bytes, &pos](std::string* line) {
    const size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) return false;
    *line = bytes.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  std::string line;
  if (!next_line(&line) || line.rfind("run=", 0) != 0) return false;
  r->run = std::atoi(line.c_str() + 4);
  if (!next_line(&line) || line.rfind("argc=", 0) != 0) return false;
  const int argc = std::atoi(line.c_str() + 5);
  for (int i = 0; i < argc; ++i) {
    if (!next_line(&line)) return false;
    r->argv.push_back(line);
  }
  if (!next_line(&line) || !line.empty()) return false;
  r->input = bytes.substr(pos);
  return true;
}

// The sender named by the injector's argument vector: the argument after "-a" (and after
// "--" when the sender begins with "-").
std::string sender_of_argv(const std::vector<std::string>& argv, std::string* problem) {
  if (argv.size() < 5 || argv[1] != "-f" || !argv[2].empty() || argv[3] != "-a") {
    *problem = "unexpected argument vector";
    return "";
  }
  if (argv[4] == "--") {
    if (argv.size() != 6 || argv[5].empty() || argv[5][0] != '-') {
      *problem = "\"--\" before a sender that does not begin with \"-\"";
      return "";
    }
    return argv[5];
  }
  if (argv.size() != 5 || (!argv[4].empty() && argv[4][0] == '-')) {
    *problem = "a sender beginning with \"-\" without \"--\"";
    return "";
  }
  return argv[4];
}

std::string expected_template(int64_t threshold) {
  // The built-in template with this host, the age text and the default lifetime text.
  std::string age = threshold >= 86400  ? std::to_string(threshold / 86400) + " days"
                    : threshold >= 3600 ? std::to_string(threshold / 3600) + " hours"
                    : threshold >= 60   ? std::to_string(threshold / 60) + " minutes"
                                        : std::to_string(threshold) + " seconds";
  return std::string("Your message has been received by ") + kMe +
         " but has been\nundeliverable to the following recipients for at least " + age +
         ".\nThe mail system will continue to attempt to deliver your message\nto these "
         "recipients for a total of 7 days.  You do not need to\nresend your message at this "
         "time.\n";
}

// Returns "" when `input` is the whole notice for message `m`, or what is wrong with it.
std::string check_notice(const std::string& input, const soak_message& m, int64_t threshold) {
  const std::string head = "From: <MAILER-DAEMON@" + std::string(kMe) + ">\nTo: <" +
                           sender_of(m.id, m.kind) + ">\nSubject: delayed delivery notice\n\n" +
                           expected_template(threshold) + "\nRecipient(s):\n";
  const std::string tail =
      "\n--- Below this line is a copy of the original message.\n\n" + mess_of(m.id) + "\n";
  if (input.size() < head.size() + tail.size()) return "shorter than a whole notice";
  if (input.compare(0, head.size(), head) != 0) return "header or template differs";
  if (input.compare(input.size() - tail.size(), tail.size(), tail) != 0) {
    return "the copy of the message is not whole";
  }
  const std::string lines = input.substr(head.size(), input.size() - head.size() - tail.size());
  if (lines.empty()) return "no recipient line";
  // Each line names one of the message's recipients: local ones before remote ones.
  std::vector<std::string> allowed;
  for (int k = 0; k < m.local_count; ++k) allowed.push_back("\t" + local_address(m.id, k) + "\n");
  for (int k = 0; k < m.remote_count; ++k) {
    allowed.push_back("\t" + remote_address(m.id, k) + "\n");
  }
  size_t pos = 0;
  size_t last_index = 0;
  while (pos < lines.size()) {
    const size_t end = lines.find('\n', pos);
    if (end == std::string::npos) return "a recipient line without its line feed";
    const std::string line = lines.substr(pos, end - pos + 1);
    const auto it = std::find(allowed.begin(), allowed.end(), line);
    if (it == allowed.end()) return "a recipient line that is not the message's: " + line;
    const size_t index = static_cast<size_t>(it - allowed.begin());
    if (pos > 0 && index <= last_index) return "recipient lines out of order";
    last_index = index;
    pos = end + 1;
  }
  return "";
}

struct options {
  int64_t seconds = 40;
  int max_runs = 100000;
  uint64_t seed = 0;
  int64_t threshold = 3;
};

options parse_options(int argc, char** argv) {
  options o;
  o.seed = static_cast<uint64_t>(wall_ns());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "soak: %s needs a value\n", a.c_str());
      std::exit(2);
    }
    const char* v = argv[++i];
    if (a == "--seconds") {
      o.seconds = std::strtoll(v, nullptr, 10);
    } else if (a == "--max-runs") {
      o.max_runs = std::atoi(v);
    } else if (a == "--seed") {
      o.seed = std::strtoull(v, nullptr, 10);
    } else if (a == "--threshold") {
      o.threshold = std::strtoll(v, nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: soak [--seconds N] [--max-runs N] [--seed N] [--threshold N]\n");
      std::exit(2);
    }
  }
  if (o.seconds < 1 || o.max_runs < 1 || o.threshold < 1) {
    std::fprintf(stderr, "soak: --seconds, --max-runs and --threshold must be positive\n");
    std::exit(2);
  }
  return o;
}

void lay_out_sandbox() {
  run_command("rm -rf '" + kSandbox + "'");
  make_dir(kSandbox);
  make_dir(kHome);
  make_dir(kHome + "/control");
  make_dir(kHome + "/bin");
  make_dir(kQueue);
  make_dir(kNotices);
  make_dir(kRuns);
  write_whole(kSandbox + "/fail-one-in", std::to_string(kFailOneIn));
  for (const char* d : {"info", "local", "remote", "mess"}) {
    make_dir(kQueue + "/" + d);
    for (int s = 0; s < kSplits; ++s) make_dir(kQueue + "/" + d + "/" + std::to_string(s));
  }
  write_whole(kHome + "/control/me", std::string(kMe) + "\n");
  if (symlink(LAGWATCH_SOAK_INJECTOR, (kHome + "/bin/qmail-inject").c_str()) != 0) {
    setup_failure("symlink the injector");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse_options(argc, argv);
  lay_out_sandbox();
  std::printf("soak: %lld s, at most %d runs, threshold %lld s, seed %llu\n",
              static_cast<long long>(o.seconds), o.max_runs, static_cast<long long>(o.threshold),
              static_cast<unsigned long long>(o.seed));
  std::fflush(stdout);

  const int64_t deadline = wall_ns() + o.seconds * 1000000000;
  const pid_t churner = fork();
  if (churner == -1) setup_failure("fork the churner");
  if (churner == 0) {
    churn(deadline, o.threshold, o.seed);
    _exit(0);
  }

  std::vector<soak_turn> turns;
  std::vector<soak_run> runs;
  std::vector<std::string> problems;
  std::mt19937_64 rng(o.seed ^ 0x5eed);
  int64_t lastrun = 0;
  int64_t average_ns = 10000000;  // the length of recent single turns, a moving average
  int bad_runs = 0;
  auto note = [&problems](size_t limit, const std::string& p) {
    if (problems.size() < limit) problems.push_back(p);
  };
  while (wall_ns() < deadline && static_cast<int>(runs.size()) < o.max_runs) {
    const int kind = rng() % kKillOneIn == 0 ? 1 : rng() % kPairOneIn == 0 ? 2 : 0;
    const auto kill_delay = static_cast<int64_t>(rng() % static_cast<uint64_t>(2 * average_ns + 1));
    for (const std::string& p : play_turn(kind, o.threshold, kill_delay, lastrun, &turns, &runs)) {
      ++bad_runs;
      note(20, p);
    }
    if (kind == 0) average_ns += (turns.back().end_ns - turns.back().start_ns - average_ns) / 16;
    lastrun = turns.back().now;
    // Back to back most of the time, now and then a pause of up to 100 ms.
    if (rng() % 4 == 0) sleep_ns(static_cast<int64_t>(rng() % 100000000));
  }
  int churn_status = 0;
  while (waitpid(churner, &churn_status, 0) == -1) {
    if (errno != EINTR) setup_failure("wait for the churner");
  }
  if (!WIFEXITED(churn_status) || WEXITSTATUS(churn_status) != 0) {
    std::fprintf(stderr, "soak: the churner failed\n");
    return 2;
  }

  // The messages, by id.
  std::map<uint64_t, soak_message> messages;
  {
    const std::string log = read_whole(kChurnLog);
    size_t pos = 0;
    while (pos < log.size()) {
      const size_t end = log.find('\n', pos);
      soak_message m{};
      unsigned long long id = 0;
      long long birth = 0;
      long long created = 0;
      long long last_t = 0;
      if (std::sscanf(log.c_str() + pos, "%llu %d %d %d %lld %lld %lld", &id, &m.kind,
                      &m.remote_count, &m.local_count, &birth, &created, &last_t) != 7) {
        std::fprintf(stderr, "soak: unreadable churn log\n");
        return 2;
      }
      m.id = id;
      m.birth = birth;
      m.created_ns = created;
      m.last_t_ns = last_t;
      messages[m.id] = m;
      pos = end + 1;
    }
  }

  // The injector's records: notices by message, and every call by run.
  std::vector<notice_record> records;
  std::map<uint64_t, std::vector<size_t>> notices;
  std::map<int, std::vector<size_t>> calls;
  int notice_count = 0;
  int injector_failures = 0;
  int orphans = 0;
  int spurious = 0;
  int truncated = 0;
  DIR* dir = opendir(kNotices.c_str());
  if (dir == nullptr) setup_failure("open the notices directory");
  while (struct dirent* e = readdir(dir)) {
    // A name beginning with "." is a record its injector never finished: it was killed.
    if (e->d_name[0] == '.') continue;
    notice_record r{};
    r.file = e->d_name;
    r.kind = r.file[0];
    const size_t dash = r.file.find('-', 2);
    r.stamp = dash == std::string::npos ? "" : r.file.substr(dash + 1);
    std::string problem;
    std::string sender;
    if (!parse_record(read_whole(kNotices + "/" + r.file), &r)) {
      problem = "unreadable record";
    } else if (r.run < 1 || r.run > static_cast<int>(runs.size())) {
      problem = "a call from an unknown run";
    } else if (r.kind == 'f') {
      ++injector_failures;
      calls[r.run].push_back(records.size());
      records.push_back(r);
      continue;  // not sent: the injector exited 111
    } else {
      sender = sender_of_argv(r.argv, &problem);
    }
    ++notice_count;
    if (r.kind == 'o') {
      ++orphans;
      note(40, "notice " + r.file + " was handed over by an injector that outlived its run");
    }
    if (problem.empty()) {
      // "s<id>@sender.example" or "-s<id>@sender.example"
      const size_t s = sender.find('s');
      r.id = std::strtoull(sender.c_str() + (s == std::string::npos ? 0 : s + 1), nullptr, 10);
      if (messages.count(r.id) == 0 || sender_of(r.id, messages[r.id].kind) != sender) {
        problem = "a notice to a sender the churner never queued: " + sender;
      }
    }
    if (problem.empty()) {
      const soak_message& m = messages[r.id];
      const int64_t expiry = m.birth + o.threshold;
      // The run file gives the `now` of a lone start that completed. Any other start took its
      // `now` before it ended, and the second of two starts may have begun where the first
      // ended and then failed.
      const soak_turn& turn = turns[runs[static_cast<size_t>(r.run - 1)].turn];
      const int64_t upper = turn.completed && !turn.pair ? turn.now : turn.end_ns / 1000000000;
      if (!(turn.lastrun < expiry && expiry <= upper)) {
        const soak_run& run = runs[static_cast<size_t>(r.run - 1)];
        problem = "message " + std::to_string(r.id) + " (expiry " + std::to_string(expiry) +
                  ") notified by run " + std::to_string(r.run) + " (" + outcome_name(run.outcome) +
                  ") outside its window (" + std::to_string(turn.lastrun) + ", " +
                  std::to_string(upper) + "]";
      }
      const std::string whole = check_notice(r.input, m, o.threshold);
      if (!whole.empty()) {
        ++truncated;
        note(40, "notice " + r.file + " for " + std::to_string(r.id) + ": " + whole);
      }
      notices[r.id].push_back(records.size());
      calls[r.run].push_back(records.size());
      records.push_back(r);
    }
    if (!problem.empty()) {
      ++spurious;
      note(40, "notice " + r.file + ": " + problem);
    }
  }
  closedir(dir);

  // Each start's calls against its outcome; the kills that struck between an injector's exit 0
  // and its journal line.
  int kills = 0;
  int pairs = 0;
  int locked_out = 0;
  int locked_after_kill = 0;
  int completed = 0;
  int kill_gaps = 0;
  std::map<uint64_t, int> gaps_of;
  for (const soak_turn& turn : turns) pairs += turn.pair ? 1 : 0;
  for (const soak_run& run : runs) {
    kills += run.outcome == OUTCOME_KILLED ? 1 : 0;
    locked_out += run.outcome == OUTCOME_LOCKED_OUT ? 1 : 0;
    locked_after_kill += run.outcome == OUTCOME_LOCKED_OUT && !turns[run.turn].pair ? 1 : 0;
    completed += run.outcome == OUTCOME_COMPLETED ? 1 : 0;
    const std::vector<size_t>& mine = calls[run.number];
    std::string problem;
    int failures = 0;
    std::string failed_at;
    for (size_t i : mine) {
      if (records[i].kind != 'f') continue;
      ++failures;
      failed_at = records[i].stamp;
    }
    if (run.outcome == OUTCOME_LOCKED_OUT && !mine.empty()) {
      problem = "found the lock held, yet started the injector";
    } else if (run.outcome == OUTCOME_INJECTOR_ERROR && failures != 1) {
      problem = "reported an injector error after " + std::to_string(failures) + " failed calls";
    } else if (failures > 0 && run.outcome != OUTCOME_INJECTOR_ERROR &&
               run.outcome != OUTCOME_KILLED) {
      problem = "ended " + std::string(outcome_name(run.outcome)) + " after a failed call";
    } else if (failures > 1) {
      problem = "went on after a failed call";
    }
    for (size_t i : mine) {
      if (failures > 0 && records[i].kind != 'f' && stamp_after(records[i].stamp, failed_at)) {
        problem = "handed over a notice after a failed call";
      }
    }
    if (!problem.empty() && run.outcome != OUTCOME_UNEXPECTED) {
      ++bad_runs;
      note(40, "run " + std::to_string(run.number) + " " + problem);
    }
    const soak_turn& turn = turns[run.turn];
    if (run.outcome != OUTCOME_KILLED || turn.completed) continue;
    for (size_t i : mine) {
      const notice_record& r = records[i];
      if (r.kind == 'f') continue;
      const std::string line = std::to_string(split_of(r.id)) + "/" + name_of(r.id) + " " +
                               std::to_string(messages[r.id].birth);
      if (std::find(turn.journal.begin(), turn.journal.end(), line) == turn.journal.end()) {
        ++kill_gaps;
        ++gaps_of[r.id];
      }
    }
  }

  int duplicates = 0;
  int duplicates_from_kills = 0;
  int misses = 0;
  int must_notify = 0;
  int bounces = 0;
  for (const auto& [id, m] : messages) {
    const auto found = notices.find(id);
    const int got = found == notices.end() ? 0 : static_cast<int>(found->second.size());
    if (got > 1) {
      // A notice handed over in a kill's gap is sent again: that much is expected, no more.
      const int extra = got - 1;
      const int from_kills = std::min(extra, gaps_of[id]);
      duplicates += extra;
      duplicates_from_kills += from_kills;
      if (extra > from_kills) {
        std::string senders;
        for (size_t i : found->second) {
          const soak_run& run = runs[static_cast<size_t>(records[i].run - 1)];
          senders += " " + std::to_string(run.number) + " (" + outcome_name(run.outcome) + ")";
        }
        note(60, "message " + std::to_string(id) + " got " + std::to_string(got) +
                     " notices, from runs" + senders);
      }
    }
    const bool bounce = m.kind == SENDER_EMPTY || m.kind == SENDER_DOUBLE_BOUNCE;
    if (bounce) {
      ++bounces;
      continue;  // a notice to a bounce was counted as spurious above
    }
    // The one completed turn whose window holds the expiry; the message must have been fully
    // queued before it started and still undelivered after it ended. Starts that failed or
    // were killed before it covered the same window, and may have sent the notice already.
    const int64_t expiry = m.birth + o.threshold;
    for (size_t t = 0; t < turns.size(); ++t) {
      const soak_turn& turn = turns[t];
      if (!turn.completed || !(turn.lastrun < expiry && expiry <= turn.now)) continue;
      if (m.created_ns < turn.start_ns && (m.last_t_ns == 0 || m.last_t_ns > turn.end_ns)) {
        ++must_notify;
        if (got == 0) {
          ++misses;
          note(80, "message " + std::to_string(id) + " (expiry " + std::to_string(expiry) +
                       ") got no notice; turn " + std::to_string(t + 1) + " completed its window");
        }
      }
      break;
    }
  }

  for (const std::string& p : problems) std::printf("soak: %s\n", p.c_str());
  std::printf(
      "soak: runs=%zu completed=%d bad_runs=%d messages=%zu bounces=%d injector_111=%d kills=%d "
      "overlapping_starts=%d locked_out=%d locked_after_kill=%d notices=%d must_notify=%d "
      "duplicates=%d duplicates_from_kills=%d kill_gaps=%d orphans=%d misses=%d spurious=%d "
      "truncated=%d\n",
      runs.size(), completed, bad_runs, messages.size(), bounces, injector_failures, kills, pairs,
      locked_out, locked_after_kill, notice_count, must_notify, duplicates, duplicates_from_kills,
      kill_gaps, orphans, misses, spurious, truncated);
  const bool passed = bad_runs == 0 && duplicates == duplicates_from_kills && orphans == 0 &&
                      misses == 0 && spurious == 0 && truncated == 0 && must_notify > 0 &&
                      !runs.empty();
  std::printf("soak: %s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}
