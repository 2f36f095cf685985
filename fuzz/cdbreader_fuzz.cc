// Fuzzes the cdb reader two ways, chosen by the first input byte:
//
// Raw file (even byte): the rest of the input is "COUNT KEY\0 ... KEY\0" and then the file's
// bytes, whatever they are. Each key is looked up through the mapping and through positioned
// reads (a reader without a mapping). Properties: no read outside the file (AddressSanitizer
// on the positioned path, the bounds test on the mapped one), and both paths give the same
// result, the same data position and length, and EPROTO for every -1 on this readable file.
//
// Built file (odd byte): the rest is a list of records "KLEN DLEN KEY DATA"; the file is made
// by this target's writer, which LLVMFuzzerInitialize proves byte-identical to tinycdb's
// "cdb -c" on a fixed set of records. Properties: every key stored is found, by both paths, with
// its data; a key stored k times is found exactly k times by cdbreader_find_next, in the order
// stored, and then 0; a key never stored gives 0.

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_common.h"
#include "lib/cdbreader.h"

#ifndef LAGWATCH_CDB_TOOL
#define LAGWATCH_CDB_TOOL ""
#endif

namespace {

using lagwatch::fuzz::check;

using record = std::pair<std::string, std::string>;

uint32_t hash_of(const std::string& key) {
  uint32_t h = 5381;
  for (unsigned char b : key) h = (h * 33) ^ b;
  return h;
}

void put_u32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void set_u32(std::string* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// The constant-database layout as qmail's tools and tinycdb write it: records from position
// 2048 in the order given, then for each of the 256 tables in turn a hash table of twice as
// many slots as it has records, each record placed at slot (hash >> 8) mod slots or the next
// free one, in the order given; empty tables point at the position where they would start.
std::string build_cdb(const std::vector<record>& records) {
  std::string out(2048, '\0');
  struct entry {
    uint32_t hash;
    uint32_t pos;
  };
  std::vector<entry> tables[256];
  for (const auto& [key, value] : records) {
    const uint32_t h = hash_of(key);
    tables[h & 255].push_back(entry{h, static_cast<uint32_t>(out.size())});
    put_u32(&out, static_cast<uint32_t>(key.size()));
    put_u32(&out, static_cast<uint32_t>(value.size()));
    out += key;
    out += value;
  }
  for (int t = 0; t < 256; ++t) {
    const uint32_t slots = static_cast<uint32_t>(tables[t].size() * 2);
    set_u32(&out, static_cast<size_t>(t) * 8, static_cast<uint32_t>(out.size()));
    set_u32(&out, static_cast<size_t>(t) * 8 + 4, slots);
    if (slots == 0) continue;
    std::vector<entry> placed(slots, entry{0, 0});
    for (const entry& e : tables[t]) {
      uint32_t i = (e.hash >> 8) % slots;
      while (placed[i].pos != 0) i = (i + 1) % slots;
      placed[i] = e;
    }
    for (const entry& e : placed) {
      put_u32(&out, e.hash);
      put_u32(&out, e.pos);
    }
  }
  return out;
}

// A file descriptor holding `bytes`, in memory.
int memory_file(const std::string& bytes) {
  const int fd = memfd_create("cdb", MFD_CLOEXEC);
  check(fd != -1, "memfd_create");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    check(n > 0, "write to the memory file");
    done += static_cast<size_t>(n);
  }
  return fd;
}

void detach(lagwatch::cdbreader* r) {
  if (r->mapping != nullptr) (void)munmap(const_cast<char*>(r->mapping), r->size);
  *r = lagwatch::cdbreader{};
}

struct outcome {
  int result;
  int error;
  uint32_t data_pos;
  uint32_t data_len;
};

// One fresh look-up of `key` (held in a heap buffer of exactly its length).
outcome find(lagwatch::cdbreader* r, const std::string& key) {
  std::vector<char> copy(key.begin(), key.end());
  errno = 0;
  const int result = lagwatch::cdbreader_find(r, copy.data(), static_cast<uint32_t>(copy.size()));
  return outcome{result, result == -1 ? errno : 0, result == 1 ? r->data_pos : 0,
                 result == 1 ? r->data_len : 0};
}

std::string data_at(lagwatch::cdbreader* r) {
  std::string data(r->data_len, '\0');
  check(lagwatch::cdbreader_read(r, data.data(), r->data_len, r->data_pos) == 0,
        "the data of a found record can be read");
  return data;
}

void fuzz_raw(lagwatch::fuzz::byte_source* in) {
  const unsigned count = take_u8(in) % 8;
  std::vector<std::string> keys;
  for (unsigned i = 0; i < count; ++i) keys.push_back(take_until(in, 0));
  const std::string file = take_rest(in);
  const int fd = memory_file(file);
  lagwatch::cdbreader mapped{};
  lagwatch::cdbreader_attach(&mapped, fd);
  lagwatch::cdbreader positioned{};
  positioned.fd = fd;
  for (const std::string& key : keys) {
    const outcome a = find(&mapped, key);
    const outcome b = find(&positioned, key);
    check(a.result >= -1 && a.result <= 1, "find returns 1, 0 or -1");
    check(a.result == b.result, "mapped and positioned reads agree on the result");
    check(a.data_pos == b.data_pos && a.data_len == b.data_len,
          "mapped and positioned reads agree on the record");
    if (a.result == -1) {
      check(a.error == EPROTO && b.error == EPROTO, "a read outside the file is EPROTO");
    }
    if (a.result == 1 && a.data_len <= file.size()) {
      // A find does not check that the data lies inside the file; reading it must then fail
      // the same way on both paths.
      std::string from_map(a.data_len, '\0');
      std::string from_fd(a.data_len, '\0');
      const int map_read =
          lagwatch::cdbreader_read(&mapped, from_map.data(), a.data_len, a.data_pos);
      const int fd_read =
          lagwatch::cdbreader_read(&positioned, from_fd.data(), a.data_len, a.data_pos);
      check(map_read == fd_read, "reading the data succeeds or fails the same way both ways");
      if (map_read == 0) check(from_map == from_fd, "same data both ways");
    }
  }
  detach(&mapped);
  (void)close(fd);
}

void fuzz_built(lagwatch::fuzz::byte_source* in) {
  std::vector<record> records;
  std::map<std::string, std::vector<std::string>> model;
  while (!source_empty(in) && records.size() < 64) {
    const size_t klen = take_u8(in) % 40;
    const size_t dlen = take_u8(in) % 16;
    std::string key = take_bytes(in, klen);
    std::string data = take_bytes(in, dlen);
    model[key].push_back(data);
    records.emplace_back(std::move(key), std::move(data));
  }
  const int fd = memory_file(build_cdb(records));
  lagwatch::cdbreader mapped{};
  lagwatch::cdbreader_attach(&mapped, fd);
  check(mapped.mapping != nullptr, "a built file is mapped");
  lagwatch::cdbreader positioned{};
  positioned.fd = fd;
  for (lagwatch::cdbreader* r : {&mapped, &positioned}) {
    for (const auto& [key, values] : model) {
      std::vector<char> copy(key.begin(), key.end());
      const auto n = static_cast<uint32_t>(copy.size());
      lagwatch::cdbreader_find_start(r);
      for (const std::string& value : values) {
        check(lagwatch::cdbreader_find_next(r, copy.data(), n) == 1, "every stored key is found");
        check(data_at(r) == value, "each record of a key is found in the order stored");
      }
      check(lagwatch::cdbreader_find_next(r, copy.data(), n) == 0,
            "after the last record of a key, 0");
      // A key one byte longer was never stored unless the model has it.
      const std::string longer = key + "\x01";
      if (model.count(longer) == 0) check(find(r, longer).result == 0, "absent keys give 0");
    }
  }
  detach(&mapped);
  (void)close(fd);
}

// Proves the writer above byte-identical to tinycdb's "cdb -c" on records that cover empty
// keys and data, shared hashes' tables, duplicate keys and long keys. Skipped when tinycdb is
// not installed.
void compare_with_tinycdb() {
  const std::string tool = LAGWATCH_CDB_TOOL;
  if (tool.empty() || tool.find("NOTFOUND") != std::string::npos) return;
  std::vector<record> records = {
      {"", ""},
      {"a", "1"},
      {"abc", "data"},
      {"abc", "second"},
      {"example.org", ""},
      {".example.org", "x"},
      {std::string(70, 'k'), "long"},
      {"\x80", "high"},
      {std::string("nul\0key", 7), "nul"},
  };
  for (int i = 0; i < 300; ++i) records.emplace_back("host" + std::to_string(i), "");
  std::string input;
  for (const auto& [key, value] : records) {
    input += "+" + std::to_string(key.size()) + "," + std::to_string(value.size()) + ":" + key +
             "->" + value + "\n";
  }
  input += "\n";
  const std::string dir = lagwatch::fuzz::make_scratch_dir("cdb");
  lagwatch::fuzz::write_file(dir + "/in", input);
  const std::string command =
      "'" + tool + "' -c '" + dir + "/made.cdb' < '" + dir + "/in' > /dev/null 2>&1";
  const int status = system(command.c_str());
  check(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0, "cdb -c ran");
  const std::string made = lagwatch::fuzz::read_file(dir + "/made.cdb");
  check(made == build_cdb(records), "the target's writer makes what cdb -c makes");
  (void)unlink((dir + "/in").c_str());
  (void)unlink((dir + "/made.cdb").c_str());
  (void)rmdir(dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  compare_with_tinycdb();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  if ((take_u8(&in) & 1) == 0) {
    fuzz_raw(&in);
  } else {
    fuzz_built(&in);
  }
  return 0;
}
