// The C library's own malloc, without the routing to the kernel heap, needs its
// sbrk heap: the link must refuse it.
#include <stdlib.h>

void* volatile kept;

int main(void) {
  kept = malloc(16);
  return 0;
}
