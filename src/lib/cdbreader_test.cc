#include "lib/cdbreader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lib/fileio.h"

namespace lagwatch {
namespace {

struct Record {
  std::string key;
  std::string data;
};

// How a test reader reaches the file: through cdbreader_attach (which maps a non-empty file),
// or through the descriptor alone, the state attach leaves when no mapping can be had.
enum class Access { kAttached, kUnmapped };

const Access kBothAccesses[] = {Access::kAttached, Access::kUnmapped};

const char* access_name(Access a) { return a == Access::kAttached ? "attached" : "unmapped"; }

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

// A 2048-byte header whose descriptors are all (0, 0) but the one of table `table`.
std::string header_with(uint32_t table, uint32_t pos, uint32_t slots) {
  std::string h(2048, '\0');
  h.replace(static_cast<size_t>(table) * 8, 8, u32(pos) + u32(slots));
  return h;
}

uint32_t hash_of(const std::string& key) {
  return cdbreader_hash(key.data(), static_cast<uint32_t>(key.size()));
}

// Positioned reads as the reader issues them: where the descriptor stood and how much it asked.
struct ReadCall {
  uint32_t pos;
  uint32_t n;
  bool operator==(const ReadCall& o) const { return pos == o.pos && n == o.n; }
};
std::vector<ReadCall> read_trace;

long tracing_read(int fd, char* buf, uint32_t n) {
  const off_t pos = lseek(fd, 0, SEEK_CUR);
  read_trace.push_back({static_cast<uint32_t>(pos), n});
  return read(fd, buf, n);
}

std::vector<uint32_t> trace_sizes() {
  std::vector<uint32_t> sizes;
  sizes.reserve(read_trace.size());
  for (const ReadCall& c : read_trace) sizes.push_back(c.n);
  return sizes;
}

// Every second call is interrupted before it reads anything.
int interrupt_calls = 0;
long interrupting_read(int fd, char* buf, uint32_t n) {
  if (++interrupt_calls % 2 == 1) {
    errno = EINTR;
    return -1;
  }
  return read(fd, buf, n);
}

// Hands out at most 3 bytes per call.
long trickling_read(int fd, char* buf, uint32_t n) { return read(fd, buf, n < 3 ? n : 3); }

// Fails the `failing_call`-th call with EIO.
int calls_seen = 0;
int failing_call = 0;
long failing_read(int fd, char* buf, uint32_t n) {
  if (++calls_seen == failing_call) {
    errno = EIO;
    return -1;
  }
  return read(fd, buf, n);
}

std::string seventy_byte_key() {
  std::string k;
  for (int i = 0; i < 70; ++i) k += static_cast<char>('a' + i % 26);
  return k;
}

class CdbreaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(LAGWATCH_UNIT_SANDBOX);
    std::string pattern = std::string(LAGWATCH_UNIT_SANDBOX) + "/cdbreader-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
    dir_ = pattern;
    read_trace.clear();
  }

  void TearDown() override {
    fd_set_read_fn(nullptr);
    for (const cdbreader& r : readers_) {
      if (r.mapping != nullptr) munmap(const_cast<char*>(r.mapping), r.size);
    }
    for (int fd : fds_) close(fd);
    std::filesystem::remove_all(dir_);
  }

  // Builds `name` with the tinycdb writer (`cdb -c`) from `records`, in their order.
  std::string make_cdb(const std::string& name, const std::vector<Record>& records) {
    const std::string in = dir_ + "/" + name + ".in";
    std::string out = dir_ + "/" + name;
    std::string text;
    for (const Record& r : records) {
      text.append("+")
          .append(std::to_string(r.key.size()))
          .append(",")
          .append(std::to_string(r.data.size()))
          .append(":")
          .append(r.key)
          .append("->")
          .append(r.data)
          .append("\n");
    }
    text += "\n";
    write_bytes(in, text);
    const std::string tmp = dir_ + "/" + name + ".tmp";
    const pid_t pid = fork();
    if (pid == 0) {
      execlp("cdb", "cdb", "-c", "-t", tmp.c_str(), out.c_str(), in.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "cdb -c failed for " << name;
    return out;
  }

  // Writes hand-made bytes, for files a correct writer never produces.
  std::string make_file(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    write_bytes(path, bytes);
    return path;
  }

  static void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    EXPECT_TRUE(f.good()) << path;
  }

  static std::string read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  int open_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_NE(fd, -1) << path << ": " << strerror(errno);
    fds_.push_back(fd);
    return fd;
  }

