#ifndef LAGWATCH_FUZZ_FUZZ_COMMON_H_
#define LAGWATCH_FUZZ_FUZZ_COMMON_H_

// Helpers shared by the fuzz targets: taking typed values from the fuzzer's bytes, a scratch
// directory, whole-file writes, and a property check that aborts (so that libFuzzer keeps the
// input that broke it).

#include <cstddef>
#include <cstdint>
#include <string>

namespace lagwatch::fuzz {

// Reads values off the front of the fuzzer's input. Past the end every value is 0 / empty.
struct byte_source {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

// Starts reading `size` bytes at `data`.
byte_source source_of(const uint8_t* data, size_t size);

// True when every byte has been taken.
bool source_empty(const byte_source* s);

// Takes one byte (0 when none is left).
uint8_t take_u8(byte_source* s);

// Takes two bytes, little-endian.
uint16_t take_u16(byte_source* s);

// Takes up to `n` bytes.
std::string take_bytes(byte_source* s, size_t n);

// Takes the bytes up to the next `delimiter` (which is consumed, not returned) or to the end.
std::string take_until(byte_source* s, uint8_t delimiter);

// Takes everything that is left.
std::string take_rest(byte_source* s);

// Creates a fresh private directory under $TMPDIR (or /dev/shm, else /tmp) for this process and
// returns its absolute path. Aborts when that fails.
std::string make_scratch_dir(const char* tag);

// Creates or replaces `path` with exactly `bytes`. Aborts when that fails.
void write_file(const std::string& path, const std::string& bytes);

// Reads the whole file at `path` (empty when missing).
std::string read_file(const std::string& path);

// Runs `body` in a forked child whose standard output and standard error go to the files
// `out_path` and `err_path` (created or emptied), and returns the child's wait status. For code
// that may end the process: exit() in the child ends it at once with its status, without the
// fuzzer's exit handler (which would take the exit for a finding). A child that runs for more
// than 5 s is killed by SIGALRM. The child's edge counters are merged into this process's, so
// the code it ran guides the fuzzer.
int run_in_child(void (*body)(), const char* out_path, const char* err_path);

// Aborts with `what` on standard error when `ok` is false: a broken property is a finding.
void check(bool ok, const char* what);

// As check, for `got` == `want`; on a difference both texts go to standard error first.
void check_same(const std::string& got, const std::string& want, const char* what);

}  // namespace lagwatch::fuzz

#endif  // LAGWATCH_FUZZ_FUZZ_COMMON_H_
