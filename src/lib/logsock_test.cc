#include "lib/logsock.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace lagwatch {
namespace {

// A stream log whose reader does not even accept while 300 long lines are sent takes the first
// lines whole, in order, and the rest are dropped within a second, not waited for. Once the
// reader caught up, the next line reaches it whole; a stream that had taken a line in part would
// have been given up instead, leaving that part line last. (A datagram log: the e2e tests.)
TEST(LogsockTest, StreamLogThatNeverReadsTakesTheFirstLinesWhole) {
  const std::string path = std::string(LAGWATCH_UNIT_SANDBOX) + "/logsock-test";
  std::filesystem::create_directories(LAGWATCH_UNIT_SANDBOX);
  std::filesystem::remove(path);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  logsock_open(path.c_str(), "lagwatch", LOGSOCK_MAIL);
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    texts.push_back(std::to_string(1000 + i) + std::string(1900, 'x'));
    logsock_send(LOGSOCK_INFO, texts.back().c_str());
  }
  const int reader = accept(listener, nullptr, nullptr);
  ASSERT_NE(reader, -1);
  std::string bytes;
  auto drain = [&bytes, reader] {
    char buffer[4096];
    for (ssize_t n; (n = recv(reader, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      bytes.append(buffer, static_cast<size_t>(n));
    }
  };
  drain();
  logsock_send(LOGSOCK_INFO, "after");
  logsock_close();
  drain();
  close(reader);
  close(listener);

  std::vector<std::string> got;  // the text of each line, after "lagwatch[PID]: "
  size_t start = 0;
  for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    const std::string line = bytes.substr(start, end - start);
    EXPECT_EQ(line.compare(0, 4, "<22>"), 0) << "line " << got.size();
    got.push_back(line.substr(line.find("]: ") + 3));
  }
  const bool after = !got.empty() && got.back() == "after";
  if (after) got.pop_back();
  EXPECT_GE(got.size(), 1u);
  EXPECT_LT(got.size(), texts.size());
  EXPECT_EQ(got, std::vector<std::string>(texts.begin(), texts.begin() + got.size()));
  EXPECT_EQ(after, start == bytes.size()) << bytes.size() - start << " bytes of a part line";
}

}  // namespace
}  // namespace lagwatch