  // A reader of `path`; it stays valid until the test ends.
  cdbreader* reader(const std::string& path, Access access) {
    const int fd = open_file(path);
    readers_.emplace_back();
    cdbreader* r = &readers_.back();
    if (access == Access::kAttached) {
      cdbreader_attach(r, fd);
    } else {
      r->fd = fd;
    }
    return r;
  }

  // The data of the record the last find found.
  static std::string found_data(cdbreader* r) {
    std::string data(r->data_len, '\0');
    EXPECT_EQ(cdbreader_read(r, data.data(), r->data_len, r->data_pos), 0);
    return data;
  }

  std::string dir_;
  std::vector<int> fds_;
  std::deque<cdbreader> readers_;
};

// Keys "<prefix>0", "<prefix>1", ... filtered by `accept`, the first `count` of them.
template <typename Pred>
std::vector<std::string> keys_where(const std::string& prefix, size_t count, Pred accept) {
  std::vector<std::string> keys;
  for (int i = 0; keys.size() < count; ++i) {
    std::string k = prefix + std::to_string(i);
    if (accept(hash_of(k))) keys.push_back(k);
  }
  return keys;
}

TEST(CdbreaderHash, FollowsTheTimes33XorRule) {
  struct Case {
    const char* name;
    std::string key;
    uint32_t hash;
    uint32_t table;
  };
  const Case cases[] = {
      {"EmptyKeyIsTheSeed", "", 5381u, 5u},
      {"ThreeLetters", "abc", 193409669u, 133u},
      {"HighByteCountsAsUnsigned", "\x80", 177445u, 37u},
      {"EmbeddedNulTakesPart", std::string("a\0", 2), ((5381u * 33u) ^ 'a') * 33u, 0u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hash_of(c.key), c.hash) << c.name;
    if (c.table != 0) {
      EXPECT_EQ(hash_of(c.key) % 256, c.table) << c.name;
    }
  }
  // "abc" in a table of 7 slots starts probing at slot 3.
  EXPECT_EQ((hash_of("abc") >> 8) % 7, 3u);
}

