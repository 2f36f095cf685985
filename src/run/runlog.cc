#include "run/runlog.h"

#include <cstdio>

#include "lib/diag.h"
#include "lib/logsock.h"
#include "run/conf.h"
#include "run/settings.h"

namespace lagwatch {

namespace {

bool logging;
uint32_t sent_count;
uint32_t refused_count;
uint32_t skipped_count;
uint32_t withheld_count;

void log_fatal_text(const char* text) { logsock_send(LOGSOCK_ERR, text); }

}  // namespace

void runlog_start() {
  logsock_open(log_socket_path, "lagwatch", LOGSOCK_MAIL);
  fatal_log = log_fatal_text;
  logging = true;
}

bool runlog_enabled() { return logging; }

void runlog_notice(notice_outcome outcome, const char* filename, const char* sender,
                   uint32_t undone, int64_t age) {
  if (!logging || outcome == NOTICE_NONE) return;
  const bool sent = outcome == NOTICE_SENT;
  ++(sent ? sent_count : refused_count);
  char line[2048];
  snprintf(line, sizeof line, "notice %s: filename=%s sender=<%s> undone=%u age=%ld",
           sent ? "sent" : "refused", filename, sender, undone, static_cast<long>(age));
  logsock_send(sent ? LOGSOCK_INFO : LOGSOCK_WARNING, line);
}

void runlog_withheld(const char* filename, const char* sender, const char* field) {
  if (!logging) return;
  ++withheld_count;
  char line[2048];
  snprintf(line, sizeof line, "notice withheld: filename=%s sender=<%s> field=%s", filename, sender,
           field);
  logsock_send(LOGSOCK_INFO, line);
}

void runlog_already_sent(const char* filename, const char* sender, int64_t age) {
  if (!logging) return;
  ++skipped_count;
  char line[2048];
  snprintf(line, sizeof line, "notice already sent: filename=%s sender=<%s> age=%ld", filename,
           sender, static_cast<long>(age));
  logsock_send(LOGSOCK_INFO, line);
}

void runlog_summary() {
  if (!logging) return;
  char line[256];
  snprintf(line, sizeof line,
           "run completed: lastrun=%ld now=%ld sent=%u refused=%u already_sent=%u withheld=%u",
           static_cast<long>(settings.lastrun), static_cast<long>(settings.now), sent_count,
           refused_count, skipped_count, withheld_count);
  logsock_send(LOGSOCK_INFO, line);
}

notice_counts runlog_counts() {
  return notice_counts{sent_count, refused_count, skipped_count, withheld_count};
}

void runlog_reset() {
  logging = false;
  fatal_log = nullptr;
  sent_count = refused_count = skipped_count = withheld_count = 0;
  logsock_close();
}

}  // namespace lagwatch
