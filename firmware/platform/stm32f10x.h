// STM32F103 medium-density register map: the peripherals this unit uses, laid out
// as the chip has them, over the register type of registers.h. Every register is
// reached as a 32-bit word, which the chip's APB bridges accept for all of them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "registers.h"

// --- shared library types -----------------------------------------------------------

typedef enum { DISABLE = 0, ENABLE = !DISABLE } FunctionalState;
typedef enum { RESET = 0, SET = !RESET } FlagStatus, ITStatus;
typedef enum { ERROR = 0, SUCCESS = !ERROR } ErrorStatus;

// --- exception and interrupt numbers ------------------------------------------------

typedef enum IRQn {
  NonMaskableInt_IRQn = -14,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,
  WWDG_IRQn = 0,
  PVD_IRQn = 1,
  TAMPER_IRQn = 2,
  RTC_IRQn = 3,
  FLASH_IRQn = 4,
  RCC_IRQn = 5,
  EXTI0_IRQn = 6,
  EXTI1_IRQn = 7,
  EXTI2_IRQn = 8,
  EXTI3_IRQn = 9,
  EXTI4_IRQn = 10,
  DMA1_Channel1_IRQn = 11,
  DMA1_Channel2_IRQn = 12,
  DMA1_Channel3_IRQn = 13,
  DMA1_Channel4_IRQn = 14,
  DMA1_Channel5_IRQn = 15,
  DMA1_Channel6_IRQn = 16,
  DMA1_Channel7_IRQn = 17,
  ADC1_2_IRQn = 18,
  USB_HP_CAN1_TX_IRQn = 19,
  USB_LP_CAN1_RX0_IRQn = 20,
  CAN1_RX1_IRQn = 21,
  CAN1_SCE_IRQn = 22,
  EXTI9_5_IRQn = 23,
  TIM1_BRK_IRQn = 24,
  TIM1_UP_IRQn = 25,
  TIM1_TRG_COM_IRQn = 26,
  TIM1_CC_IRQn = 27,
  TIM2_IRQn = 28,
  TIM3_IRQn = 29,
  TIM4_IRQn = 30,
  I2C1_EV_IRQn = 31,
  I2C1_ER_IRQn = 32,
  I2C2_EV_IRQn = 33,
  I2C2_ER_IRQn = 34,
  SPI1_IRQn = 35,
  SPI2_IRQn = 36,
  USART1_IRQn = 37,
  USART2_IRQn = 38,
  USART3_IRQn = 39,
  EXTI15_10_IRQn = 40,
  RTCAlarm_IRQn = 41,
  USBWakeUp_IRQn = 42,
} IRQn_Type;

// --- memory map ---------------------------------------------------------------------

constexpr uint32_t FLASH_BASE = 0x08000000u;
constexpr uint32_t SRAM_BASE = 0x20000000u;
constexpr uint32_t PERIPH_BASE = 0x40000000u;
constexpr uint32_t APB1PERIPH_BASE = PERIPH_BASE;
constexpr uint32_t APB2PERIPH_BASE = PERIPH_BASE + 0x10000u;
constexpr uint32_t AHBPERIPH_BASE = PERIPH_BASE + 0x20000u;

constexpr uint32_t TIM3_BASE = APB1PERIPH_BASE + 0x0400u;
constexpr uint32_t TIM4_BASE = APB1PERIPH_BASE + 0x0800u;
constexpr uint32_t USART2_BASE = APB1PERIPH_BASE + 0x4400u;
constexpr uint32_t BKP_BASE = APB1PERIPH_BASE + 0x6C00u;
constexpr uint32_t PWR_BASE = APB1PERIPH_BASE + 0x7000u;
constexpr uint32_t AFIO_BASE = APB2PERIPH_BASE + 0x0000u;
constexpr uint32_t GPIOA_BASE = APB2PERIPH_BASE + 0x0800u;
constexpr uint32_t GPIOB_BASE = APB2PERIPH_BASE + 0x0C00u;
constexpr uint32_t GPIOC_BASE = APB2PERIPH_BASE + 0x1000u;
constexpr uint32_t USART1_BASE = APB2PERIPH_BASE + 0x3800u;
constexpr uint32_t RCC_BASE = AHBPERIPH_BASE + 0x1000u;
constexpr uint32_t FLASH_R_BASE = AHBPERIPH_BASE + 0x2000u;
constexpr uint32_t CRC_BASE = AHBPERIPH_BASE + 0x3000u;

constexpr uint32_t SCS_BASE = 0xE000E000u;
constexpr uint32_t SysTick_BASE = SCS_BASE + 0x0010u;
constexpr uint32_t NVIC_BASE = SCS_BASE + 0x0100u;
constexpr uint32_t SCB_BASE = SCS_BASE + 0x0D00u;

