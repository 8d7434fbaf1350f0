// The register arithmetic of the peripheral layer, checked against the chip's
// documented values and, for the clock tree, against the board's own RCC model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "bkp.h"
#include "pwr.h"
#include "rcc.h"
// The firmware's register names are macros; they come after the board's headers.
#include "stm32f10x_gpio.h"
#include "stm32f10x_nvic.h"
#include "stm32f10x_rcc.h"
#include "stm32f10x_usart.h"

namespace {

using stm32f1::afio_mapr_with;
using stm32f1::gpio_cr_with;
using stm32f1::gpio_nibble;
using stm32f1::nvic_priority_byte;
using stm32f1::rcc_clocks;
using stm32f1::usart_brr;

TEST(UsartBaudDivisor, BoardRates) {
  EXPECT_EQ(usart_brr(72000000, 115200), 0x271u);  // 39.0625
  EXPECT_EQ(usart_brr(36000000, 115200), 0x138u);  // 19.53: mantissa 19, fraction 8
  EXPECT_EQ(usart_brr(8000000, 115200), 0x045u);   // running from the internal oscillator
  EXPECT_EQ(usart_brr(72000000, 9600), 0x1D4Cu);   // exact: 468.75
}

TEST(UsartBaudDivisor, FractionRoundingUpCarriesIntoMantissa) {
  // 72 MHz / (16 x 38800) = 115.979: the fraction rounds to 16/16.
  EXPECT_EQ(usart_brr(72000000, 38800), 116u << 4);
}

TEST(UsartBaudDivisor, AlwaysWithinHalfASixteenthOfTheIdealDivider) {
  for (uint32_t pclk : {8000000u, 36000000u, 72000000u}) {
    for (uint32_t baud = 1200; baud <= 460800; baud = baud * 9 / 8 + 7) {
      const double ideal = static_cast<double>(pclk) / (16.0 * baud);
      const double got = usart_brr(pclk, baud) / 16.0;
      // Half a sixteenth for the rounding, plus the hundredths the division drops.
      EXPECT_LE(std::fabs(got - ideal), 1.0 / 32 + 0.01) << pclk << " Hz, " << baud << " baud";
    }
  }
}

TEST(UsartBaudDivisor, ThirtyTwoBitArithmeticMatchesTheWideDivision) {
  // The divider is worked out without a 64-bit division; it must agree with
  // 25 pclk / 4 baud taken in 64 bits for any bus clock up to very high rates.
  auto wide = [](uint32_t pclk, uint32_t baud) {
    const auto hundredths = static_cast<uint32_t>((25ull * pclk) / (4ull * baud));
    const uint32_t mantissa = hundredths / 100;
    return (mantissa << 4) + ((hundredths - mantissa * 100) * 16 + 50) / 100;
  };
  for (uint32_t pclk : {0u, 1u, 7u, 8000000u, 36000000u, 72000000u, 171798691u, 0xFFFFFFFFu}) {
    for (uint32_t baud : {1u, 2u, 3u, 4u, 5u, 300u, 9600u, 115200u, 921600u, 4500000u, 150000000u}) {
      EXPECT_EQ(usart_brr(pclk, baud), wide(pclk, baud)) << pclk << " Hz, " << baud << " baud";
    }
  }
}

TEST(NvicPriorityByte, GroupingTwoKeepsTheLowPreemptionBits) {
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_2, 6, 0), 0x80);  // 6 becomes 2
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_2, 1, 3), 0x70);
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_2, 3, 5), 0xD0);  // sub-priority cut to 2 bits
}

TEST(NvicPriorityByte, GroupingFourIsAllPreemption) {
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_4, 6, 0), 0x60);
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_4, 15, 0), 0xF0);
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_4, 6, 3), 0x60);  // no sub-priority bits
  // PRIGROUP below 3 (the reset value 0) also leaves all four bits to pre-emption.
  EXPECT_EQ(nvic_priority_byte(0, 6, 0), 0x60);
}

TEST(NvicPriorityByte, OtherGroupings) {
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_0, 5, 9), 0x90);  // sub-priority only
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_1, 1, 2), 0xA0);
  EXPECT_EQ(nvic_priority_byte(NVIC_PriorityGroup_3, 2, 1), 0x50);
  // The AIRCR read back carries the key and other bits; only PRIGROUP counts.
  EXPECT_EQ(nvic_priority_byte(0xFA050500u, 6, 0), 0x80);
}

TEST(GpioNibble, OutputsTakeTheSpeedInputsIgnoreIt) {
  EXPECT_EQ(gpio_nibble(GPIO_Mode_AF_PP, GPIO_Speed_50MHz), 0xBu);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_Out_PP, GPIO_Speed_10MHz), 0x1u);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_Out_OD, GPIO_Speed_2MHz), 0x6u);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_AF_OD, GPIO_Speed_50MHz), 0xFu);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_IN_FLOATING, GPIO_Speed_50MHz), 0x4u);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_IPU, GPIO_Speed_50MHz), 0x8u);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_IPD, GPIO_Speed_10MHz), 0x8u);
  EXPECT_EQ(gpio_nibble(GPIO_Mode_AIN, GPIO_Speed_50MHz), 0x0u);
}

TEST(GpioConfigRegister, ReplacesOnlyTheSelectedNibbles) {
  EXPECT_EQ(gpio_cr_with(0x44444444u, 0xC0, 0xB), 0xBB444444u);  // pins 6 and 7
  EXPECT_EQ(gpio_cr_with(0x44444444u, 0x01, 0x1), 0x44444441u);
  EXPECT_EQ(gpio_cr_with(0xFFFFFFFFu, 0x12, 0x0), 0xFFF0FF0Fu);
  EXPECT_EQ(gpio_cr_with(0x12345678u, 0x00, 0x0), 0x12345678u);
}

