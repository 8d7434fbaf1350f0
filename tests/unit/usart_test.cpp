// The USART model: transmission timing, reception and overrun.
#include <gtest/gtest.h>

#include <string>

#include "board.h"

namespace {

using board::Usart;

struct UsartFixture : ::testing::Test {
  board::Board& b = board::the_board();
  std::string sent;

  void SetUp() override {
    // 72 MHz from the PLL, APB2 undivided, APB1 halved, USART1/2 clocked.
    b.rcc.write(board::Rcc::kCR, 0x00010081);
    b.rcc.write(board::Rcc::kCFGR, 0x001D0400);
    b.rcc.write(board::Rcc::kCR, 0x01010081);
    b.rcc.write(board::Rcc::kCFGR, 0x001D0402);
    b.rcc.write(board::Rcc::kAPB2ENR, 1u << 14);
    b.usart1.write(Usart::kBRR, 0x271);
    b.usart1.write(Usart::kCR1, 0x200C);
    b.usart1.set_tx_sink([this](uint8_t c) { sent.push_back(static_cast<char>(c)); });
  }
};

TEST_F(UsartFixture, TransmissionCompletesOneCharacterTimeAfterTheWrite) {
  EXPECT_EQ(b.usart1.char_time(), 6250u);               // 10 bits at 115200 baud, in 72 MHz cycles
  EXPECT_TRUE(b.usart1.read(Usart::kSR) & Usart::kTC);  // set from reset
  const auto start = b.now();
  b.usart1.write(Usart::kDR, 'A');
  EXPECT_EQ(sent, "A");
  EXPECT_FALSE(b.usart1.read(Usart::kSR) & Usart::kTC);
  b.events.advance_to(start + 6249);
  b.events.run_due();
  EXPECT_FALSE(b.usart1.read(Usart::kSR) & Usart::kTC);
  b.events.advance_to(start + 6250);
  b.events.run_due();
  EXPECT_TRUE(b.usart1.read(Usart::kSR) & Usart::kTC);
}

TEST_F(UsartFixture, ReceivedByteWaitsUntilReadAndAnotherOneIsLost) {
  int taken = 0;
  b.usart1.set_rx_taken([&] { ++taken; });
  EXPECT_TRUE(b.usart1.receive('x'));
  EXPECT_TRUE(b.usart1.read(Usart::kSR) & Usart::kRXNE);
  EXPECT_FALSE(b.usart1.receive('y'));  // RXNE still set: overrun
  EXPECT_EQ(b.usart1.bytes_lost(), 1u);
  EXPECT_EQ(b.usart1.read(Usart::kDR), static_cast<uint32_t>('x'));
  EXPECT_FALSE(b.usart1.read(Usart::kSR) & Usart::kRXNE);
  EXPECT_EQ(taken, 1);
  b.usart1.read(Usart::kDR);  // reading an empty register is no new take
  EXPECT_EQ(taken, 1);
}

TEST_F(UsartFixture, ApbOneLineCountsItsOwnBusClock) {
  b.usart2.write(Usart::kBRR, 0x138);  // 36 MHz / 115200
  b.usart2.write(Usart::kCR1, 0x200C);
  EXPECT_EQ(b.usart2.char_time(), 10u * 0x138 * 2);
}

}  // namespace