TEST_F(CdbreaderTest, FindsWhatTheWriterStoredThroughBothAccesses) {
  const std::string long_key = seventy_byte_key();
  std::string long_key_last_differs = long_key;
  long_key_last_differs[69] = 'X';
  std::string long_key_first_differs = long_key;
  long_key_first_differs[0] = 'X';
  ASSERT_EQ(hash_of("vxzxws"), hash_of("tisbdbb"));
  ASSERT_EQ(hash_of("aap"), hash_of("ag6"));
  const std::string path = make_cdb("stored.cdb", {{"example.org", "relay"},
                                                   {"", "empty key"},
                                                   {"\x80", "high byte"},
                                                   {long_key, "long"},
                                                   {"aap", "p"},
                                                   {"ag6", "6"},
                                                   {"dup", "first"},
                                                   {"dup", "second"},
                                                   {std::string("a\0b", 3), "nul"},
                                                   {"vxzxws", "six"}});
  struct Case {
    const char* name;
    std::string key;
    int result;
    std::string data;
  };
  const Case cases[] = {
      {"PlainKey", "example.org", 1, "relay"},
      {"EmptyKey", "", 1, "empty key"},
      {"HighByteKey", "\x80", 1, "high byte"},
      {"SeventyByteKey", long_key, 1, "long"},
      {"SeventyByteKeyDifferingInItsLastPiece", long_key_last_differs, 0, ""},
      {"SeventyByteKeyDifferingInItsFirstPiece", long_key_first_differs, 0, ""},
      {"PrefixOfTheSeventyByteKey", long_key.substr(0, 69), 0, ""},
      {"FirstOfTwoKeysWithOneHash", "aap", 1, "p"},
      {"SecondOfTwoKeysWithOneHash", "ag6", 1, "6"},
      {"DuplicateKeyGivesItsFirstRecord", "dup", 1, "first"},
      {"KeyWithEmbeddedNul", std::string("a\0b", 3), 1, "nul"},
      {"BytesBeforeTheNulAreAnotherKey", "a", 0, ""},
      {"OtherLetterCaseIsAnotherKey", "EXAMPLE.ORG", 0, ""},
      {"SameHashOtherLength", "tisbdbb", 0, ""},
      {"AbsentKey", "example.com", 0, ""},
      {"TrailingDotIsAnotherKey", "example.org.", 0, ""},
  };
  cdbreader* attached = reader(path, Access::kAttached);
  cdbreader* unmapped = reader(path, Access::kUnmapped);
  ASSERT_NE(attached->mapping, nullptr);
  ASSERT_EQ(attached->size, static_cast<uint32_t>(std::filesystem::file_size(path)));
  for (const Case& c : cases) {
    for (cdbreader* r : {attached, unmapped}) {
      const char* how = r == attached ? "attached" : "unmapped";
      EXPECT_EQ(cdbreader_find(r, c.key.data(), static_cast<uint32_t>(c.key.size())), c.result)
          << c.name << " " << how;
      if (c.result == 1) {
        EXPECT_EQ(found_data(r), c.data) << c.name << " " << how;
      }
    }
    // Both paths walk the same slots and stop at the same place.
    EXPECT_EQ(attached->probes, unmapped->probes) << c.name;
    EXPECT_EQ(attached->probe_pos, unmapped->probe_pos) << c.name;
    EXPECT_EQ(attached->data_pos, unmapped->data_pos) << c.name;
    EXPECT_EQ(attached->data_len, unmapped->data_len) << c.name;
  }
}

TEST_F(CdbreaderTest, FindNextGoesOnToTheNextRecordWithTheKey) {
  const std::string path =
      make_cdb("dups.cdb", {{"dup", "first"}, {"single", "one"}, {"dup", "second"}});
  struct Case {
    const char* name;
    std::string key;
    std::vector<std::string> records;  // data of every record found, in order
  };
  const Case cases[] = {
      {"DuplicateKeyGivesBothRecords", "dup", {"first", "second"}},
      {"SingleKeyGivesOneRecord", "single", {"one"}},
      {"AbsentKeyGivesNone", "none", {}},
  };
  for (Access access : kBothAccesses) {
    cdbreader* r = reader(path, access);
    for (const Case& c : cases) {
      const uint32_t n = static_cast<uint32_t>(c.key.size());
      std::vector<std::string> found;
      int result = cdbreader_find(r, c.key.data(), n);
      while (result == 1) {
        found.push_back(found_data(r));
        result = cdbreader_find_next(r, c.key.data(), n);
      }
      EXPECT_EQ(result, 0) << c.name << " " << access_name(access);
      EXPECT_EQ(found, c.records) << c.name << " " << access_name(access);
      // Once exhausted the search stays exhausted; a fresh find starts again.
      EXPECT_EQ(cdbreader_find_next(r, c.key.data(), n), 0) << c.name;
      if (!c.records.empty()) {
        ASSERT_EQ(cdbreader_find(r, c.key.data(), n), 1) << c.name;
        EXPECT_EQ(found_data(r), c.records[0]) << c.name;
      }
    }
  }
}

