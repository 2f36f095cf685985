// Relay-domain filter benchmarks: load time of an rcpthosts of 1,000,000 lines, and check_sender
// look-ups per second against it and against a morercpthosts.cdb of 1,000,000 domains. The peak
// resident size of the process (ru_maxrss) is reported as a counter after each benchmark.
//
// The files are made once per run in <build>/bench-relay: rcpthosts/ holds only rcpthosts,
// cdb/ only morercpthosts.cdb (written by tinycdb's `cdb -c`).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "lib/bytestr.h"
#include "relay/relay.h"
#include "run/settings.h"

namespace {

constexpr int kDomains = 1000000;

const std::string kDir = LAGWATCH_RELAY_BENCH_DIR;

// Concatenates by appending (operator+ on string temporaries trips a false -Wrestrict alarm).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view p : parts) s.append(p);
  return s;
}

// Domain i of the listed set: nine in ten exact names, one in ten a ".parent" line that admits
// every host below it.
std::string listed_line(int i) {
  if (i % 10 == 9) return cat({".p", std::to_string(i), ".example.net"});
  return cat({"d", std::to_string(i), ".example.com"});
}

// Sender k: a third match a line exactly, a third match a ".parent" line through their second
// candidate, a third are listed nowhere (three candidates, all missed).
std::string sender(int k) {
  const int i = static_cast<int>(int64_t{k} * 7919 % kDomains);  // spread, not in file order
  switch (k % 3) {
    case 0:
      return cat({"user@d", std::to_string(i - i % 10), ".example.com"});
    case 1:
      return cat({"user@mail.p", std::to_string(i - i % 10 + 9), ".example.net"});
    default:
      return cat({"user@unlisted", std::to_string(i), ".example.org"});
  }
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!f.good()) {
    fprintf(stderr, "relay_bench: cannot write %s\n", path.c_str());
    exit(1);
  }
}

void make_files() {
  std::filesystem::create_directories(kDir + "/rcpthosts");
  std::filesystem::create_directories(kDir + "/cdb");
  std::string rcpthosts;
  std::string cdb_input;
  for (int i = 0; i < kDomains; ++i) {
    const std::string line = listed_line(i);
    rcpthosts.append(line).push_back('\n');
    cdb_input.append(cat({"+", std::to_string(line.size()), ",0:", line, "->\n"}));
  }
  cdb_input += "\n";
  write_text(kDir + "/rcpthosts/rcpthosts", rcpthosts);
  write_text(kDir + "/cdb.in", cdb_input);
  const std::string out = kDir + "/cdb/morercpthosts.cdb";
  const std::string tmp = kDir + "/cdb/morercpthosts.tmp";
  const std::string in = kDir + "/cdb.in";
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("cdb", "cdb", "-c", "-t", tmp.c_str(), out.c_str(), in.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fprintf(stderr, "relay_bench: cdb -c failed\n");
    exit(1);
  }
}

const std::vector<std::string>& senders() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> v;
    v.reserve(kDomains);
    for (int k = 0; k < kDomains; ++k) v.push_back(sender(k));
    return v;
  }();
  return all;
}

double peak_rss_mib() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

int64_t allocations = 0;
void* counting_alloc(unsigned long size) {
  ++allocations;
  return malloc(size);
}

// Loads the filter from `dir` (which plays qmail's control directory) with -r set.
void load_from(const std::string& dir) {
  if (chdir(dir.c_str()) != 0) {
    perror("relay_bench: chdir");
    exit(1);
  }
  lagwatch::relay_reset();
  lagwatch::settings.opt_rcpthosts_only = 1;
  lagwatch::load_relay_domains();
}

void BM_LoadRcpthosts1M(benchmark::State& state) {
  while (state.KeepRunning()) load_from(kDir + "/rcpthosts");
  state.SetItemsProcessed(state.iterations() * kDomains);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}

// Checks every one of the 1,000,000 senders once per iteration.
void check_all(benchmark::State& state) {
  const std::vector<std::string>& all = senders();
  // One pass first, so that the scratch key has its final size; then every byte-string
  // allocation during the measured passes is counted (the filter should make none).
  for (const std::string& s : all) lagwatch::check_sender(s.c_str());
  allocations = 0;
  lagwatch::bytestr_set_allocator(counting_alloc);
  int64_t passed = 0;
  while (state.KeepRunning()) {
    for (const std::string& s : all) passed += lagwatch::check_sender(s.c_str());
  }
  lagwatch::bytestr_set_allocator(nullptr);
  state.counters["allocations"] = static_cast<double>(allocations);
  benchmark::DoNotOptimize(passed);
  state.SetItemsProcessed(state.iterations() * kDomains);
  // Two in three senders are listed; anything else means the benchmark measured the wrong thing.
  state.counters["passed_share"] =
      static_cast<double>(passed) / static_cast<double>(state.iterations() * kDomains);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}

void BM_CheckSenderRcpthosts1M(benchmark::State& state) {
  load_from(kDir + "/rcpthosts");
  check_all(state);
}

void BM_CheckSenderCdb1M(benchmark::State& state) {
  load_from(kDir + "/cdb");
  check_all(state);
}

BENCHMARK(BM_LoadRcpthosts1M)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckSenderRcpthosts1M)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CheckSenderCdb1M)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  // The files are made by a child, so that the strings built for them do not count in this
  // process's peak resident size.
  const pid_t maker = fork();
  if (maker == 0) {
    make_files();
    _exit(0);
  }
  int status = 0;
  if (maker == -1 || waitpid(maker, &status, 0) != maker || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fprintf(stderr, "relay_bench: making the files failed\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fprintf(stderr, "peak_rss_MiB before the benchmarks: %.1f\n", peak_rss_mib());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