TEST(AfioRemap, DebugPortField) {
  EXPECT_EQ(afio_mapr_with(0, GPIO_Remap_SWJ_Disable, true), 0x04000000u);
  EXPECT_EQ(afio_mapr_with(0x00000C00u, GPIO_Remap_SWJ_JTAGDisable, true), 0x02000C00u);
  EXPECT_EQ(afio_mapr_with(0x00000C00u, GPIO_Remap_SWJ_Disable, false), 0x00000C00u);
}

TEST(AfioRemap, OtherRemapsLeaveTheDebugPortAlone) {
  // SWJ_CFG reads 0; a remap writes 0b111 there, which the chip ignores.
  EXPECT_EQ(afio_mapr_with(0, GPIO_Remap_USART1, true), 0x07000004u);
  EXPECT_EQ(afio_mapr_with(0x00000004u, GPIO_Remap_USART1, false), 0x07000000u);
  // Two-bit fields are cleared before the new value goes in.
  EXPECT_EQ(afio_mapr_with(0x00000C00u, GPIO_PartialRemap_TIM3, true), 0x07000800u);
  EXPECT_EQ(afio_mapr_with(0x00000C08u, GPIO_FullRemap_TIM3, false), 0x07000008u);
}

TEST(RccClocks, ResetAndBoardConfiguration) {
  const RCC_ClocksTypeDef reset = rcc_clocks(0);
  EXPECT_EQ(reset.SYSCLK_Frequency, 8000000u);
  EXPECT_EQ(reset.PCLK1_Frequency, 8000000u);
  EXPECT_EQ(reset.ADCCLK_Frequency, 4000000u);

  const uint32_t board = RCC_CFGR_SWS_PLL | RCC_CFGR_SW_PLL | RCC_PLLSource_HSE_Div1 | RCC_PLLMul_9 |
                         RCC_HCLK_Div2 | (RCC_HCLK_Div1 << 3);
  const RCC_ClocksTypeDef c = rcc_clocks(board);
  EXPECT_EQ(c.SYSCLK_Frequency, 72000000u);
  EXPECT_EQ(c.HCLK_Frequency, 72000000u);
  EXPECT_EQ(c.PCLK1_Frequency, 36000000u);
  EXPECT_EQ(c.PCLK2_Frequency, 72000000u);
  EXPECT_EQ(c.ADCCLK_Frequency, 36000000u);

  // The switch the hardware has not confirmed yet does not count.
  EXPECT_EQ(rcc_clocks(board & ~RCC_CFGR_SWS).SYSCLK_Frequency, 8000000u);
}

TEST(RccClocks, PllSourcesAndTheLastMultiplier) {
  EXPECT_EQ(rcc_clocks(RCC_CFGR_SWS_PLL | RCC_PLLSource_HSI_Div2 | RCC_PLLMul_16).SYSCLK_Frequency,
            64000000u);
  EXPECT_EQ(rcc_clocks(RCC_CFGR_SWS_PLL | RCC_PLLSource_HSI_Div2 | RCC_CFGR_PLLMULL).SYSCLK_Frequency,
            64000000u);
  EXPECT_EQ(rcc_clocks(RCC_CFGR_SWS_PLL | RCC_PLLSource_HSE_Div2 | RCC_PLLMul_9).SYSCLK_Frequency, 36000000u);
  EXPECT_EQ(rcc_clocks(RCC_CFGR_SWS_HSE).SYSCLK_Frequency, 8000000u);
  EXPECT_EQ(rcc_clocks(RCC_CFGR_SWS_HSE | RCC_SYSCLK_Div512).HCLK_Frequency, 15625u);
}

// The firmware reads the clocks from CFGR; the board derives them from its own
// state. Both must agree for every prescaler and multiplier.
TEST(RccClocks, FirmwareArithmeticAgreesWithTheBoardModel) {
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  board::Rcc rcc{bkp};
  for (uint32_t mul = 0; mul < 16; ++mul) {
    for (uint32_t src : {RCC_PLLSource_HSI_Div2, RCC_PLLSource_HSE_Div1, RCC_PLLSource_HSE_Div2}) {
      for (uint32_t pre = 0; pre < 16; ++pre) {
        const uint32_t hpre = pre << 4;
        const uint32_t ppre1 = (pre & 0x7u) << 8, ppre2 = ((pre * 5) & 0x7u) << 11;
        rcc.write(board::Rcc::kCFGR, 0);  // back to HSI so the PLL can stop
        rcc.write(board::Rcc::kCR, RCC_CR_HSION | RCC_CR_HSEON);
        rcc.write(board::Rcc::kCFGR, src | (mul << 18));
        rcc.write(board::Rcc::kCR, RCC_CR_HSION | RCC_CR_HSEON | RCC_CR_PLLON);
        rcc.write(board::Rcc::kCFGR, src | (mul << 18) | hpre | ppre1 | ppre2 | RCC_SYSCLKSource_PLLCLK);
        const RCC_ClocksTypeDef c = rcc_clocks(rcc.read(board::Rcc::kCFGR));
        ASSERT_EQ(c.SYSCLK_Frequency, rcc.sysclk_hz()) << "mul field " << mul << " source " << src;
        ASSERT_EQ(c.HCLK_Frequency, rcc.hclk_hz());
        ASSERT_EQ(c.PCLK1_Frequency, rcc.pclk1_hz());
        ASSERT_EQ(c.PCLK2_Frequency, rcc.pclk2_hz());
      }
    }
  }
}

}  // namespace