TEST_F(CdbreaderTest, LookUpReadsDescriptorSlotHeaderThenKeyPieces) {
  const std::string long_key = seventy_byte_key();
  const uint32_t stored_hash = hash_of("example.org");
  const uint32_t stored_table = stored_hash % 256;
  // A key in another table (which has no slots), and one in the same table whose start slot
  // of two is not the stored key's.
  const std::string other_table =
      keys_where("other", 1, [&](uint32_t h) { return h % 256 != stored_table; })[0];
  const std::string empty_start = keys_where("empty", 1, [&](uint32_t h) {
    return h % 256 == stored_table && (h >> 8) % 2 != (stored_hash >> 8) % 2;
  })[0];
  struct Case {
    const char* name;
    std::vector<Record> records;
    std::string key;
    int result;
    std::vector<uint32_t> sizes;  // the sizes of the positioned reads, in order
  };
  const Case cases[] = {
      {"ZeroSlotTableCostsOneRead", {{"example.org", "x"}}, other_table, 0, {8}},
      {"EmptyStartSlotEndsTheSearch", {{"example.org", "x"}}, empty_start, 0, {8, 8}},
      {"SeventyByteKeyIsComparedIn32And32And6",
       {{long_key, "x"}},
       long_key,
       1,
       {8, 8, 8, 32, 32, 6}},
      {"EmptyKeyHasNoPieces", {{"", "x"}}, "", 1, {8, 8, 8}},
      {"OtherLengthIsSkippedWithoutKeyBytes", {{"vxzxws", "x"}}, "tisbdbb", 0, {8, 8, 8, 8}},
      {"OtherBytesOfTheSameHashAndLength", {{"aap", "x"}}, "ag6", 0, {8, 8, 8, 3, 8}},
      {"OtherHashIsSkippedWithoutHeader",
       {{"example.org", "x"}, {empty_start, "y"}},
       "example.org",
       1,
       {8, 8, 8, 11}},
  };
  ASSERT_EQ(hash_of("vxzxws"), hash_of("tisbdbb"));
  ASSERT_EQ(hash_of("aap"), hash_of("ag6"));
  int file = 0;
  for (const Case& c : cases) {
    const std::string path = make_cdb("trace" + std::to_string(file++) + ".cdb", c.records);
    cdbreader* r = reader(path, Access::kUnmapped);
    fd_set_read_fn(tracing_read);
    read_trace.clear();
    EXPECT_EQ(cdbreader_find(r, c.key.data(), static_cast<uint32_t>(c.key.size())), c.result)
        << c.name;
    fd_set_read_fn(nullptr);
    EXPECT_EQ(trace_sizes(), c.sizes) << c.name;
    ASSERT_FALSE(read_trace.empty()) << c.name;
    EXPECT_EQ(read_trace[0].pos, hash_of(c.key) % 256 * 8) << c.name << ": descriptor";
    if (read_trace.size() >= 2) {
      EXPECT_EQ(read_trace[1].pos, r->table_pos + (hash_of(c.key) >> 8) % r->table_slots * 8)
          << c.name << ": start slot";
    }
    if (c.result == 1) {
      // The header sits at the record position, the key pieces follow it back to back.
      const uint32_t record = r->data_pos - 8 - static_cast<uint32_t>(c.key.size());
      uint32_t at = record;
      for (size_t i = 2; i < read_trace.size(); ++i) {
        EXPECT_EQ(read_trace[i].pos, at) << c.name << " read " << i;
        at += read_trace[i].n;
      }
    }
  }
}

TEST_F(CdbreaderTest, HighByteKeyIsLookedUpInTable37) {
  const std::string path = make_cdb("high.cdb", {{"\x80", "x"}});
  cdbreader* r = reader(path, Access::kUnmapped);
  fd_set_read_fn(tracing_read);
  EXPECT_EQ(cdbreader_find(r, "\x80", 1), 1);
  ASSERT_FALSE(read_trace.empty());
  EXPECT_EQ(read_trace[0], (ReadCall{37 * 8, 8}));
}

TEST_F(CdbreaderTest, CollidingKeyLaterOnThePathRejectsTheEarlierRecord) {
  ASSERT_EQ(hash_of("aap"), hash_of("ag6"));
  const std::string path = make_cdb("collide.cdb", {{"aap", "p"}, {"ag6", "6"}});
  cdbreader* r = reader(path, Access::kUnmapped);
  std::vector<std::vector<uint32_t>> traces;
  for (const char* key : {"aap", "ag6"}) {
    fd_set_read_fn(tracing_read);
    read_trace.clear();
    EXPECT_EQ(cdbreader_find(r, key, 3), 1) << key;
    traces.push_back(trace_sizes());
  }
  // One of the two lies first on the probe path and is found at once; the other reads the
  // first one's header and key bytes, rejects them, and is found in the next slot.
  const std::vector<uint32_t> at_once = {8, 8, 8, 3};
  const std::vector<uint32_t> after_reject = {8, 8, 8, 3, 8, 8, 3};
  EXPECT_TRUE((traces[0] == at_once && traces[1] == after_reject) ||
              (traces[0] == after_reject && traces[1] == at_once))
      << "aap: " << ::testing::PrintToString(traces[0])
      << " ag6: " << ::testing::PrintToString(traces[1]);
}

