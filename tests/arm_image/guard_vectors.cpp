// The least an image needs to link with the board's start-up code: a vector
// table and a clock set-up that does nothing. The link is what these images test.
#include <stdint.h>

extern "C" {
extern uint32_t _estack[];
void Reset_Handler(void);
void SystemInit(void) {}
}

using vector_t = void (*)(void);
extern "C" __attribute__((section(".isr_vector"), used)) const vector_t guard_vectors[] = {
    reinterpret_cast<vector_t>(_estack),
    Reset_Handler,
};