// --- peripheral register blocks -----------------------------------------------------

struct RCC_TypeDef {
  reg32_t CR;
  reg32_t CFGR;
  reg32_t CIR;
  reg32_t APB2RSTR;
  reg32_t APB1RSTR;
  reg32_t AHBENR;
  reg32_t APB2ENR;
  reg32_t APB1ENR;
  reg32_t BDCR;
  reg32_t CSR;
};
static_assert(offsetof(RCC_TypeDef, AHBENR) == 0x14 && offsetof(RCC_TypeDef, CSR) == 0x24);

struct FLASH_TypeDef {
  reg32_t ACR;
  reg32_t KEYR;
  reg32_t OPTKEYR;
  reg32_t SR;
  reg32_t CR;
  reg32_t AR;
  uint32_t RESERVED;
  reg32_t OBR;
  reg32_t WRPR;
};
static_assert(offsetof(FLASH_TypeDef, OBR) == 0x1C);

struct PWR_TypeDef {
  reg32_t CR;
  reg32_t CSR;
};

struct BKP_TypeDef {
  uint32_t RESERVED0;
  reg32_t DR1;
  reg32_t DR2;
  reg32_t DR3;
  reg32_t DR4;
  reg32_t DR5;
  reg32_t DR6;
  reg32_t DR7;
  reg32_t DR8;
  reg32_t DR9;
  reg32_t DR10;
  reg32_t RTCCR;
  reg32_t CR;
  reg32_t CSR;
};
static_assert(offsetof(BKP_TypeDef, DR1) == 0x04 && offsetof(BKP_TypeDef, DR10) == 0x28);
static_assert(offsetof(BKP_TypeDef, RTCCR) == 0x2C && offsetof(BKP_TypeDef, CSR) == 0x34);

struct CRC_TypeDef {
  reg32_t DR;
  reg32_t IDR;  // 8 bits wide
  reg32_t CR;
};

struct AFIO_TypeDef {
  reg32_t EVCR;
  reg32_t MAPR;
  reg32_t EXTICR[4];
  uint32_t RESERVED0;
  reg32_t MAPR2;
};
static_assert(offsetof(AFIO_TypeDef, EXTICR) == 0x08 && offsetof(AFIO_TypeDef, MAPR2) == 0x1C);

struct GPIO_TypeDef {
  reg32_t CRL;
  reg32_t CRH;
  reg32_t IDR;
  reg32_t ODR;
  reg32_t BSRR;
  reg32_t BRR;
  reg32_t LCKR;
};
static_assert(offsetof(GPIO_TypeDef, BSRR) == 0x10 && offsetof(GPIO_TypeDef, LCKR) == 0x18);

struct USART_TypeDef {
  reg32_t SR;
  reg32_t DR;
  reg32_t BRR;
  reg32_t CR1;
  reg32_t CR2;
  reg32_t CR3;
  reg32_t GTPR;
};
static_assert(offsetof(USART_TypeDef, CR1) == 0x0C && offsetof(USART_TypeDef, GTPR) == 0x18);

struct TIM_TypeDef {
  reg32_t CR1;
  reg32_t CR2;
  reg32_t SMCR;
  reg32_t DIER;
  reg32_t SR;
  reg32_t EGR;
  reg32_t CCMR1;
  reg32_t CCMR2;
  reg32_t CCER;
  reg32_t CNT;
  reg32_t PSC;
  reg32_t ARR;
  reg32_t RCR;
  reg32_t CCR1;
  reg32_t CCR2;
  reg32_t CCR3;
  reg32_t CCR4;
  reg32_t BDTR;
  reg32_t DCR;
  reg32_t DMAR;
};
static_assert(offsetof(TIM_TypeDef, SR) == 0x10 && offsetof(TIM_TypeDef, CNT) == 0x24);
static_assert(offsetof(TIM_TypeDef, CCR1) == 0x34 && offsetof(TIM_TypeDef, DMAR) == 0x4C);

// --- core peripherals ---------------------------------------------------------------

struct NVIC_Type {
  reg32_t ISER[8];
  uint32_t RESERVED0[24];
  reg32_t ICER[8];
  uint32_t RESERVED1[24];
  reg32_t ISPR[8];
  uint32_t RESERVED2[24];
  reg32_t ICPR[8];
  uint32_t RESERVED3[24];
  reg32_t IABR[8];
  uint32_t RESERVED4[56];
  reg8_t IP[240];
  uint32_t RESERVED5[644];
  reg32_t STIR;
};
static_assert(offsetof(NVIC_Type, ICER) == 0x080 && offsetof(NVIC_Type, IABR) == 0x200);
static_assert(offsetof(NVIC_Type, IP) == 0x300 && offsetof(NVIC_Type, STIR) == 0xE00);