TEST_F(CdbreaderTest, ProbingWrapsFromTheLastSlotToTheFirst) {
  // Two keys of one table whose probing starts at the last of its 4 slots (the writer makes
  // twice as many slots as records): the one stored second wraps to slot 0.
  const std::vector<std::string> keys =
      keys_where("w", 2, [](uint32_t h) { return h % 256 == 7 && (h >> 8) % 4 == 3; });
  const std::string path = make_cdb("wrap.cdb", {{keys[0], "0"}, {keys[1], "1"}});
  for (Access access : kBothAccesses) {
    cdbreader* r = reader(path, access);
    std::vector<uint32_t> probes;
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(cdbreader_find(r, keys[i].data(), static_cast<uint32_t>(keys[i].size())), 1)
          << keys[i] << " " << access_name(access);
      ASSERT_EQ(r->table_slots, 4u) << "the writer no longer makes 2 slots per record";
      EXPECT_EQ(found_data(r), std::to_string(i)) << access_name(access);
      probes.push_back(r->probes);
    }
    std::sort(probes.begin(), probes.end());
    EXPECT_EQ(probes, (std::vector<uint32_t>{1, 2})) << access_name(access);
  }
  // The wrapped key's second slot read is the table's first slot.
  cdbreader* r = reader(path, Access::kUnmapped);
  for (const std::string& key : keys) {
    fd_set_read_fn(tracing_read);
    read_trace.clear();
    ASSERT_EQ(cdbreader_find(r, key.data(), static_cast<uint32_t>(key.size())), 1);
    fd_set_read_fn(nullptr);
    EXPECT_EQ(read_trace[1].pos, r->table_pos + 3 * 8) << key;
    if (r->probes == 2) {
      // The two hashes differ above the low bits, so the last slot costs no header read.
      ASSERT_GE(read_trace.size(), 3u);
      EXPECT_EQ(read_trace[2].pos, r->table_pos) << key;
    }
  }
}

TEST_F(CdbreaderTest, FullTableWithoutTheKeyStopsAfterEverySlot) {
  const std::string key = "absent.example";
  const uint32_t h = hash_of(key);
  // Table of 2 slots at 2048, both holding the one record at 2064 under another hash.
  const std::string other = u32(h ^ 1) + u32(2064);
  const std::string bytes = header_with(h % 256, 2048, 2) + other + other + u32(1) + u32(0) + "x";
  const std::string path = make_file("full.cdb", bytes);
  for (Access access : kBothAccesses) {
    cdbreader* r = reader(path, access);
    fd_set_read_fn(tracing_read);
    read_trace.clear();
    EXPECT_EQ(cdbreader_find(r, key.data(), static_cast<uint32_t>(key.size())), 0)
        << access_name(access);
    EXPECT_EQ(r->probes, 2u) << access_name(access);
    EXPECT_EQ(cdbreader_find_next(r, key.data(), static_cast<uint32_t>(key.size())), 0)
        << access_name(access);
    fd_set_read_fn(nullptr);
    if (access == Access::kUnmapped) {
      // Probing starts at either slot and wraps to the other.
      const uint32_t first = 2048 + (h >> 8) % 2 * 8;
      const uint32_t second = first == 2048 ? 2056 : 2048;
      EXPECT_EQ(read_trace, (std::vector<ReadCall>{{h % 256 * 8, 8}, {first, 8}, {second, 8}}));
    }
  }
}

