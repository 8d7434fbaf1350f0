// lcd_create_string_c over arbitrary lines and variables of every type, in a task
// of the board with the store's defaults: at most 16 characters, fixed text without
// references unchanged, and every temporary block given back.
#include "FreeRTOS.h"
#include "board_task.h"
#include "lcd_menu.h"
#include "store_setup.h"
#include "template_text.h"

namespace {

struct Job {
  const uint8_t* data;
  size_t size;
};

void render(void* arg) {
  const auto* job = static_cast<Job*>(arg);
  fuzz::set_variables(job->data);
  const fuzz::Text line = fuzz::text_of(job->data + fuzz::kVariableBytes, job->size - fuzz::kVariableBytes);
  const size_t heap = xPortGetFreeHeapSize();

  char* out = lcd_create_string_c(line.block.get());
  if (out == nullptr) fuzz::fail("lcd_create_string_c", "no line, with memory to spare");
  if (line.str != line.block.get()) fuzz::fail("lcd_create_string_c", "the line changed");
  if (std::strlen(out) > 16) fuzz::fail("lcd_create_string_c", "longer than 16");
  if (line.str.find('~') == std::string::npos && line.str.substr(0, 16) != out)
    fuzz::fail("lcd_create_string_c", "a line without references changed");
  vPortFree(out);
  if (xPortGetFreeHeapSize() != heap) fuzz::fail("lcd_create_string_c", "memory not given back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::kVariableBytes || size > fuzz::kVariableBytes + fuzz::kTemplateMax) return 0;
  Job job{data, size};
  fuzz::run_in_task(render, &job);
  return 0;
}