struct SCB_Type {
  reg32_t CPUID;
  reg32_t ICSR;
  reg32_t VTOR;
  reg32_t AIRCR;
  reg32_t SCR;
  reg32_t CCR;
  reg8_t SHP[12];  // system handler priorities, exceptions 4 to 15
  reg32_t SHCSR;
  reg32_t CFSR;
  reg32_t HFSR;
  reg32_t DFSR;
  reg32_t MMFAR;
  reg32_t BFAR;
  reg32_t AFSR;
  reg32_t PFR[2];
  reg32_t DFR;
  reg32_t ADR;
  reg32_t MMFR[4];
  reg32_t ISAR[5];
};
static_assert(offsetof(SCB_Type, SHP) == 0x18 && offsetof(SCB_Type, SHCSR) == 0x24);
static_assert(offsetof(SCB_Type, ISAR) == 0x60);

struct SysTick_Type {
  reg32_t CTRL;
  reg32_t LOAD;
  reg32_t VAL;
  reg32_t CALIB;
};

// --- instances ------------------------------------------------------------------------

#define RCC TARVIK_PERIPH(RCC_TypeDef, RCC_BASE)
#define FLASH TARVIK_PERIPH(FLASH_TypeDef, FLASH_R_BASE)
#define PWR TARVIK_PERIPH(PWR_TypeDef, PWR_BASE)
#define BKP TARVIK_PERIPH(BKP_TypeDef, BKP_BASE)
#define CRC TARVIK_PERIPH(CRC_TypeDef, CRC_BASE)
#define AFIO TARVIK_PERIPH(AFIO_TypeDef, AFIO_BASE)
#define GPIOA TARVIK_PERIPH(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB TARVIK_PERIPH(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC TARVIK_PERIPH(GPIO_TypeDef, GPIOC_BASE)
#define USART1 TARVIK_PERIPH(USART_TypeDef, USART1_BASE)
#define USART2 TARVIK_PERIPH(USART_TypeDef, USART2_BASE)
#define TIM3 TARVIK_PERIPH(TIM_TypeDef, TIM3_BASE)
#define TIM4 TARVIK_PERIPH(TIM_TypeDef, TIM4_BASE)
#define NVIC TARVIK_PERIPH(NVIC_Type, NVIC_BASE)
#define SCB TARVIK_PERIPH(SCB_Type, SCB_BASE)
#define SysTick TARVIK_PERIPH(SysTick_Type, SysTick_BASE)

// --- register bits ----------------------------------------------------------------------

// RCC_CR
constexpr uint32_t RCC_CR_HSION = 1u << 0;
constexpr uint32_t RCC_CR_HSIRDY = 1u << 1;
constexpr uint32_t RCC_CR_HSEON = 1u << 16;
constexpr uint32_t RCC_CR_HSERDY = 1u << 17;
constexpr uint32_t RCC_CR_HSEBYP = 1u << 18;
constexpr uint32_t RCC_CR_CSSON = 1u << 19;
constexpr uint32_t RCC_CR_PLLON = 1u << 24;
constexpr uint32_t RCC_CR_PLLRDY = 1u << 25;
// RCC_CFGR
constexpr uint32_t RCC_CFGR_SW = 0x3u << 0;
constexpr uint32_t RCC_CFGR_SW_HSI = 0x0u;
constexpr uint32_t RCC_CFGR_SW_HSE = 0x1u;
constexpr uint32_t RCC_CFGR_SW_PLL = 0x2u;
constexpr uint32_t RCC_CFGR_SWS = 0x3u << 2;
constexpr uint32_t RCC_CFGR_SWS_HSI = 0x0u << 2;
constexpr uint32_t RCC_CFGR_SWS_HSE = 0x1u << 2;
constexpr uint32_t RCC_CFGR_SWS_PLL = 0x2u << 2;
constexpr uint32_t RCC_CFGR_HPRE = 0xFu << 4;
constexpr uint32_t RCC_CFGR_PPRE1 = 0x7u << 8;
constexpr uint32_t RCC_CFGR_PPRE2 = 0x7u << 11;
constexpr uint32_t RCC_CFGR_ADCPRE = 0x3u << 14;
constexpr uint32_t RCC_CFGR_PLLSRC = 1u << 16;
constexpr uint32_t RCC_CFGR_PLLXTPRE = 1u << 17;
constexpr uint32_t RCC_CFGR_PLLMULL = 0xFu << 18;
constexpr uint32_t RCC_CFGR_USBPRE = 1u << 22;
constexpr uint32_t RCC_CFGR_MCO = 0x7u << 24;
// RCC_CIR: every ready interrupt disabled, every pending flag cleared
constexpr uint32_t RCC_CIR_CLEAR_ALL = 0x009F0000u;
// RCC_BDCR
constexpr uint32_t RCC_BDCR_BDRST = 1u << 16;
// RCC_APB1RSTR
constexpr uint32_t RCC_APB1RSTR_PWRRST = 1u << 28;