TEST_F(CdbreaderTest, ReadsOutsideTheFileFailWithEPROTO) {
  const std::string good = make_cdb("good.cdb", {{"example.org", "x"}});
  const std::string good_bytes = read_bytes(good);
  const uint32_t h = hash_of("example.org");
  const uint32_t table = h % 256;
  // Where the writer put the key's hash table (after the records).
  const uint32_t table_pos = static_cast<uint32_t>(
      static_cast<unsigned char>(good_bytes[static_cast<size_t>(table) * 8]) |
      static_cast<unsigned char>(good_bytes[static_cast<size_t>(table) * 8 + 1]) << 8);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"EmptyFile", ""},
      {"CutInsideTheDescriptor", good_bytes.substr(0, table * 8 + 4)},
      {"CutBeforeTheHashTable", good_bytes.substr(0, table_pos + 4)},
      {"TablePastTheEnd", header_with(table, 5000, 2)},
      {"TableAtTheTopOf32Bits", header_with(table, 0xfffffff8u, 1)},
      {"SlotPointsPastTheEnd", header_with(table, 2048, 1) + u32(h) + u32(999999)},
      {"KeyRunsPastTheEnd",
       header_with(table, 2048, 1) + u32(h) + u32(2056) + u32(11) + u32(0) + "exa"},
  };
  int file = 0;
  for (const Case& c : cases) {
    const std::string path = make_file("broken" + std::to_string(file++) + ".cdb", c.bytes);
    for (Access access : kBothAccesses) {
      cdbreader* r = reader(path, access);
      errno = 0;
      EXPECT_EQ(cdbreader_find(r, "example.org", 11), -1) << c.name << " " << access_name(access);
      EXPECT_EQ(errno, EPROTO) << c.name << " " << access_name(access);
    }
  }
}

TEST_F(CdbreaderTest, ReadsUpToTheEndOfTheFileAndNoFurther) {
  const std::string path = make_file("ten", "0123456789");
  struct Case {
    const char* name;
    uint32_t n;
    uint32_t pos;
    int result;
  };
  const Case cases[] = {
      {"EndsExactlyAtTheEnd", 4, 6, 0},
      {"WholeFile", 10, 0, 0},
      {"NothingAtTheEnd", 0, 10, 0},
      {"OneByteTooMany", 5, 6, -1},
      {"StartsAtTheEnd", 1, 10, -1},
      {"PositionWrapsAround", 2, 0xffffffffu, -1},
      {"LengthWrapsAround", 0xfffffff8u, 9, -1},
  };
  for (Access access : kBothAccesses) {
    cdbreader* r = reader(path, access);
    for (const Case& c : cases) {
      std::vector<char> buf(c.result == 0 ? c.n + 1 : 16);
      errno = 0;
      // A length that cannot fit would overrun `buf` if the bounds test failed; the mapped
      // path refuses it before copying, the unmapped one meets the end of the file first.
      if (c.n > 16 && c.result == -1 && access == Access::kUnmapped) continue;
      EXPECT_EQ(cdbreader_read(r, buf.data(), c.n, c.pos), c.result)
          << c.name << " " << access_name(access);
      if (c.result == 0) {
        EXPECT_EQ(std::string(buf.data(), c.n), std::string("0123456789").substr(c.pos, c.n))
            << c.name;
      } else {
        EXPECT_EQ(errno, EPROTO) << c.name << " " << access_name(access);
      }
    }
  }
}

TEST_F(CdbreaderTest, UnmappedReadsSurviveInterruptionsAndShortReads) {
  const std::string long_key = seventy_byte_key();
  const std::string path = make_cdb(
      "slow.cdb", {{"example.org", "relay"}, {long_key, "long"}, {"dup", "1"}, {"dup", "2"}});
  struct Case {
    const char* name;
    fd_read_fn fn;
  };
  const Case cases[] = {
      {"EverySecondReadInterrupted", interrupting_read},
      {"AtMostThreeBytesPerRead", trickling_read},
  };
  for (const Case& c : cases) {
    cdbreader* r = reader(path, Access::kUnmapped);
    interrupt_calls = 0;
    fd_set_read_fn(c.fn);
    EXPECT_EQ(cdbreader_find(r, "example.org", 11), 1) << c.name;
    EXPECT_EQ(found_data(r), "relay") << c.name;
    EXPECT_EQ(cdbreader_find(r, long_key.data(), 70), 1) << c.name;
    EXPECT_EQ(found_data(r), "long") << c.name;
    EXPECT_EQ(cdbreader_find(r, "dup", 3), 1) << c.name;
    EXPECT_EQ(cdbreader_find_next(r, "dup", 3), 1) << c.name;
    EXPECT_EQ(found_data(r), "2") << c.name;
    EXPECT_EQ(cdbreader_find(r, "example.com", 11), 0) << c.name;
    fd_set_read_fn(nullptr);
    if (c.fn == interrupting_read) {
      EXPECT_GT(interrupt_calls, 10) << c.name;
    }
  }
}

