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

const std::string kSocket = std::string(LAGWATCH_UNIT_SANDBOX) + "/logsock-test";

// The text of a line as the log got it: what follows "IDENT[PID]: ".
std::string text_of(const std::string& line) {
  const size_t colon = line.find("]: ");
  return colon == std::string::npos ? "" : line.substr(colon + 3);
}

// A log whose reader reads nothing while 300 long lines are sent (a stream reader does not even
// accept) takes the first lines whole, in order; the rest are dropped, not waited for. Once the
// reader caught up, a further line reaches it whole, unless the stream took a line in part: that
// stream is given up, so the part line is the last thing the reader sees.
TEST(LogsockTest, LogThatNeverReadsTakesTheFirstLinesWhole) {
  const struct {
    const char* name;
    int type;
  } cases[] = {{"Datagram", SOCK_DGRAM}, {"Stream", SOCK_STREAM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(LAGWATCH_UNIT_SANDBOX);
    std::filesystem::remove(kSocket);
    const int listener = socket(AF_UNIX, c.type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    kSocket.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(c.type == SOCK_DGRAM || listen(listener, 1) == 0);
    logsock_open(kSocket.c_str(), "lagwatch", LOGSOCK_MAIL);
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i) {
      texts.push_back(std::to_string(1000 + i) + std::string(1900, 'x'));
      logsock_send(LOGSOCK_INFO, texts.back().c_str());
    }
    const int reader = c.type == SOCK_DGRAM ? listener : accept(listener, nullptr, nullptr);
    ASSERT_NE(reader, -1);
    std::string bytes;  // a stream's bytes; each datagram with a NUL after it
    auto drain = [&bytes, &c, reader] {
      char buffer[4096];
      for (ssize_t n; (n = recv(reader, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
        bytes.append(buffer, static_cast<size_t>(n));
        if (c.type == SOCK_DGRAM) bytes.push_back('\0');
      }
    };
    drain();
    logsock_send(LOGSOCK_INFO, "after");
    logsock_close();
    drain();
    if (reader != listener) close(reader);
    close(listener);

    std::vector<std::string> got;
    size_t start = 0;
    for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
      EXPECT_EQ(bytes.compare(start, 4, "<22>"), 0) << "line " << got.size();
      got.push_back(text_of(bytes.substr(start, end - start)));
    }
    const std::string part = bytes.substr(start);  // a line the stream took in part
    const bool after = !got.empty() && got.back() == "after";
    if (after) got.pop_back();
    EXPECT_GE(got.size(), 1u);
    EXPECT_LT(got.size(), texts.size());
    EXPECT_EQ(got, std::vector<std::string>(texts.begin(), texts.begin() + got.size()));
    EXPECT_EQ(after, part.empty()) << part.size() << " bytes of a part line";
  }
}

}  // namespace
}  // namespace lagwatch
