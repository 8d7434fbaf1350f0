#include "an385_board.h"

#include "FreeRTOS.h"
#include "stm32f10x.h"
#include "task.h"

namespace {

// CMSDK APB UART0.
struct Uart {
  volatile uint32_t data;
  volatile uint32_t state;  // bit 0: transmit buffer full
  volatile uint32_t ctrl;   // bit 0: transmitter enabled
  volatile uint32_t intstatus;
  volatile uint32_t bauddiv;
};
Uart* const uart0 = reinterpret_cast<Uart*>(0x40004000u);

constexpr uint32_t kSysExit = 0x18;
constexpr uint32_t kApplicationExit = 0x20026;
constexpr uint32_t kRunTimeErrorUnknown = 0x20023;

void put_char(char c) {
  while (uart0->state & 1u) {
  }
  uart0->data = static_cast<uint8_t>(c);
}

}  // namespace

void board_put(const char* text) {
  for (; *text != '\0'; ++text) put_char(*text);
}

void board_put_uint(uint32_t value) {
  char digits[11];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) put_char(digits[--n]);
}

void board_put_hex(uint32_t value) {
  board_put("0x");
  for (int shift = 28; shift >= 0; shift -= 4) put_char("0123456789abcdef"[(value >> shift) & 0xFu]);
}

void board_exit(bool passed) {
  register uint32_t op __asm__("r0") = kSysExit;
  register uint32_t reason __asm__("r1") = passed ? kApplicationExit : kRunTimeErrorUnknown;
  __asm volatile("bkpt 0xab" : : "r"(op), "r"(reason) : "memory");
  for (;;) {
  }
}

extern "C" void SystemInit(void) {
  // Four bits of pre-emption priority, as the unit's NVIC set-up chooses.
  SCB->AIRCR = SCB_AIRCR_VECTKEY | 0x300u;
  uart0->bauddiv = 16;
  uart0->ctrl = 1;
}

extern "C" void test_fault_handler(void) {
  uint32_t ipsr;
  __asm volatile("mrs %0, ipsr" : "=r"(ipsr));
  board_put("not ok - unexpected exception ");
  board_put_uint(ipsr);
  board_put("\n");
  board_exit(false);
}

extern "C" void urgent_irq_entry(void) { urgent_irq(); }
extern "C" void low_irq_entry(void) { low_irq(); }

extern "C" {
extern uint32_t _estack[];
void Reset_Handler(void);
}

using vector_t = void (*)(void);
#define F test_fault_handler

// clang-format off
extern "C" __attribute__((section(".isr_vector"), used)) const vector_t test_vectors[16 + 32] = {
    reinterpret_cast<vector_t>(_estack), Reset_Handler,
    F, F, F, F, F, nullptr, nullptr, nullptr, nullptr,
    vPortSVCHandler,
    F, nullptr,
    xPortPendSVHandler,
    xPortSysTickHandler,
    F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F, F,
    urgent_irq_entry,  // 29
    low_irq_entry,     // 30
    F,
};
// clang-format on