TEST_F(CdbreaderTest, FailedReadOrSeekEndsTheFindWithItsError) {
  const std::string long_key = seventy_byte_key();
  const std::string path = make_cdb("fail.cdb", {{long_key, "long"}});
  struct Case {
    const char* name;
    int failing_call;  // descriptor 1, slot 2, header 3, key pieces 4 to 6
  };
  const Case cases[] = {
      {"DescriptorRead", 1}, {"SlotRead", 2},     {"HeaderRead", 3},
      {"FirstKeyPiece", 4},  {"LastKeyPiece", 6},
  };
  for (const Case& c : cases) {
    cdbreader* r = reader(path, Access::kUnmapped);
    calls_seen = 0;
    failing_call = c.failing_call;
    fd_set_read_fn(failing_read);
    errno = 0;
    EXPECT_EQ(cdbreader_find(r, long_key.data(), 70), -1) << c.name;
    EXPECT_EQ(errno, EIO) << c.name;
    EXPECT_EQ(calls_seen, c.failing_call) << c.name << ": reads after the failure";
    fd_set_read_fn(nullptr);
  }
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  fds_.push_back(pipe_fds[0]);
  fds_.push_back(pipe_fds[1]);
  cdbreader r{};
  cdbreader_attach(&r, pipe_fds[0]);
  EXPECT_EQ(r.mapping, nullptr);
  errno = 0;
  EXPECT_EQ(cdbreader_find(&r, "example.org", 11), -1);
  EXPECT_EQ(errno, ESPIPE);
}

TEST_F(CdbreaderTest, AttachingAgainReplacesTheFile) {
  const std::string a = make_cdb("a.cdb", {{"a.example", "from a"}});
  const std::string b = make_cdb("b.cdb", {{"b.example", "from b"}, {"more", "padding"}});
  const int fd_a = open_file(a);
  const int fd_b = open_file(b);
  readers_.emplace_back();
  cdbreader* r = &readers_.back();
  cdbreader_attach(r, fd_a);
  ASSERT_NE(r->mapping, nullptr);
  EXPECT_EQ(r->fd, fd_a);
  EXPECT_EQ(r->size, static_cast<uint32_t>(std::filesystem::file_size(a)));
  ASSERT_EQ(cdbreader_find(r, "a.example", 9), 1);
  EXPECT_NE(r->probes, 0u);

  cdbreader_attach(r, fd_b);
  ASSERT_NE(r->mapping, nullptr);
  EXPECT_EQ(r->fd, fd_b);
  EXPECT_EQ(r->probes, 0u);
  EXPECT_EQ(r->size, static_cast<uint32_t>(std::filesystem::file_size(b)));
  EXPECT_EQ(cdbreader_find(r, "a.example", 9), 0);
  ASSERT_EQ(cdbreader_find(r, "b.example", 9), 1);
  EXPECT_EQ(found_data(r), "from b");
}

TEST_F(CdbreaderTest, FilesOf4GiBAreReadThroughTheDescriptor) {
  const std::string path = dir_ + "/huge.cdb";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  fds_.push_back(fd);
  ASSERT_NE(fd, -1);
  if (ftruncate(fd, off_t{1} << 32) == -1) GTEST_SKIP() << "no sparse 4 GiB file here";
  cdbreader r{};
  cdbreader_attach(&r, fd);
  EXPECT_EQ(r.mapping, nullptr);
  // Every descriptor of the sparse file reads as 0 slots.
  EXPECT_EQ(cdbreader_find(&r, "example.org", 11), 0);
  char byte = 1;
  EXPECT_EQ(cdbreader_read(&r, &byte, 1, 0xffffffffu), 0);
  EXPECT_EQ(byte, 0);
}

}  // namespace
}  // namespace lagwatch
