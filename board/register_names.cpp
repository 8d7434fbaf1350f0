#include "register_names.h"

#include <cstdio>

namespace board::regs {

namespace {

constexpr Field kRccCR[] = {{"HSION", 0, 1},  {"HSIRDY", 1, 1},  {"HSITRIM", 3, 5}, {"HSICAL", 8, 8},
                            {"HSEON", 16, 1}, {"HSERDY", 17, 1}, {"HSEBYP", 18, 1}, {"CSSON", 19, 1},
                            {"PLLON", 24, 1}, {"PLLRDY", 25, 1}};
constexpr Field kRccCFGR[] = {{"SW", 0, 2},      {"SWS", 2, 2},     {"HPRE", 4, 4},    {"PPRE1", 8, 3},
                              {"PPRE2", 11, 3},  {"ADCPRE", 14, 2}, {"PLLSRC", 16, 1}, {"PLLXTPRE", 17, 1},
                              {"PLLMUL", 18, 4}, {"USBPRE", 22, 1}, {"MCO", 24, 3}};
constexpr Field kRccCIR[] = {
    {"LSIRDYF", 0, 1},   {"LSERDYF", 1, 1},  {"HSIRDYF", 2, 1},  {"HSERDYF", 3, 1},   {"PLLRDYF", 4, 1},
    {"CSSF", 7, 1},      {"LSIRDYIE", 8, 1}, {"LSERDYIE", 9, 1}, {"HSIRDYIE", 10, 1}, {"HSERDYIE", 11, 1},
    {"PLLRDYIE", 12, 1}, {"LSIRDYC", 16, 1}, {"LSERDYC", 17, 1}, {"HSIRDYC", 18, 1},  {"HSERDYC", 19, 1},
    {"PLLRDYC", 20, 1},  {"CSSC", 23, 1}};
constexpr Field kRccAPB2RSTR[] = {{"AFIORST", 0, 1},  {"IOPARST", 2, 1},   {"IOPBRST", 3, 1},
                                  {"IOPCRST", 4, 1},  {"IOPDRST", 5, 1},   {"IOPERST", 6, 1},
                                  {"ADC1RST", 9, 1},  {"ADC2RST", 10, 1},  {"TIM1RST", 11, 1},
                                  {"SPI1RST", 12, 1}, {"USART1RST", 14, 1}};
constexpr Field kRccAPB1RSTR[] = {
    {"TIM2RST", 0, 1},    {"TIM3RST", 1, 1},    {"TIM4RST", 2, 1},  {"WWDGRST", 11, 1}, {"SPI2RST", 14, 1},
    {"USART2RST", 17, 1}, {"USART3RST", 18, 1}, {"I2C1RST", 21, 1}, {"I2C2RST", 22, 1}, {"USBRST", 23, 1},
    {"CANRST", 25, 1},    {"BKPRST", 27, 1},    {"PWRRST", 28, 1}};
constexpr Field kRccAHBENR[] = {{"DMA1EN", 0, 1}, {"SRAMEN", 2, 1}, {"FLITFEN", 4, 1}, {"CRCEN", 6, 1}};
constexpr Field kRccAPB2ENR[] = {{"AFIOEN", 0, 1},  {"IOPAEN", 2, 1},  {"IOPBEN", 3, 1},   {"IOPCEN", 4, 1},
                                 {"IOPDEN", 5, 1},  {"IOPEEN", 6, 1},  {"ADC1EN", 9, 1},   {"ADC2EN", 10, 1},
                                 {"TIM1EN", 11, 1}, {"SPI1EN", 12, 1}, {"USART1EN", 14, 1}};
constexpr Field kRccAPB1ENR[] = {
    {"TIM2EN", 0, 1},    {"TIM3EN", 1, 1},    {"TIM4EN", 2, 1},  {"WWDGEN", 11, 1}, {"SPI2EN", 14, 1},
    {"USART2EN", 17, 1}, {"USART3EN", 18, 1}, {"I2C1EN", 21, 1}, {"I2C2EN", 22, 1}, {"USBEN", 23, 1},
    {"CANEN", 25, 1},    {"BKPEN", 27, 1},    {"PWREN", 28, 1}};
constexpr Field kRccBDCR[] = {{"LSEON", 0, 1},  {"LSERDY", 1, 1}, {"LSEBYP", 2, 1},
                              {"RTCSEL", 8, 2}, {"RTCEN", 15, 1}, {"BDRST", 16, 1}};
constexpr Field kRccCSR[] = {{"LSION", 0, 1},     {"LSIRDY", 1, 1},    {"RMVF", 24, 1},
                             {"PINRSTF", 26, 1},  {"PORRSTF", 27, 1},  {"SFTRSTF", 28, 1},
                             {"IWDGRSTF", 29, 1}, {"WWDGRSTF", 30, 1}, {"LPWRRSTF", 31, 1}};
constexpr Register kRcc[] = {
    {"CR", 0x000, 32, 1, 0x00000083u, Write::stores, kRccCR},
    {"CFGR", 0x004, 32, 1, 0x00000000u, Write::stores, kRccCFGR},
    {"CIR", 0x008, 32, 1, 0x00000000u, Write::stores, kRccCIR},
    {"APB2RSTR", 0x00C, 32, 1, 0x00000000u, Write::stores, kRccAPB2RSTR},
    {"APB1RSTR", 0x010, 32, 1, 0x00000000u, Write::stores, kRccAPB1RSTR},
    {"AHBENR", 0x014, 32, 1, 0x00000014u, Write::stores, kRccAHBENR},
    {"APB2ENR", 0x018, 32, 1, 0x00000000u, Write::stores, kRccAPB2ENR},
    {"APB1ENR", 0x01C, 32, 1, 0x00000000u, Write::stores, kRccAPB1ENR},
    {"BDCR", 0x020, 32, 1, 0x00000000u, Write::stores, kRccBDCR},
    {"CSR", 0x024, 32, 1, 0x0C000000u, Write::stores, kRccCSR},
};
constexpr Field kFlashACR[] = {{"LATENCY", 0, 3}, {"HLFCYA", 3, 1}, {"PRFTBE", 4, 1}, {"PRFTBS", 5, 1}};
constexpr Field kFlashSR[] = {{"BSY", 0, 1}, {"PGERR", 2, 1}, {"WRPRTERR", 4, 1}, {"EOP", 5, 1}};
constexpr Field kFlashCR[] = {{"PG", 0, 1},     {"PER", 1, 1},   {"MER", 2, 1},  {"OPTPG", 4, 1},
                              {"OPTER", 5, 1},  {"STRT", 6, 1},  {"LOCK", 7, 1}, {"OPTWRE", 9, 1},
                              {"ERRIE", 10, 1}, {"EOPIE", 12, 1}};
constexpr Register kFlash[] = {
    {"ACR", 0x000, 32, 1, 0x00000030u, Write::stores, kFlashACR},
    {"KEYR", 0x004, 32, 1, 0x00000000u, Write::acts, {}},
    {"OPTKEYR", 0x008, 32, 1, 0x00000000u, Write::acts, {}},
    {"SR", 0x00C, 32, 1, 0x00000000u, Write::stores, kFlashSR},
    {"CR", 0x010, 32, 1, 0x00000080u, Write::stores, kFlashCR},
    {"AR", 0x014, 32, 1, 0x00000000u, Write::stores, {}},
    {"OBR", 0x01C, 32, 1, 0x03FFFFFCu, Write::stores, {}},
    {"WRPR", 0x020, 32, 1, 0xFFFFFFFFu, Write::stores, {}},
};
constexpr Field kPwrCR[] = {{"LPDS", 0, 1}, {"PDDS", 1, 1}, {"CWUF", 2, 1}, {"CSBF", 3, 1},
                            {"PVDE", 4, 1}, {"PLS", 5, 3},  {"DBP", 8, 1}};
constexpr Field kPwrCSR[] = {{"WUF", 0, 1}, {"SBF", 1, 1}, {"PVDO", 2, 1}, {"EWUP", 8, 1}};
constexpr Register kPwr[] = {
    {"CR", 0x000, 32, 1, 0x00000000u, Write::stores, kPwrCR},
    {"CSR", 0x004, 32, 1, 0x00000000u, Write::stores, kPwrCSR},
};
constexpr Field kBkpRTCCR[] = {{"CAL", 0, 7}, {"CCO", 7, 1}, {"ASOE", 8, 1}, {"ASOS", 9, 1}};
constexpr Field kBkpCR[] = {{"TPE", 0, 1}, {"TPAL", 1, 1}};
constexpr Field kBkpCSR[] = {{"CTE", 0, 1}, {"CTI", 1, 1}, {"TPIE", 2, 1}, {"TEF", 8, 1}, {"TIF", 9, 1}};
constexpr Register kBkp[] = {
    {"DR1", 0x004, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR2", 0x008, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR3", 0x00C, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR4", 0x010, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR5", 0x014, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR6", 0x018, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR7", 0x01C, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR8", 0x020, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR9", 0x024, 16, 1, 0x00000000u, Write::stores, {}},
    {"DR10", 0x028, 16, 1, 0x00000000u, Write::stores, {}},
    {"RTCCR", 0x02C, 16, 1, 0x00000000u, Write::stores, kBkpRTCCR},
    {"CR", 0x030, 16, 1, 0x00000000u, Write::stores, kBkpCR},
    {"CSR", 0x034, 16, 1, 0x00000000u, Write::stores, kBkpCSR},
};
constexpr Field kCrcCR[] = {{"RESET", 0, 1}};
constexpr Register kCrc[] = {
    {"DR", 0x000, 32, 1, 0xFFFFFFFFu, Write::acts, {}},
    {"IDR", 0x004, 8, 1, 0x00000000u, Write::stores, {}},
    {"CR", 0x008, 32, 1, 0x00000000u, Write::acts, kCrcCR},
};
constexpr Field kAfioEVCR[] = {{"PIN", 0, 4}, {"PORT", 4, 3}, {"EVOE", 7, 1}};
constexpr Field kAfioMAPR[] = {{"SPI1_REMAP", 0, 1},   {"I2C1_REMAP", 1, 1},   {"USART1_REMAP", 2, 1},
                               {"USART2_REMAP", 3, 1}, {"USART3_REMAP", 4, 2}, {"TIM1_REMAP", 6, 2},
                               {"TIM2_REMAP", 8, 2},   {"TIM3_REMAP", 10, 2},  {"TIM4_REMAP", 12, 1},
                               {"CAN_REMAP", 13, 2},   {"PD01_REMAP", 15, 1},  {"SWJ_CFG", 24, 3}};
constexpr Field kAfioEXTICR[] = {{"EXTI0", 0, 4}, {"EXTI1", 4, 4}, {"EXTI2", 8, 4}, {"EXTI3", 12, 4}};
constexpr Register kAfio[] = {
    {"EVCR", 0x000, 32, 1, 0x00000000u, Write::stores, kAfioEVCR},
    {"MAPR", 0x004, 32, 1, 0x00000000u, Write::stores, kAfioMAPR},
    {"EXTICR", 0x008, 32, 4, 0x00000000u, Write::stores, kAfioEXTICR},
    {"MAPR2", 0x01C, 32, 1, 0x00000000u, Write::stores, {}},
};
constexpr Field kGpioCRL[] = {{"MODE0", 0, 2},  {"CNF0", 2, 2},  {"MODE1", 4, 2},  {"CNF1", 6, 2},
                              {"MODE2", 8, 2},  {"CNF2", 10, 2}, {"MODE3", 12, 2}, {"CNF3", 14, 2},
                              {"MODE4", 16, 2}, {"CNF4", 18, 2}, {"MODE5", 20, 2}, {"CNF5", 22, 2},
                              {"MODE6", 24, 2}, {"CNF6", 26, 2}, {"MODE7", 28, 2}, {"CNF7", 30, 2}};
constexpr Field kGpioCRH[] = {{"MODE8", 0, 2},   {"CNF8", 2, 2},   {"MODE9", 4, 2},   {"CNF9", 6, 2},
                              {"MODE10", 8, 2},  {"CNF10", 10, 2}, {"MODE11", 12, 2}, {"CNF11", 14, 2},
                              {"MODE12", 16, 2}, {"CNF12", 18, 2}, {"MODE13", 20, 2}, {"CNF13", 22, 2},
                              {"MODE14", 24, 2}, {"CNF14", 26, 2}, {"MODE15", 28, 2}, {"CNF15", 30, 2}};
constexpr Field kGpioIDR[] = {{"IDR0", 0, 1},   {"IDR1", 1, 1},   {"IDR2", 2, 1},   {"IDR3", 3, 1},
                              {"IDR4", 4, 1},   {"IDR5", 5, 1},   {"IDR6", 6, 1},   {"IDR7", 7, 1},
                              {"IDR8", 8, 1},   {"IDR9", 9, 1},   {"IDR10", 10, 1}, {"IDR11", 11, 1},
                              {"IDR12", 12, 1}, {"IDR13", 13, 1}, {"IDR14", 14, 1}, {"IDR15", 15, 1}};
constexpr Field kGpioODR[] = {{"ODR0", 0, 1},   {"ODR1", 1, 1},   {"ODR2", 2, 1},   {"ODR3", 3, 1},
                              {"ODR4", 4, 1},   {"ODR5", 5, 1},   {"ODR6", 6, 1},   {"ODR7", 7, 1},
                              {"ODR8", 8, 1},   {"ODR9", 9, 1},   {"ODR10", 10, 1}, {"ODR11", 11, 1},
                              {"ODR12", 12, 1}, {"ODR13", 13, 1}, {"ODR14", 14, 1}, {"ODR15", 15, 1}};
constexpr Field kGpioBSRR[] = {
    {"BS0", 0, 1},   {"BS1", 1, 1},   {"BS2", 2, 1},   {"BS3", 3, 1},   {"BS4", 4, 1},   {"BS5", 5, 1},
    {"BS6", 6, 1},   {"BS7", 7, 1},   {"BS8", 8, 1},   {"BS9", 9, 1},   {"BS10", 10, 1}, {"BS11", 11, 1},
    {"BS12", 12, 1}, {"BS13", 13, 1}, {"BS14", 14, 1}, {"BS15", 15, 1}, {"BR0", 16, 1},  {"BR1", 17, 1},
    {"BR2", 18, 1},  {"BR3", 19, 1},  {"BR4", 20, 1},  {"BR5", 21, 1},  {"BR6", 22, 1},  {"BR7", 23, 1},
    {"BR8", 24, 1},  {"BR9", 25, 1},  {"BR10", 26, 1}, {"BR11", 27, 1}, {"BR12", 28, 1}, {"BR13", 29, 1},
    {"BR14", 30, 1}, {"BR15", 31, 1}};
constexpr Field kGpioBRR[] = {{"BR0", 0, 1},   {"BR1", 1, 1},   {"BR2", 2, 1},   {"BR3", 3, 1},
                              {"BR4", 4, 1},   {"BR5", 5, 1},   {"BR6", 6, 1},   {"BR7", 7, 1},
                              {"BR8", 8, 1},   {"BR9", 9, 1},   {"BR10", 10, 1}, {"BR11", 11, 1},
                              {"BR12", 12, 1}, {"BR13", 13, 1}, {"BR14", 14, 1}, {"BR15", 15, 1}};
constexpr Field kGpioLCKR[] = {{"LCK0", 0, 1},   {"LCK1", 1, 1},   {"LCK2", 2, 1},   {"LCK3", 3, 1},
                               {"LCK4", 4, 1},   {"LCK5", 5, 1},   {"LCK6", 6, 1},   {"LCK7", 7, 1},
                               {"LCK8", 8, 1},   {"LCK9", 9, 1},   {"LCK10", 10, 1}, {"LCK11", 11, 1},
                               {"LCK12", 12, 1}, {"LCK13", 13, 1}, {"LCK14", 14, 1}, {"LCK15", 15, 1},
                               {"LCKK", 16, 1}};
constexpr Register kGpio[] = {
    {"CRL", 0x000, 32, 1, 0x44444444u, Write::stores, kGpioCRL},
    {"CRH", 0x004, 32, 1, 0x44444444u, Write::stores, kGpioCRH},
    {"IDR", 0x008, 16, 1, 0x00000000u, Write::stores, kGpioIDR},
    {"ODR", 0x00C, 16, 1, 0x00000000u, Write::stores, kGpioODR},
    {"BSRR", 0x010, 32, 1, 0x00000000u, Write::acts, kGpioBSRR},
    {"BRR", 0x014, 16, 1, 0x00000000u, Write::acts, kGpioBRR},
    {"LCKR", 0x018, 32, 1, 0x00000000u, Write::stores, kGpioLCKR},
};
constexpr Field kUsartSR[] = {{"PE", 0, 1},   {"FE", 1, 1}, {"NE", 2, 1},  {"ORE", 3, 1}, {"IDLE", 4, 1},
                              {"RXNE", 5, 1}, {"TC", 6, 1}, {"TXE", 7, 1}, {"LBD", 8, 1}, {"CTS", 9, 1}};
constexpr Field kUsartDR[] = {{"DR", 0, 9}};
constexpr Field kUsartBRR[] = {{"DIV_Fraction", 0, 4}, {"DIV_Mantissa", 4, 12}};
constexpr Field kUsartCR1[] = {{"SBK", 0, 1},    {"RWU", 1, 1},    {"RE", 2, 1},   {"TE", 3, 1},
                               {"IDLEIE", 4, 1}, {"RXNEIE", 5, 1}, {"TCIE", 6, 1}, {"TXEIE", 7, 1},
                               {"PEIE", 8, 1},   {"PS", 9, 1},     {"PCE", 10, 1}, {"WAKE", 11, 1},
                               {"M", 12, 1},     {"UE", 13, 1}};
constexpr Field kUsartCR2[] = {{"ADD", 0, 4},    {"LBDL", 5, 1},  {"LBDIE", 6, 1},
                               {"LBCL", 8, 1},   {"CPHA", 9, 1},  {"CPOL", 10, 1},
                               {"CLKEN", 11, 1}, {"STOP", 12, 2}, {"LINEN", 14, 1}};
constexpr Field kUsartCR3[] = {{"EIE", 0, 1},  {"IREN", 1, 1}, {"IRLP", 2, 1},  {"HDSEL", 3, 1},
                               {"NACK", 4, 1}, {"SCEN", 5, 1}, {"DMAR", 6, 1},  {"DMAT", 7, 1},
                               {"RTSE", 8, 1}, {"CTSE", 9, 1}, {"CTSIE", 10, 1}};
constexpr Field kUsartGTPR[] = {{"PSC", 0, 8}, {"GT", 8, 8}};
constexpr Register kUsart[] = {
    {"SR", 0x000, 16, 1, 0x000000C0u, Write::clears_by_zero, kUsartSR},
    {"DR", 0x004, 16, 1, 0x00000000u, Write::acts, kUsartDR},
    {"BRR", 0x008, 16, 1, 0x00000000u, Write::stores, kUsartBRR},
    {"CR1", 0x00C, 16, 1, 0x00000000u, Write::stores, kUsartCR1},
    {"CR2", 0x010, 16, 1, 0x00000000u, Write::stores, kUsartCR2},
    {"CR3", 0x014, 16, 1, 0x00000000u, Write::stores, kUsartCR3},
    {"GTPR", 0x018, 16, 1, 0x00000000u, Write::stores, kUsartGTPR},
};
constexpr Field kTimCR1[] = {{"CEN", 0, 1}, {"UDIS", 1, 1}, {"URS", 2, 1},  {"OPM", 3, 1},
                             {"DIR", 4, 1}, {"CMS", 5, 2},  {"ARPE", 7, 1}, {"CKD", 8, 2}};
constexpr Field kTimCR2[] = {{"CCDS", 3, 1}, {"MMS", 4, 3}, {"TI1S", 7, 1}};
constexpr Field kTimSMCR[] = {{"SMS", 0, 3},   {"TS", 4, 3},   {"MSM", 7, 1}, {"ETF", 8, 4},
                              {"ETPS", 12, 2}, {"ECE", 14, 1}, {"ETP", 15, 1}};
constexpr Field kTimDIER[] = {{"UIE", 0, 1},    {"CC1IE", 1, 1},  {"CC2IE", 2, 1},  {"CC3IE", 3, 1},
                              {"CC4IE", 4, 1},  {"TIE", 6, 1},    {"UDE", 8, 1},    {"CC1DE", 9, 1},
                              {"CC2DE", 10, 1}, {"CC3DE", 11, 1}, {"CC4DE", 12, 1}, {"TDE", 14, 1}};
constexpr Field kTimSR[] = {{"UIF", 0, 1},    {"CC1IF", 1, 1}, {"CC2IF", 2, 1}, {"CC3IF", 3, 1},
                            {"CC4IF", 4, 1},  {"TIF", 6, 1},   {"CC1OF", 9, 1}, {"CC2OF", 10, 1},
                            {"CC3OF", 11, 1}, {"CC4OF", 12, 1}};
constexpr Field kTimEGR[] = {{"UG", 0, 1},   {"CC1G", 1, 1}, {"CC2G", 2, 1},
                             {"CC3G", 3, 1}, {"CC4G", 4, 1}, {"TG", 6, 1}};
constexpr Field kTimCCMR1[] = {{"CC1S", 0, 2},  {"OC1FE", 2, 1}, {"OC1PE", 3, 1},  {"OC1M", 4, 3},
                               {"OC1CE", 7, 1}, {"CC2S", 8, 2},  {"OC2FE", 10, 1}, {"OC2PE", 11, 1},
                               {"OC2M", 12, 3}, {"OC2CE", 15, 1}};
constexpr Field kTimCCMR2[] = {{"CC3S", 0, 2}, {"IC3PSC", 2, 2},  {"IC3F", 4, 4},
                               {"CC4S", 8, 2}, {"IC4PSC", 10, 2}, {"IC4F", 12, 4}};
constexpr Field kTimCCER[] = {{"CC1E", 0, 1}, {"CC1P", 1, 1}, {"CC2E", 4, 1},  {"CC2P", 5, 1},
                              {"CC3E", 8, 1}, {"CC3P", 9, 1}, {"CC4E", 12, 1}, {"CC4P", 13, 1}};
constexpr Field kTimDCR[] = {{"DBA", 0, 5}, {"DBL", 8, 5}};
constexpr Register kTim[] = {
    {"CR1", 0x000, 16, 1, 0x00000000u, Write::stores, kTimCR1},
    {"CR2", 0x004, 16, 1, 0x00000000u, Write::stores, kTimCR2},
    {"SMCR", 0x008, 16, 1, 0x00000000u, Write::stores, kTimSMCR},
    {"DIER", 0x00C, 16, 1, 0x00000000u, Write::stores, kTimDIER},
    {"SR", 0x010, 16, 1, 0x00000000u, Write::clears_by_zero, kTimSR},
    {"EGR", 0x014, 16, 1, 0x00000000u, Write::acts, kTimEGR},
    {"CCMR1", 0x018, 16, 1, 0x00000000u, Write::stores, kTimCCMR1},
    {"CCMR2", 0x01C, 16, 1, 0x00000000u, Write::stores, kTimCCMR2},
    {"CCER", 0x020, 16, 1, 0x00000000u, Write::stores, kTimCCER},
    {"CNT", 0x024, 16, 1, 0x00000000u, Write::stores, {}},
    {"PSC", 0x028, 16, 1, 0x00000000u, Write::stores, {}},
    {"ARR", 0x02C, 16, 1, 0x0000FFFFu, Write::stores, {}},
    {"RCR", 0x030, 16, 1, 0x00000000u, Write::stores, {}},
    {"CCR1", 0x034, 16, 1, 0x00000000u, Write::stores, {}},
    {"CCR2", 0x038, 16, 1, 0x00000000u, Write::stores, {}},
    {"CCR3", 0x03C, 16, 1, 0x00000000u, Write::stores, {}},
    {"CCR4", 0x040, 16, 1, 0x00000000u, Write::stores, {}},
    {"BDTR", 0x044, 16, 1, 0x00000000u, Write::stores, {}},
    {"DCR", 0x048, 16, 1, 0x00000000u, Write::stores, kTimDCR},
    {"DMAR", 0x04C, 16, 1, 0x00000000u, Write::stores, {}},
};
constexpr Field kNvicSTIR[] = {{"INTID", 0, 9}};
constexpr Register kNvic[] = {
    {"ISER", 0x000, 32, 8, 0x00000000u, Write::acts, {}},
    {"ICER", 0x080, 32, 8, 0x00000000u, Write::acts, {}},
    {"ISPR", 0x100, 32, 8, 0x00000000u, Write::acts, {}},
    {"ICPR", 0x180, 32, 8, 0x00000000u, Write::acts, {}},
    {"IABR", 0x200, 32, 8, 0x00000000u, Write::stores, {}},
    {"IP", 0x300, 8, 240, 0x00000000u, Write::stores, {}},
    {"STIR", 0xE00, 32, 1, 0x00000000u, Write::acts, kNvicSTIR},
};
constexpr Field kScbCPUID[] = {
    {"REVISION", 0, 4}, {"PARTNO", 4, 12}, {"CONSTANT", 16, 4}, {"VARIANT", 20, 4}, {"IMPLEMENTER", 24, 8}};
constexpr Field kScbICSR[] = {{"VECTACTIVE", 0, 9},  {"RETTOBASE", 11, 1}, {"VECTPENDING", 12, 10},
                              {"ISRPENDING", 22, 1}, {"PENDSTCLR", 25, 1}, {"PENDSTSET", 26, 1},
                              {"PENDSVCLR", 27, 1},  {"PENDSVSET", 28, 1}, {"NMIPENDSET", 31, 1}};
constexpr Field kScbVTOR[] = {{"TBLOFF", 7, 22}, {"TBLBASE", 29, 1}};
constexpr Field kScbAIRCR[] = {{"VECTRESET", 0, 1}, {"VECTCLRACTIVE", 1, 1}, {"SYSRESETREQ", 2, 1},
                               {"PRIGROUP", 8, 3},  {"ENDIANESS", 15, 1},    {"VECTKEY", 16, 16}};
constexpr Field kScbSCR[] = {{"SLEEPONEXIT", 1, 1}, {"SLEEPDEEP", 2, 1}, {"SEVONPEND", 4, 1}};
constexpr Field kScbCCR[] = {{"NONBASETHRDENA", 0, 1}, {"USERSETMPEND", 1, 1}, {"UNALIGN_TRP", 3, 1},
                             {"DIV_0_TRP", 4, 1},      {"BFHFNMIGN", 8, 1},    {"STKALIGN", 9, 1}};
constexpr Field kScbSHCSR[] = {
    {"MEMFAULTACT", 0, 1},     {"BUSFAULTACT", 1, 1},     {"USGFAULTACT", 3, 1},   {"SVCALLACT", 7, 1},
    {"MONITORACT", 8, 1},      {"PENDSVACT", 10, 1},      {"SYSTICKACT", 11, 1},   {"USGFAULTPENDED", 12, 1},
    {"MEMFAULTPENDED", 13, 1}, {"BUSFAULTPENDED", 14, 1}, {"SVCALLPENDED", 15, 1}, {"MEMFAULTENA", 16, 1},
    {"BUSFAULTENA", 17, 1},    {"USGFAULTENA", 18, 1}};
constexpr Field kScbHFSR[] = {{"VECTTBL", 1, 1}, {"FORCED", 30, 1}, {"DEBUGEVT", 31, 1}};
constexpr Register kScb[] = {
    {"CPUID", 0x000, 32, 1, 0x411FC231u, Write::stores, kScbCPUID},
    {"ICSR", 0x004, 32, 1, 0x00000000u, Write::acts, kScbICSR},
    {"VTOR", 0x008, 32, 1, 0x00000000u, Write::stores, kScbVTOR},
    {"AIRCR", 0x00C, 32, 1, 0xFA050000u, Write::stores, kScbAIRCR},
    {"SCR", 0x010, 32, 1, 0x00000000u, Write::stores, kScbSCR},
    {"CCR", 0x014, 32, 1, 0x00000200u, Write::stores, kScbCCR},
    {"SHP", 0x018, 8, 12, 0x00000000u, Write::stores, {}},
    {"SHCSR", 0x024, 32, 1, 0x00000000u, Write::stores, kScbSHCSR},
    {"CFSR", 0x028, 32, 1, 0x00000000u, Write::stores, {}},
    {"HFSR", 0x02C, 32, 1, 0x00000000u, Write::stores, kScbHFSR},
    {"DFSR", 0x030, 32, 1, 0x00000000u, Write::stores, {}},
    {"MMFAR", 0x034, 32, 1, 0x00000000u, Write::stores, {}},
    {"BFAR", 0x038, 32, 1, 0x00000000u, Write::stores, {}},
    {"AFSR", 0x03C, 32, 1, 0x00000000u, Write::stores, {}},
    {"PFR", 0x040, 32, 2, 0x00000000u, Write::stores, {}},
    {"DFR", 0x048, 32, 1, 0x00000000u, Write::stores, {}},
    {"ADR", 0x04C, 32, 1, 0x00000000u, Write::stores, {}},
    {"MMFR", 0x050, 32, 4, 0x00000000u, Write::stores, {}},
    {"ISAR", 0x060, 32, 5, 0x00000000u, Write::stores, {}},
};
constexpr Field kSystickCTRL[] = {
    {"ENABLE", 0, 1}, {"TICKINT", 1, 1}, {"CLKSOURCE", 2, 1}, {"COUNTFLAG", 16, 1}};
constexpr Field kSystickLOAD[] = {{"RELOAD", 0, 24}};
constexpr Field kSystickVAL[] = {{"CURRENT", 0, 24}};
constexpr Field kSystickCALIB[] = {{"TENMS", 0, 24}, {"SKEW", 30, 1}, {"NOREF", 31, 1}};
constexpr Register kSystick[] = {
    {"CTRL", 0x000, 32, 1, 0x00000000u, Write::stores, kSystickCTRL},
    {"LOAD", 0x004, 32, 1, 0x00000000u, Write::stores, kSystickLOAD},
    {"VAL", 0x008, 32, 1, 0x00000000u, Write::stores, kSystickVAL},
    {"CALIB", 0x00C, 32, 1, 0x40002328u, Write::stores, kSystickCALIB},
};

// SCB lies within the span of the NVIC's registers (STIR is past it): the
// narrower block comes first.
constexpr Block kBlocks[] = {
    {"TIM3", "tim3", 0x40000400, 0x400, kTim},       {"TIM4", "tim4", 0x40000800, 0x400, kTim},
    {"USART2", "usart2", 0x40004400, 0x400, kUsart}, {"BKP", "bkp", 0x40006C00, 0x400, kBkp},
    {"PWR", "pwr", 0x40007000, 0x400, kPwr},         {"AFIO", "afio", 0x40010000, 0x400, kAfio},
    {"GPIOA", "gpioa", 0x40010800, 0x400, kGpio},    {"GPIOB", "gpiob", 0x40010C00, 0x400, kGpio},
    {"GPIOC", "gpioc", 0x40011000, 0x400, kGpio},    {"USART1", "usart1", 0x40013800, 0x400, kUsart},
    {"RCC", "rcc", 0x40021000, 0x400, kRcc},         {"FLASH", "flash", 0x40022000, 0x400, kFlash},
    {"CRC", "crc", 0x40023000, 0x400, kCrc},         {"SysTick", "systick", 0xE000E010, 0x10, kSystick},
    {"SCB", "scb", 0xE000ED00, 0x90, kScb},          {"NVIC", "nvic", 0xE000E100, 0xF00, kNvic},
};

}  // namespace

std::span<const Block> blocks() { return kBlocks; }

const Block* block_at(uint32_t address) {
  for (const Block& b : kBlocks)
    if (address >= b.base && address - b.base < b.size) return &b;
  return nullptr;
}

const Block* block_named(std::string_view key) {
  for (const Block& b : kBlocks)
    if (key == b.key) return &b;
  return nullptr;
}

Location locate(uint32_t address) {
  Location at;
  at.block = block_at(address);
  if (at.block == nullptr) return at;
  const uint32_t offset = address - at.block->base;
  for (const Register& r : at.block->registers) {
    if (offset < r.offset) continue;
    const uint32_t index = (offset - r.offset) / r.stride();
    if (index >= r.count || (offset - r.offset) % r.stride() != 0) continue;
    at.reg = &r;
    at.index = r.count > 1 ? static_cast<int>(index) : -1;
    break;
  }
  return at;
}

const Field* field_named(const Register& r, std::string_view name) {
  for (const Field& f : r.fields)
    if (name == f.name) return &f;
  return nullptr;
}

std::string register_name(uint32_t address) {
  char text[48];
  const Location at = locate(address);
  if (at.block == nullptr) {
    std::snprintf(text, sizeof text, "0x%08X", address);
  } else if (at.reg == nullptr) {
    std::snprintf(text, sizeof text, "%s+0x%02X", at.block->name, address - at.block->base);
  } else if (at.index >= 0) {
    std::snprintf(text, sizeof text, "%s.%s[%d]", at.block->name, at.reg->name, at.index);
  } else {
    std::snprintf(text, sizeof text, "%s.%s", at.block->name, at.reg->name);
  }
  return text;
}

std::string hex_value(const Register* r, uint32_t value) {
  char text[16];
  const int digits = r == nullptr ? 8 : r->bits / 4;
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string field_changes(const Register& r, uint32_t before, uint32_t now) {
  if (r.fields.empty()) return "";
  // What a write means: a stored value against the last, an action by the bits
  // it sets, a status register cleared by the bits written 0.
  uint32_t changed = before ^ now;
  if (r.write == Write::acts) changed = now;
  if (r.write == Write::clears_by_zero) changed = before & ~now;
  std::string out;
  uint32_t named = 0;
  char text[48];
  for (const Field& f : r.fields) {
    named |= f.mask();
    if ((changed & f.mask()) == 0) continue;
    std::snprintf(text, sizeof text, "%s%s=%u", out.empty() ? "" : " ", f.name, (now & f.mask()) >> f.lsb);
    out += text;
  }
  const uint32_t width = r.bits >= 32 ? ~0u : (1u << r.bits) - 1u;
  if ((changed & ~named & width) != 0 && r.write == Write::stores) {
    std::snprintf(text, sizeof text, "%sbits=0x%X", out.empty() ? "" : " ", now & ~named & width);
    out += text;
  }
  return out;
}

}  // namespace board::regs
