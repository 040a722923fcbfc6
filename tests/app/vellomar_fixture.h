#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/smtp_test_client.h"
#include "support/temp_dir.h"

namespace vellomar::test {

// The real program, copied with its template into a temporary application directory, its
// settings store there too, listening on a free port.
class VellomarTest : public ::testing::Test {
 protected:
  VellomarTest() : port_(FreePort()) {
    std::filesystem::copy_file(VELLOMAR_EXECUTABLE, dir_.File("vellomar"));
    std::filesystem::copy_file(std::string(VELLOMAR_RESOURCES) + "/error", dir_.File("error"));
    ::chmod(dir_.File("vellomar").c_str(), 0755);
  }

  void Configure(const std::string& values) {
    ASSERT_TRUE(MakeDirectories(dir_.File("store")));
    dir_.Write("store/HKEY_LOCAL_MACHINE.ini", "[Software\\Vellomar]\n" + values);
  }
  std::map<std::string, std::string> Environment() const {
    return {{"VELLOMAR_REGISTRY", dir_.File("store")},
            {"XDG_CONFIG_HOME", dir_.File("config")},
            {"HOME", dir_.path()},
            {"VELLOMAR_SMTP_PORT", std::to_string(port_)}};
  }
  void Launch() {
    program_ = std::make_unique<ChildProcess>(dir_.File("vellomar"), Environment(), dir_.File("stdout"),
                                                    dir_.File("stderr"));
  }
  void Start() {
    Launch();
    ASSERT_TRUE(program_->started());
    ASSERT_TRUE(Eventually([this] { return Log().find("Server started and listening.\r\n") != std::string::npos; }))
        << Log();
  }
  int Stop() {
    program_->Signal(SIGTERM);
    auto status = program_->WaitExit(30000);
    EXPECT_TRUE(status.has_value()) << "still running after SIGTERM";
    return status.value_or(-1);
  }
  // Runs the program with the arguments to its end: its exit status, standard output and error.
  struct Answer {
    int status = -1;
    std::string out;
    std::string err;
  };
  Answer RunCommand(const std::vector<std::string>& arguments) {
    ChildProcess command(dir_.File("vellomar"), Environment(), dir_.File("command.out"), dir_.File("command.err"),
                         arguments);
    EXPECT_TRUE(command.started());
    auto status = command.WaitExit(20000);
    EXPECT_TRUE(status.has_value()) << "still running";
    return {status.value_or(-1), dir_.Read("command.out"), dir_.Read("command.err")};
  }
  std::string Log() const { return dir_.Read("logfile"); }
  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().extension() == ".tml") names.push_back(entry.path().filename());
    }
    return names;
  }
  bool InOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
      at = text.find(line, at);
      if (at == std::string::npos) return false;
    }
    return true;
  }
  void Submit(int index) {
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
    client.Send("Subject: number " + std::to_string(index) + "\r\n\r\n" + std::string(5000, 'x') + "\r\n.\r\n");
    EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    client.Send("QUIT\r\n");
    EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  }

  TempDir dir_;
  int port_;
  std::unique_ptr<ChildProcess> program_;
};

}  // namespace vellomar::test
