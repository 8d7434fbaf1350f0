// The table of register names against the firmware's own register map, so that
// the access log and the rule messages name what the firmware means; and the
// access log's lines.
#include "register_names.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "access_log.h"
#include "event_queue.h"
// The firmware's register names are macros; they come after the board's headers.
#include "stm32f10x.h"

namespace {

using board::regs::locate;
using board::regs::register_name;

struct Member {
  const char* name;
  size_t offset;
};
#define M(type, field) \
  Member { #field, offsetof(type, field) }

struct Peripheral {
  const char* block;
  uint32_t base;
  std::vector<Member> members;
};

std::vector<Peripheral> firmware_map() {
  const std::vector<Member> gpio = {M(GPIO_TypeDef, CRL), M(GPIO_TypeDef, CRH),  M(GPIO_TypeDef, IDR),
                                    M(GPIO_TypeDef, ODR), M(GPIO_TypeDef, BSRR), M(GPIO_TypeDef, BRR),
                                    M(GPIO_TypeDef, LCKR)};
  const std::vector<Member> usart = {M(USART_TypeDef, SR),  M(USART_TypeDef, DR),  M(USART_TypeDef, BRR),
                                     M(USART_TypeDef, CR1), M(USART_TypeDef, CR2), M(USART_TypeDef, CR3),
                                     M(USART_TypeDef, GTPR)};
  const std::vector<Member> tim = {
      M(TIM_TypeDef, CR1),  M(TIM_TypeDef, CR2),  M(TIM_TypeDef, SMCR),  M(TIM_TypeDef, DIER),
      M(TIM_TypeDef, SR),   M(TIM_TypeDef, EGR),  M(TIM_TypeDef, CCMR1), M(TIM_TypeDef, CCMR2),
      M(TIM_TypeDef, CCER), M(TIM_TypeDef, CNT),  M(TIM_TypeDef, PSC),   M(TIM_TypeDef, ARR),
      M(TIM_TypeDef, RCR),  M(TIM_TypeDef, CCR1), M(TIM_TypeDef, CCR2),  M(TIM_TypeDef, CCR3),
      M(TIM_TypeDef, CCR4), M(TIM_TypeDef, BDTR), M(TIM_TypeDef, DCR),   M(TIM_TypeDef, DMAR)};
  return {
      {"RCC",
       RCC_BASE,
       {M(RCC_TypeDef, CR), M(RCC_TypeDef, CFGR), M(RCC_TypeDef, CIR), M(RCC_TypeDef, APB2RSTR),
        M(RCC_TypeDef, APB1RSTR), M(RCC_TypeDef, AHBENR), M(RCC_TypeDef, APB2ENR), M(RCC_TypeDef, APB1ENR),
        M(RCC_TypeDef, BDCR), M(RCC_TypeDef, CSR)}},
      {"FLASH",
       FLASH_R_BASE,
       {M(FLASH_TypeDef, ACR), M(FLASH_TypeDef, KEYR), M(FLASH_TypeDef, OPTKEYR), M(FLASH_TypeDef, SR),
        M(FLASH_TypeDef, CR), M(FLASH_TypeDef, AR), M(FLASH_TypeDef, OBR), M(FLASH_TypeDef, WRPR)}},
      {"PWR", PWR_BASE, {M(PWR_TypeDef, CR), M(PWR_TypeDef, CSR)}},
      {"BKP",
       BKP_BASE,
       {M(BKP_TypeDef, DR1), M(BKP_TypeDef, DR2), M(BKP_TypeDef, DR3), M(BKP_TypeDef, DR4),
        M(BKP_TypeDef, DR5), M(BKP_TypeDef, DR6), M(BKP_TypeDef, DR7), M(BKP_TypeDef, DR8),
        M(BKP_TypeDef, DR9), M(BKP_TypeDef, DR10), M(BKP_TypeDef, RTCCR), M(BKP_TypeDef, CR),
        M(BKP_TypeDef, CSR)}},
      {"CRC", CRC_BASE, {M(CRC_TypeDef, DR), M(CRC_TypeDef, IDR), M(CRC_TypeDef, CR)}},
      {"AFIO",
       AFIO_BASE,
       {M(AFIO_TypeDef, EVCR), M(AFIO_TypeDef, MAPR), M(AFIO_TypeDef, EXTICR), M(AFIO_TypeDef, MAPR2)}},
      {"GPIOA", GPIOA_BASE, gpio},
      {"GPIOB", GPIOB_BASE, gpio},
      {"GPIOC", GPIOC_BASE, gpio},
      {"USART1", USART1_BASE, usart},
      {"USART2", USART2_BASE, usart},
      {"TIM3", TIM3_BASE, tim},
      {"TIM4", TIM4_BASE, tim},
      {"NVIC",
       NVIC_BASE,
       {M(NVIC_Type, ISER), M(NVIC_Type, ICER), M(NVIC_Type, ISPR), M(NVIC_Type, ICPR), M(NVIC_Type, IABR),
        M(NVIC_Type, IP), M(NVIC_Type, STIR)}},
      {"SCB",
       SCB_BASE,
       {M(SCB_Type, CPUID), M(SCB_Type, ICSR), M(SCB_Type, VTOR), M(SCB_Type, AIRCR), M(SCB_Type, SCR),
        M(SCB_Type, CCR), M(SCB_Type, SHP), M(SCB_Type, SHCSR), M(SCB_Type, CFSR), M(SCB_Type, HFSR),
        M(SCB_Type, DFSR), M(SCB_Type, MMFAR), M(SCB_Type, BFAR), M(SCB_Type, AFSR), M(SCB_Type, PFR),
        M(SCB_Type, DFR), M(SCB_Type, ADR), M(SCB_Type, MMFR), M(SCB_Type, ISAR)}},
      {"SysTick",
       SysTick_BASE,
       {M(SysTick_Type, CTRL), M(SysTick_Type, LOAD), M(SysTick_Type, VAL), M(SysTick_Type, CALIB)}},
  };
}

TEST(RegisterNames, EveryFirmwareRegisterHasItsNameAtItsAddressAndNoOtherIsListed) {
  const std::vector<Peripheral> map = firmware_map();
  ASSERT_EQ(map.size(), board::regs::blocks().size());
  for (const Peripheral& p : map) {
    const board::regs::Block* block = board::regs::block_at(p.base);
    ASSERT_NE(block, nullptr) << p.block;
    EXPECT_STREQ(block->name, p.block);
    EXPECT_EQ(block->base, p.base) << p.block;
    EXPECT_EQ(block->registers.size(), p.members.size()) << p.block;
    for (const Member& m : p.members) {
      const board::regs::Location at = locate(p.base + static_cast<uint32_t>(m.offset));
      ASSERT_NE(at.reg, nullptr) << p.block << "." << m.name;
      EXPECT_STREQ(at.reg->name, m.name) << p.block;
      EXPECT_EQ(at.reg->offset, m.offset) << p.block << "." << m.name;
    }
  }
}

TEST(RegisterNames, FieldsMatchTheFirmwaresBitDefinitions) {
  struct Bits {
    const char* block;
    const char* reg;
    const char* field;
    uint32_t mask;
  };
  const Bits bits[] = {
      {"rcc", "CR", "HSION", RCC_CR_HSION},
      {"rcc", "CR", "HSIRDY", RCC_CR_HSIRDY},
      {"rcc", "CR", "HSEON", RCC_CR_HSEON},
      {"rcc", "CR", "HSERDY", RCC_CR_HSERDY},
      {"rcc", "CR", "HSEBYP", RCC_CR_HSEBYP},
      {"rcc", "CR", "CSSON", RCC_CR_CSSON},
      {"rcc", "CR", "PLLON", RCC_CR_PLLON},
      {"rcc", "CR", "PLLRDY", RCC_CR_PLLRDY},
      {"rcc", "CFGR", "SW", RCC_CFGR_SW},
      {"rcc", "CFGR", "SWS", RCC_CFGR_SWS},
      {"rcc", "CFGR", "HPRE", RCC_CFGR_HPRE},
      {"rcc", "CFGR", "PPRE1", RCC_CFGR_PPRE1},
      {"rcc", "CFGR", "PPRE2", RCC_CFGR_PPRE2},
      {"rcc", "CFGR", "ADCPRE", RCC_CFGR_ADCPRE},
      {"rcc", "CFGR", "PLLSRC", RCC_CFGR_PLLSRC},
      {"rcc", "CFGR", "PLLXTPRE", RCC_CFGR_PLLXTPRE},
      {"rcc", "CFGR", "PLLMUL", RCC_CFGR_PLLMULL},
      {"rcc", "CFGR", "USBPRE", RCC_CFGR_USBPRE},
      {"rcc", "CFGR", "MCO", RCC_CFGR_MCO},
      {"rcc", "BDCR", "BDRST", RCC_BDCR_BDRST},
      {"rcc", "APB1RSTR", "PWRRST", RCC_APB1RSTR_PWRRST},
      {"flash", "ACR", "LATENCY", FLASH_ACR_LATENCY},
      {"flash", "ACR", "HLFCYA", FLASH_ACR_HLFCYA},
      {"flash", "ACR", "PRFTBE", FLASH_ACR_PRFTBE},
      {"flash", "ACR", "PRFTBS", FLASH_ACR_PRFTBS},
      {"pwr", "CR", "DBP", PWR_CR_DBP},
      {"crc", "CR", "RESET", CRC_CR_RESET},
      {"afio", "MAPR", "SWJ_CFG", AFIO_MAPR_SWJ_CFG},
      {"usart1", "SR", "RXNE", USART_SR_RXNE},
      {"usart1", "SR", "TC", USART_SR_TC},
      {"usart1", "SR", "TXE", USART_SR_TXE},
      {"usart1", "CR1", "RE", USART_CR1_RE},
      {"usart1", "CR1", "TE", USART_CR1_TE},
      {"usart1", "CR1", "PS", USART_CR1_PS},
      {"usart1", "CR1", "PCE", USART_CR1_PCE},
      {"usart1", "CR1", "M", USART_CR1_M},
      {"usart1", "CR1", "UE", USART_CR1_UE},
      {"usart1", "CR2", "STOP", USART_CR2_STOP},
      {"usart1", "CR3", "RTSE", USART_CR3_RTSE},
      {"usart1", "CR3", "CTSE", USART_CR3_CTSE},
      {"tim3", "CR1", "CEN", TIM_CR1_CEN},
      {"tim3", "CR1", "UDIS", TIM_CR1_UDIS},
      {"tim3", "CR1", "URS", TIM_CR1_URS},
      {"tim3", "CR1", "OPM", TIM_CR1_OPM},
      {"tim3", "CR1", "DIR", TIM_CR1_DIR},
      {"tim3", "CR1", "CMS", TIM_CR1_CMS},
      {"tim3", "CR1", "ARPE", TIM_CR1_ARPE},
      {"tim3", "CR1", "CKD", TIM_CR1_CKD},
      {"tim3", "SR", "UIF", TIM_SR_UIF},
      {"tim3", "SR", "CC1IF", TIM_SR_CC1IF},
      {"tim3", "SR", "CC2IF", TIM_SR_CC2IF},
      {"tim4", "SR", "CC3IF", TIM_SR_CC3IF},
      {"tim4", "SR", "CC4IF", TIM_SR_CC4IF},
      {"tim3", "EGR", "UG", TIM_EGR_UG},
      {"tim3", "CCMR1", "CC1S", TIM_CCMR_CCS},
      {"tim3", "CCMR1", "OC1PE", TIM_CCMR_OCPE},
      {"tim3", "CCMR1", "OC1M", TIM_CCMR_OCM},
      {"tim3", "CCMR1", "OC2M", TIM_CCMR_OCM << 8},
      {"tim4", "CCMR2", "IC3PSC", TIM_CCMR_ICPSC},
      {"tim4", "CCMR2", "IC3F", TIM_CCMR_ICF},
      {"tim3", "CCER", "CC1E", TIM_CCER_CCE},
      {"tim3", "CCER", "CC1P", TIM_CCER_CCP},
      {"tim4", "CCER", "CC3E", TIM_CCER_CCE << 8},
      {"scb", "AIRCR", "PRIGROUP", SCB_AIRCR_PRIGROUP},
      {"scb", "AIRCR", "VECTKEY", 0xFFFF0000u},
      {"scb", "VTOR", "TBLOFF", SCB_VTOR_TBLOFF},
  };
  for (const Bits& b : bits) {
    const board::regs::Block* block = board::regs::block_named(b.block);
    ASSERT_NE(block, nullptr) << b.block;
    const board::regs::Register* reg = nullptr;
    for (const board::regs::Register& r : block->registers)
      if (std::string(r.name) == b.reg) reg = &r;
    ASSERT_NE(reg, nullptr) << b.block << "." << b.reg;
    const board::regs::Field* f = board::regs::field_named(*reg, b.field);
    ASSERT_NE(f, nullptr) << b.block << "." << b.reg << "." << b.field;
    // VTOR's offset field also takes TBLBASE, bit 29, which the firmware keeps apart.
    const uint32_t mask = std::string(b.field) == "TBLOFF" ? b.mask & ~(1u << 29) : b.mask;
    EXPECT_EQ(f->mask(), mask) << b.block << "." << b.reg << "." << b.field;
  }
}

TEST(RegisterNames, ArraysGapsAndUnknownAddresses) {
  EXPECT_EQ(register_name(TIM3_BASE + 0x34), "TIM3.CCR1");
  EXPECT_EQ(register_name(NVIC_BASE + 0x300 + 29), "NVIC.IP[29]");
  EXPECT_EQ(register_name(NVIC_BASE + 0x004), "NVIC.ISER[1]");
  EXPECT_EQ(register_name(AFIO_BASE + 0x14), "AFIO.EXTICR[3]");
  EXPECT_EQ(register_name(TIM3_BASE + 0x50), "TIM3+0x50");      // past DMAR
  EXPECT_EQ(register_name(FLASH_R_BASE + 0x18), "FLASH+0x18");  // the reserved word
  EXPECT_EQ(register_name(0x50000000), "0x50000000");
  EXPECT_EQ(register_name(SCB_BASE + 0x1B), "SCB.SHP[3]");
}

TEST(AccessLog, LinesNameTheRegisterAndTheFieldsAWriteChanged) {
  using board::AccessLog;
  EXPECT_EQ(AccessLog::line(72, true, TIM3_BASE, 0x81, 0, false),
            "0.000001000 W TIM3.CR1 <- 0x0081 CEN=1 ARPE=1");
  EXPECT_EQ(AccessLog::line(72, true, TIM3_BASE, 0x80, 0x81, false),
            "0.000001000 W TIM3.CR1 <- 0x0080 CEN=0");
  EXPECT_EQ(AccessLog::line(0, true, TIM3_BASE, 0x80, 0x80, false), "0.000000000 W TIM3.CR1 <- 0x0080");
  EXPECT_EQ(AccessLog::line(0, false, USART1_BASE, 0xC0, 0, false), "0.000000000 R USART1.SR -> 0x00C0");
  // Multi-bit fields in decimal; bits no field names, together in hex.
  EXPECT_EQ(AccessLog::line(0, true, RCC_BASE + 4, 0x001D0402, 0x001D0400, false),
            "0.000000000 W RCC.CFGR <- 0x001D0402 SW=2");
  EXPECT_EQ(AccessLog::line(0, true, TIM3_BASE + 4, 0x0100, 0, false),
            "0.000000000 W TIM3.CR2 <- 0x0100 bits=0x100");
  // A write that acts (set/reset) names what it sets, whatever was there before.
  EXPECT_EQ(AccessLog::line(0, true, GPIOA_BASE + 0x10, 0x00200000, 0x00200000, false),
            "0.000000000 W GPIOA.BSRR <- 0x00200000 BR5=1");
  // A status register cleared by writing 0 names the flags it cleared.
  EXPECT_EQ(AccessLog::line(0, true, TIM3_BASE + 0x10, 0xFFFD, 0x001F, false),
            "0.000000000 W TIM3.SR <- 0xFFFD CC1IF=0");
  EXPECT_EQ(AccessLog::line(0, true, TIM3_BASE + 0x34, 500, 0, true),
            "0.000000000 W TIM3.CCR1 <- 0x01F4 (clock off: ignored)");
}

TEST(AccessLog, ChoosesPeripheralsByNameAndRefusesUnknownOnes) {
  board::EventQueue events;
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  board::AccessLog log(events, out);
  std::string error;
  EXPECT_FALSE(log.select("tim3,tim5", error));
  EXPECT_EQ(error, "tim5");
  EXPECT_FALSE(log.select("", error));
  ASSERT_TRUE(log.select("tim3,nvic", error));
  log.access(true, TIM3_BASE + 0x34, 500, 4, false);
  log.access(true, TIM4_BASE + 0x34, 500, 4, false);          // not chosen
  log.access(true, NVIC_BASE + 0x31C, 0x80706050, 4, false);  // a word of IP bytes: IP[28] to IP[31]
  log.access(true, TIM3_BASE + 0x34, 500, 4, false);          // nothing changed
  EXPECT_EQ(log.written(), 6u);
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text.push_back(static_cast<char>(c));
  std::fclose(out);
  EXPECT_EQ(text,
            "0.000000000 W TIM3.CCR1 <- 0x01F4\n"
            "0.000000000 W NVIC.IP[28] <- 0x50\n"
            "0.000000000 W NVIC.IP[29] <- 0x60\n"
            "0.000000000 W NVIC.IP[30] <- 0x70\n"
            "0.000000000 W NVIC.IP[31] <- 0x80\n"
            "0.000000000 W TIM3.CCR1 <- 0x01F4\n");
  ASSERT_TRUE(log.select("all", error));
}

}  // namespace
