// The serial lines on their pins: a logic analyzer's UART decoder (sigrok's)
// reads from the VCD what the console and the RS485 bus carried, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "command.h"

namespace {

std::string temp(const std::string& name) {
  return ::testing::TempDir() + name + "." + std::to_string(getpid());
}

// The bytes sigrok-cli's uart decoder reads on `pin` of the dump.
std::string decoded(const std::string& vcd, const std::string& pin) {
  const std::string out = temp("decoded." + pin);
  const CommandResult r = run_command("sigrok-cli -I vcd:downsample=10 -i " + vcd + " -P uart:rx=" + pin +
                                      ":baudrate=115200 -B uart=rx > " + out + " 2>&1");
  EXPECT_EQ(r.status, 0) << read_file(out);
  const std::string bytes = read_file(out);
  std::remove(out.c_str());
  return bytes;
}

TEST(SerialPins, SigrokDecodesTheConsoleBothWaysAndTheRs485LineFromTheDump) {
  ASSERT_EQ(run_command("command -v sigrok-cli >/dev/null").status, 0)
      << "sigrok-cli is missing (make deps installs it)";
  const std::string vcd = temp("serial.vcd"), rs485 = temp("serial.rs485");
  const std::string typed = "help\re3on\re3info\r";
  const CommandResult run =
      run_command("printf '" + std::string("help\\re3on\\re3info\\r") +
                  "' | " TARVIK_SIM_PATH " --batch --until 1.2 --vcd " + vcd +
                  " --vcd-signals PA9,PA10,PA2,pa3,PA4 --rs485 " + rs485 + " 2>/dev/null");
  ASSERT_EQ(run.status, 0);
  ASSERT_NE(run.out.find("Engine3 setup:"), std::string::npos);
  EXPECT_EQ(decoded(vcd, "pa9"), run.out);  // USART1 TX: the console's output
  EXPECT_EQ(decoded(vcd, "pa10"), typed);   // USART1 RX: what was typed
  const std::string sent = read_file(rs485);
  EXPECT_GT(sent.size(), 500u);
  EXPECT_EQ(decoded(vcd, "pa2"), sent);  // USART2 TX: the telemetry on the bus
  EXPECT_EQ(decoded(vcd, "pa3"), "");    // nothing arrived on the bus
  std::remove(vcd.c_str());
  std::remove(rs485.c_str());
}

}  // namespace
