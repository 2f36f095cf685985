#include "lib/cdbreader.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/fileio.h"
#include "lib/keyhash.h"

namespace lagwatch {

namespace {

uint32_t unpack_u32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Compares the `n` stored key bytes at `pos` with `key`, 32 bytes at a time so that a look-up
// needs no buffer sized by the key. Returns 1 equal, 0 different, -1 read error.
int key_matches(cdbreader* r, const char* key, uint32_t n, uint32_t pos) {
  char piece[32];
  while (n > 0) {
    const uint32_t len = n < sizeof piece ? n : static_cast<uint32_t>(sizeof piece);
    if (cdbreader_read(r, piece, len, pos) == -1) return -1;
    if (memcmp(piece, key, len) != 0) return 0;
    key += len;
    pos += len;
    n -= len;
  }
  return 1;
}

}  // namespace

uint32_t cdbreader_hash(const char* key, uint32_t n) { return key_hash(5381, key, n); }

void cdbreader_attach(cdbreader* r, int fd) {
  if (r->mapping != nullptr) {
    // Unmapping a region this reader mapped itself cannot fail in a way worth reporting;
    // the reader forgets it either way.
    (void)munmap(const_cast<char*>(r->mapping), r->size);
    r->mapping = nullptr;
  }
  r->probes = 0;
  r->fd = fd;

  struct stat st;
  if (fstat(fd, &st) == -1) return;
  // Positions in the format are 32-bit, and so is `size`: a file of 4 GiB or more is read
  // through the descriptor rather than mapped in part. An empty file cannot be mapped at all.
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) return;
  void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) return;
  r->mapping = static_cast<const char*>(m);
  r->size = static_cast<uint32_t>(st.st_size);
}

int cdbreader_read(cdbreader* r, char* buf, uint32_t n, uint32_t pos) {
  if (r->mapping != nullptr) {
    if (pos > r->size || r->size - pos < n) {
      errno = EPROTO;
      return -1;
    }
    memcpy(buf, r->mapping + pos, n);
    return 0;
  }
  if (lseek(r->fd, static_cast<off_t>(pos), SEEK_SET) == -1) return -1;
  const ssize_t got = fd_read_full(r->fd, buf, n);
  if (got == -1) return -1;
  if (static_cast<uint32_t>(got) != n) {
    errno = EPROTO;  // the file ended before the bytes its positions promise
    return -1;
  }
  return 0;
}

void cdbreader_find_start(cdbreader* r) { r->probes = 0; }

int cdbreader_find_next(cdbreader* r, const char* key, uint32_t n) {
  char word[8];
  if (r->probes == 0) {
    const uint32_t h = cdbreader_hash(key, n);
    if (cdbreader_read(r, word, 8, (h & 0xff) << 3) == -1) return -1;
    r->table_slots = unpack_u32(word + 4);
    if (r->table_slots == 0) return 0;
    r->table_pos = unpack_u32(word);
    r->key_hash = h;
    r->probe_pos = r->table_pos + ((h >> 8) % r->table_slots) * 8;
  } else if (r->probes >= r->table_slots) {
    return 0;
  }

  while (r->probes < r->table_slots) {
    if (cdbreader_read(r, word, 8, r->probe_pos) == -1) return -1;
    const uint32_t record = unpack_u32(word + 4);
    if (record == 0) return 0;
    ++r->probes;
    r->probe_pos += 8;
    if (r->probe_pos == r->table_pos + r->table_slots * 8) r->probe_pos = r->table_pos;
    if (unpack_u32(word) != r->key_hash) continue;

    if (cdbreader_read(r, word, 8, record) == -1) return -1;
    if (unpack_u32(word) != n) continue;
    const int match = key_matches(r, key, n, record + 8);
    if (match == -1) return -1;
    if (match == 0) continue;
    r->data_len = unpack_u32(word + 4);
    r->data_pos = record + 8 + n;
    return 1;
  }
  return 0;
}

int cdbreader_find(cdbreader* r, const char* key, uint32_t n) {
  cdbreader_find_start(r);
  return cdbreader_find_next(r, key, n);
}

}  // namespace lagwatch
