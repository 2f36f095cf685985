#ifndef LAGWATCH_LIB_CDBREADER_H_
#define LAGWATCH_LIB_CDBREADER_H_

#include <cstdint>

namespace lagwatch {

// Read-only look-up in a file of the cdb constant-database format: a header of 256 table
// descriptors (position, slot count), hash tables of (hash, record position) slots, and records
// of (key length, data length, key, data); every number unsigned 32-bit little-endian.
//
// An all-zero value is an unattached reader. Once attached, the file is read through a shared
// read-only mapping when one can be had, otherwise through seek-and-read on the descriptor.
// Look-ups allocate nothing.
struct cdbreader {
  const char* mapping;   // the whole file mapped, or null
  int fd;                // owned by the caller; never closed here
  uint32_t size;         // bytes mapped; meaningful only while `mapping` is set
  uint32_t probes;       // slots examined in the current search; 0 = next find starts afresh
  uint32_t key_hash;     // hash of the current search's key
  uint32_t probe_pos;    // file position of the next slot to examine
  uint32_t table_pos;    // file position of the current key's hash table
  uint32_t table_slots;  // slot count of that table
  uint32_t data_pos;     // after a find that returned 1: position of the record's data
  uint32_t data_len;     // after a find that returned 1: length of the record's data
};

// Returns the key hash: h = 5381, then h = (h * 33) ^ byte for each byte taken as unsigned,
// modulo 2^32.
uint32_t cdbreader_hash(const char* key, uint32_t n);

// Attaches `r` to the open descriptor `fd`, dropping a mapping it held before, and maps the
// file when its status and a mapping can be had (files of 4 GiB or more are never mapped).
// Cannot fail: without a mapping every read goes through the descriptor.
void cdbreader_attach(cdbreader* r, int fd);

// Copies the `n` bytes at file position `pos` into `buf`. Returns 0, or -1 with errno set:
// EPROTO when the bytes lie (partly) outside the file, the system's error for a failed seek or
// read. Interrupted reads are repeated. Without a mapping it moves the descriptor's offset.
int cdbreader_read(cdbreader* r, char* buf, uint32_t n, uint32_t pos);

// Makes the next cdbreader_find_next start a new search.
void cdbreader_find_start(cdbreader* r);

// Looks for the next record whose key is the `n` bytes at `key`, going on after the last match
// of the current search (or starting one). Returns 1 with `data_pos` and `data_len` set, 0
// when no further record has the key, or -1 with errno set when a read failed.
int cdbreader_find_next(cdbreader* r, const char* key, uint32_t n);

// Starts a new search and returns the result of its first cdbreader_find_next.
int cdbreader_find(cdbreader* r, const char* key, uint32_t n);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_CDBREADER_H_
