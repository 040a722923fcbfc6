#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "support/child_process.h"
#include "support/relay_program.h"
#include "support/eventually.h"
#include "support/smtp_test_client.h"
#include "support/temp_dir.h"

namespace vellomar::test {

// The real program, copied with its template into a temporary application directory, its
// settings store there too, listening on a free port.
class VellomarTest : public ::testing::Test {
 protected:
  void Configure(const std::string& values) { relay_.Configure(values); }
  std::map<std::string, std::string> Environment() const { return relay_.Environment(); }
  void Launch() { relay_.Launch(); }
  void Start() { ASSERT_TRUE(relay_.Start()); }
  int Stop() { return relay_.Stop(); }
  std::string Log() const { return relay_.Log(); }
  std::vector<std::string> SpoolFiles() const { return relay_.SpoolFiles(); }
  // Runs the program with the arguments to its end: its exit status, standard output and error.
  struct Answer {
    int status = -1;
    std::string out;
    std::string err;
  };
  Answer RunCommand(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& extra = {}) {
    std::vector<std::string> argv{dir_.File("vellomar")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess command(argv, relay_.Environment(extra), "/dev/null", dir_.File("command.out"),
                         dir_.File("command.err"));
    EXPECT_TRUE(command.started());
    auto status = command.WaitExit(20000);
    EXPECT_TRUE(status.has_value()) << "still running";
    return {status.value_or(-1), dir_.Read("command.out"), dir_.Read("command.err")};
  }
  // What the running program has mapped: /proc/<pid>/maps of the process id its lock file holds.
  std::string Maps() const {
    const std::string pid = dir_.Read("vellomar.lock");
    std::ifstream in("/proc/" + pid.substr(0, pid.find_first_not_of("0123456789")) + "/maps");
    std::ostringstream maps;
    maps << in.rdbuf();
    return maps.str();
  }
  bool InOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
      at = text.find(line, at);
      if (at == std::string::npos) return false;
    }
    return true;
  }
  void Submit(int index, const std::string& body = std::string(5000, 'x')) {
    SmtpTestClient client(port_);
    EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
    const std::string lines[] = {"HELO client" + std::to_string(index) + "\r\n", "MAIL FROM:<a@example.org>\r\n",
                                 "RCPT TO:<b" + std::to_string(index) + "@example.org>\r\n"};
    for (const std::string& line : lines) {
      client.Send(line);
      EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    }
    client.Send("DATA\r\n");
    EXPECT_EQ(client.ReadReply(), "354 send the mail data, end with .\r\n");
    client.Send("Subject: number " + std::to_string(index) + "\r\n\r\n" + body + "\r\n.\r\n");
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    client.Send("QUIT\r\n");
    EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  }

  RelayProgram relay_{VELLOMAR_EXECUTABLE};
  const TempDir& dir_ = relay_.dir();
  const int port_ = relay_.port();
};

}  // namespace vellomar::test