// FLASH_ACR
constexpr uint32_t FLASH_ACR_LATENCY = 0x7u << 0;
constexpr uint32_t FLASH_ACR_HLFCYA = 1u << 3;
constexpr uint32_t FLASH_ACR_PRFTBE = 1u << 4;
constexpr uint32_t FLASH_ACR_PRFTBS = 1u << 5;

// PWR_CR
constexpr uint32_t PWR_CR_DBP = 1u << 8;

// CRC_CR
constexpr uint32_t CRC_CR_RESET = 1u << 0;

// AFIO_MAPR
constexpr uint32_t AFIO_MAPR_SWJ_CFG = 0x7u << 24;

// USART_SR
constexpr uint32_t USART_SR_RXNE = 1u << 5;
constexpr uint32_t USART_SR_TC = 1u << 6;
constexpr uint32_t USART_SR_TXE = 1u << 7;
// USART_CR1
constexpr uint32_t USART_CR1_RE = 1u << 2;
constexpr uint32_t USART_CR1_TE = 1u << 3;
constexpr uint32_t USART_CR1_PS = 1u << 9;
constexpr uint32_t USART_CR1_PCE = 1u << 10;
constexpr uint32_t USART_CR1_M = 1u << 12;
constexpr uint32_t USART_CR1_UE = 1u << 13;
// USART_CR2
constexpr uint32_t USART_CR2_STOP = 0x3u << 12;
// USART_CR3
constexpr uint32_t USART_CR3_RTSE = 1u << 8;
constexpr uint32_t USART_CR3_CTSE = 1u << 9;

// TIMx_CR1
constexpr uint32_t TIM_CR1_CEN = 1u << 0;
constexpr uint32_t TIM_CR1_UDIS = 1u << 1;
constexpr uint32_t TIM_CR1_URS = 1u << 2;
constexpr uint32_t TIM_CR1_OPM = 1u << 3;
constexpr uint32_t TIM_CR1_DIR = 1u << 4;
constexpr uint32_t TIM_CR1_CMS = 0x3u << 5;
constexpr uint32_t TIM_CR1_ARPE = 1u << 7;
constexpr uint32_t TIM_CR1_CKD = 0x3u << 8;
// TIMx_SR / DIER / EGR share the bit positions of the events
constexpr uint32_t TIM_SR_UIF = 1u << 0;
constexpr uint32_t TIM_SR_CC1IF = 1u << 1;
constexpr uint32_t TIM_SR_CC2IF = 1u << 2;
constexpr uint32_t TIM_SR_CC3IF = 1u << 3;
constexpr uint32_t TIM_SR_CC4IF = 1u << 4;
constexpr uint32_t TIM_EGR_UG = 1u << 0;
// TIMx_CCMRx, per channel (shift by 8 for the second channel of a register)
constexpr uint32_t TIM_CCMR_CCS = 0x3u << 0;
constexpr uint32_t TIM_CCMR_OCPE = 1u << 3;
constexpr uint32_t TIM_CCMR_OCM = 0x7u << 4;
constexpr uint32_t TIM_CCMR_ICPSC = 0x3u << 2;
constexpr uint32_t TIM_CCMR_ICF = 0xFu << 4;
// TIMx_CCER, per channel (shift by 4 per channel)
constexpr uint32_t TIM_CCER_CCE = 1u << 0;
constexpr uint32_t TIM_CCER_CCP = 1u << 1;

// SCB_AIRCR
constexpr uint32_t SCB_AIRCR_VECTKEY = 0x05FA0000u;
constexpr uint32_t SCB_AIRCR_PRIGROUP = 0x7u << 8;
// SCB_VTOR: table offset bits the Cortex-M3 implements
constexpr uint32_t SCB_VTOR_TBLOFF = 0x1FFFFF80u;

namespace stm32f1 {

// One read and one write each, on both machines.
inline void set_bits(reg32_t& reg, uint32_t bits, bool on) { reg = on ? (reg | bits) : (reg & ~bits); }
inline void set_field(reg32_t& reg, uint32_t field, uint32_t value) {
  reg = (reg & ~field) | (value & field);
}

}  // namespace stm32f1
