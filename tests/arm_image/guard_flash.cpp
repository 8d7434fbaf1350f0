// Constants beyond 64 KiB of flash: the link must refuse them.
#include <stdint.h>

extern const uint8_t too_much[70 * 1024];
const uint8_t too_much[70 * 1024] = {1, 2, 3};
volatile unsigned which = 0;

int main(void) { return too_much[which]; }
