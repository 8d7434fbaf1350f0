// Static data that leaves less than 1 KiB of the 20 KiB for the main stack: the
// link must refuse it.
#include <stdint.h>

volatile uint8_t nearly_all_ram[20480 - 700];

int main(void) {
  for (auto& b : nearly_all_ram) b = 1;
  return nearly_all_ram[0];
}
