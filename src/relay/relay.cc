#include "relay/relay.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lib/bytestr.h"
#include "lib/cdbreader.h"
#include "lib/diag.h"
#include "lib/strtable.h"
#include "run/control.h"
#include "run/settings.h"

namespace lagwatch {

namespace {

// The lines of rcpthosts; only whether a key is present matters, values are 0.
strtable relay_set;
// The one scratch string for every rcpthosts line and every domain candidate, so that checking
// allocates nothing once its buffer is large enough.
bytestr relay_key;
// morercpthosts.cdb, held open (and mapped) until the process ends; -1 when it could not be
// opened.
int relay_cdb_fd = -1;
cdbreader relay_cdb;

// Opens morercpthosts.cdb and attaches the reader to it. A missing file means no cdb; one that
// cannot be read ends the run, as a notice filter that silently lost half its domains would
// refuse senders qmail accepts mail for.
void open_relay_cdb() {
  struct stat status;
  relay_cdb_fd = open_control_file_checked(nullptr, "morercpthosts.cdb", &status);
  if (relay_cdb_fd != -1) cdbreader_attach(&relay_cdb, relay_cdb_fd);
}

}  // namespace

void load_relay_domains() {
  char* text = read_control_file(nullptr, "rcpthosts");
  strtable_init(&relay_set);
  // A line is its raw bytes up to "\n": nothing is trimmed and no case is folded, so a blank or
  // a carriage return at its end is part of the key (and the bare domain does not match it).
  // The text ends at its first NUL.
  const char* p = text;
  while (*p != '\0') {
    const size_t length = strcspn(p, "\n");
    if (*p != '#') {
      if (!bytestr_set_bytes(&relay_key, p, static_cast<uint32_t>(length))) die_oom();
      if (!strtable_add(&relay_set, &relay_key, 0)) die_oom();
    }
    p += length;
    if (*p == '\n') ++p;
  }
  free(text);

  open_relay_cdb();
}

bool check_sender(const char* sender) {
  if (!settings.opt_rcpthosts_only) return true;
  const char* at = strchr(sender, '@');
  if (at == nullptr) return false;
  // The domain "a.b.c" is looked for as "a.b.c", then ".b.c", then ".c": an rcpthosts line that
  // begins with a dot accepts every domain below it.
  const char* candidate = at + 1;
  for (;;) {
    if (!bytestr_set_cstr(&relay_key, candidate)) die_oom();
    if (strtable_get(&relay_set, &relay_key) != nullptr) return true;
    // A cdb that cannot be read counts as listed: better a notice too many than a sender
    // qmail accepts mail for left without one.
    if (relay_cdb_fd != -1 && cdbreader_find(&relay_cdb, relay_key.data, relay_key.length) != 0) {
      return true;
    }
    if (*candidate == '\0') return false;
    const char* dot = strchr(candidate + 1, '.');
    if (dot == nullptr) return false;
    candidate = dot;
  }
}

void relay_reset() {
  strtable_free(&relay_set);
  if (relay_cdb.mapping != nullptr) {
    (void)munmap(const_cast<char*>(relay_cdb.mapping), relay_cdb.size);
  }
  relay_cdb = cdbreader{};
  if (relay_cdb_fd != -1) (void)close(relay_cdb_fd);
  relay_cdb_fd = -1;
}

}  // namespace lagwatch
