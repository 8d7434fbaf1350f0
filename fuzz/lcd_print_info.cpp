// lcd_print_info over arbitrary templates, drawn by the display driver on the
// board's HD44780 model: the rows show the rendered lines, the template is kept
// as a copy of at most 255 characters (the caller's text is freed, then the screen
// redrawn from the copy), and nothing stays allocated.
#include "FreeRTOS.h"
#include "board_task.h"
#include "lcd_menu.h"
#include "store_setup.h"
#include "template_text.h"

namespace {

struct Job {
  const uint8_t* data;
  size_t size;
  std::string rows[4];  // what the display should show
};

// A row as the model shows it: 16 cells, blanks where nothing was written,
// printable ASCII as it is and any other code as '?'.
std::string as_shown(const char* text) {
  std::string row(16, ' ');
  for (size_t i = 0; i < 16 && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    row[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return row;
}

void draw(void* arg) {
  auto* job = static_cast<Job*>(arg);
  fuzz::set_variables(job->data);
  const std::string text(reinterpret_cast<const char*>(job->data) + fuzz::kVariableBytes,
                         strnlen(reinterpret_cast<const char*>(job->data) + fuzz::kVariableBytes,
                                 job->size - fuzz::kVariableBytes));
  const std::string kept = text.substr(0, fuzz::kTemplateMax);
  for (std::string& row : job->rows) row = std::string(16, ' ');  // cleared first
  for (uint8_t r = 0; r < 4; ++r) {
    char* line = lcd_parser_tokens_c(kept.c_str(), '^', r);
    if (line == nullptr) break;
    char* rendered = lcd_create_string_c(line);
    job->rows[r] = as_shown(rendered);
    vPortFree(rendered);
    vPortFree(line);
  }
  const size_t heap = xPortGetFreeHeapSize();

  char* caller = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(caller, text.c_str(), text.size() + 1);
  lcd_print_info(caller);
  std::free(caller);
  if (LCD_CURRENT == nullptr || kept != LCD_CURRENT)
    fuzz::fail("lcd_print_info", "the current screen is not the template");
  lcd_refresh_menu();
  if (xPortGetFreeHeapSize() != heap) fuzz::fail("lcd_print_info", "memory not given back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::kVariableBytes || size > fuzz::kVariableBytes + 2 * fuzz::kTemplateMax) return 0;
  Job job{data, size, {}};
  fuzz::run_in_task(draw, &job);
  const board::Hd44780& lcd = board::the_board().lcd;
  for (int r = 0; r < 4; ++r) {
    if (lcd.row_text(r) != job.rows[r]) {
      std::fprintf(stderr, "row %d shows \"%s\", not \"%s\"\n", r, lcd.row_text(r).c_str(),
                   job.rows[r].c_str());
      fuzz::fail("lcd_print_info", "the display differs from the template");
    }
  }
  return 0;
}
