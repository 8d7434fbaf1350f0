// The USART model: transmission timing, reception and overrun, and the line rules.
#include <gtest/gtest.h>

#include <string>

#include "board.h"

namespace {

using board::Usart;

struct UsartFixture : ::testing::Test {
  board::Board& b = board::the_board();
  std::string sent;

  void SetUp() override {
    b.usart1.reset();  // one board per process: a byte of the test before may still be shifting
    // 72 MHz from the PLL, APB2 undivided, APB1 halved, USART1/2 clocked (the
    // crystal at once: no time passes here).
    b.rcc.hse_startup = 0;
    b.rcc.write(board::Rcc::kCR, 0x00010081);
    b.rcc.write(board::Rcc::kCFGR, 0x001D0400);
    b.rcc.write(board::Rcc::kCR, 0x01010081);
    b.rcc.write(board::Rcc::kCFGR, 0x001D0402);
    b.rcc.write(board::Rcc::kAPB2ENR, 1u << 14);
    b.usart1.write(Usart::kBRR, 0x271);
    b.usart1.write(Usart::kCR1, 0x200C);
    b.usart1.set_tx_sink([this](uint8_t c) { sent.push_back(static_cast<char>(c)); });
    b.gpioa.write(board::Gpio::kCRH, 0x444444B4);  // PA9 (TX) alternate-function push-pull
  }
  void TearDown() override { b.gpioa.write(board::Gpio::kCRH, 0x44444444); }
  uint64_t broken() const { return b.rules.count(); }
};

TEST(LineSampling, TheSameBaudReadsEveryByteAndANinthOfItReadsGarbage) {
  bool framing = true;
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(board::sampled_byte(static_cast<uint8_t>(v), 115200, 115200, framing), v);
    EXPECT_FALSE(framing);
  }
  // 2 % slow or fast: the middle of the stop bit is still inside it.
  EXPECT_EQ(board::sampled_byte(0x55, 115200 * 0.98, 115200, framing), 0x55);
  EXPECT_EQ(board::sampled_byte(0x55, 115200 * 1.02, 115200, framing), 0x55);
  // Nine times slow (the internal oscillator's rates on a divisor made for 72 MHz):
  // every sample falls in the stretched start bit, the stop sample in data bit 0.
  EXPECT_EQ(board::sampled_byte('d', 12800, 115200, framing), 0x00);
  EXPECT_TRUE(framing);
  EXPECT_EQ(board::sampled_byte('e', 12800, 115200, framing), 0x00);
  EXPECT_FALSE(framing);
  // Nine times fast: the whole frame is over by the first sample, all idle.
  EXPECT_EQ(board::sampled_byte('e', 115200 * 9, 115200, framing), 0xFF);
  EXPECT_FALSE(framing);
}

TEST_F(UsartFixture, ABytesLeavesOnlyWithTeAndTheTxPinInItsAlternateFunction) {
  const uint64_t before = broken();
  auto next_byte_time = [&] {
    b.events.advance_to(b.now() + 6250);
    b.events.run_due();
  };
  b.usart1.write(Usart::kCR1, 0x2004);  // TE clear
  b.usart1.write(Usart::kDR, 'a');
  EXPECT_EQ(broken(), before + 1);
  if (before == 0) {
    EXPECT_EQ(b.rules.first().find("USART1.DR: a byte written with UE or TE clear"), 0u);
  }
  b.usart1.write(Usart::kCR1, 0x200C);
  b.gpioa.write(board::Gpio::kCRH, 0x44444444);  // PA9 an input again
  b.usart1.write(Usart::kDR, 'b');
  EXPECT_EQ(broken(), before + 2);
  next_byte_time();
  b.gpioa.write(board::Gpio::kCRH, 0x44444434);  // a general-purpose output: not the USART's either
  b.usart1.write(Usart::kDR, 'c');
  EXPECT_EQ(broken(), before + 3);
  EXPECT_EQ(sent, "");
  next_byte_time();
  b.gpioa.write(board::Gpio::kCRH, 0x444444B4);
  b.usart1.write(Usart::kDR, 'd');
  EXPECT_EQ(sent, "d");
  EXPECT_EQ(broken(), before + 3);
}

TEST_F(UsartFixture, AByteArrivesOnlyWhileTheRxPinIsADigitalInput) {
  const uint64_t before = broken();
  b.gpioa.write(board::Gpio::kCRH, 0x444443B4);  // PA10 a push-pull output
  EXPECT_FALSE(b.usart1.receive('a'));
  EXPECT_FALSE(b.usart1.rx_full());
  EXPECT_EQ(broken(), before + 1);
  if (before == 0) {
    EXPECT_EQ(b.rules.first().find("GPIOA.CRH: a byte arrived for USART1 while its RX pin PA10 is an output"),
              0u);
  }
  b.gpioa.write(board::Gpio::kCRH, 0x444440B4);  // analog: the input buffer is off
  EXPECT_FALSE(b.usart1.receive('b'));
  EXPECT_EQ(broken(), before + 2);
  for (uint32_t crh : {0x444444B4u, 0x444448B4u}) {  // floating, then with its pull
    b.gpioa.write(board::Gpio::kCRH, crh);
    EXPECT_TRUE(b.usart1.receive('c')) << std::hex << crh;
    EXPECT_EQ(b.usart1.read(Usart::kDR), static_cast<uint32_t>('c'));
  }
  EXPECT_EQ(broken(), before + 2);
}

TEST_F(UsartFixture, ALineOffItsBaudIsReadGarbledBothWaysAndCounted) {
  const uint64_t before = broken();
  b.usart1.write(Usart::kBRR, 0x271 * 9);  // 12800 baud
  b.usart1.write(Usart::kDR, 'd');
  EXPECT_EQ(sent, std::string(1, '\0'));
  EXPECT_EQ(broken(), before + 1);
  if (before == 0) {
    EXPECT_EQ(b.rules.first().find("USART1.BRR: the line runs at 12800 baud, -88.9 % off"), 0u);
  }
  // Twice the line's rate: the register samples a byte from 115200 too early, and
  // its stop sample falls in data bit 3, low: a framing error, cleared by reading DR.
  b.usart1.write(Usart::kBRR, 0x271 / 2);
  EXPECT_TRUE(b.usart1.receive(0x00));
  EXPECT_TRUE(b.usart1.read(Usart::kSR) & Usart::kFE);
  EXPECT_EQ(b.usart1.read(Usart::kDR), 0x00u);
  EXPECT_FALSE(b.usart1.read(Usart::kSR) & Usart::kFE);
  EXPECT_TRUE(b.usart1.receive(0xFF));  // the start bit read as data bit 0
  EXPECT_FALSE(b.usart1.read(Usart::kSR) & Usart::kFE);
  EXPECT_EQ(b.usart1.read(Usart::kDR), 0xFEu);
  EXPECT_EQ(broken(), before + 3);
  // 2 % off is within what the receivers take.
  b.usart1.write(Usart::kBRR, 0x271 * 102 / 100);
  b.events.advance_to(b.now() + 60000);
  b.events.run_due();
  b.usart1.write(Usart::kDR, 'f');
  EXPECT_TRUE(b.usart1.receive('g'));
  EXPECT_EQ(b.usart1.read(Usart::kDR), static_cast<uint32_t>('g'));
  EXPECT_EQ(sent, std::string(1, '\0') + "f");
  EXPECT_EQ(broken(), before + 3);
}

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
