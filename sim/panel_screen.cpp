// The panel's drawing: curses windows for the panel, the console and the bottom
// line, laid out by panel_layout for the terminal's present size.
#include <curses.h>
#include <term.h>  // after curses.h, whose names it needs

#include "panel.h"

namespace sim {

namespace {

constexpr size_t kKeptOutput = 32 * 1024;  // console bytes replayed after a resize
constexpr int kLcdCol = 1, kLinesCol = 20;

const char kHelpLine[] = " F1-F6 (or Ctrl-K 1-6): keys 1-6 | Up: history (`) | Ctrl-] quits";

}  // namespace

struct PanelScreen::Impl {
  SCREEN* screen = nullptr;
  WINDOW* top = nullptr;
  WINDOW* console = nullptr;
  WINDOW* bottom = nullptr;
  PanelLayout layout;
  std::string kept;  // the console's recent output

  void free_windows() {
    for (WINDOW** w : {&top, &console, &bottom})
      if (*w != nullptr) {
        delwin(*w);
        *w = nullptr;
      }
  }

  // Terminal semantics rather than curses': a line feed keeps the column and
  // erases nothing, a carriage return goes to the first column.
  void put(uint8_t b) {
    int y, x, rows, cols;
    getyx(console, y, x);
    getmaxyx(console, rows, cols);
    (void)cols;
    if (b == '\n') {
      if (y + 1 >= rows)
        scroll(console);
      else
        ++y;
      wmove(console, y, x);
    } else if (b == '\r') {
      wmove(console, y, 0);
    } else if (b == '\b') {
      if (x > 0) wmove(console, y, x - 1);
    } else if (b >= 0x20 && b < 0x7F) {
      waddch(console, b);
    }
  }

  void build() {
    free_windows();
    int rows, cols;
    getmaxyx(stdscr, rows, cols);
    layout = panel_layout(rows, cols);
    werase(stdscr);
    wnoutrefresh(stdscr);
    if (layout.full) top = newwin(PanelLayout::kPanelRows, cols, 0, 0);
    console = newwin(layout.console_rows, cols, layout.console_top, 0);
    if (layout.status_row != layout.console_top) bottom = newwin(1, cols, layout.status_row, 0);
    scrollok(console, TRUE);
    wmove(console, 0, 0);
    for (char c : kept) put(static_cast<uint8_t>(c));
    wnoutrefresh(console);
  }
};

PanelScreen::PanelScreen() : impl_(new Impl) {}

PanelScreen::~PanelScreen() {
  close();
  delete impl_;
}

bool PanelScreen::open(FILE* in, FILE* out) {
  impl_->screen = newterm(nullptr, out, in);
  if (impl_->screen == nullptr) return false;
  set_term(impl_->screen);
  // A terminal that cannot place the cursor (TERM=dumb) gets the plain console.
  if (cursor_address == nullptr) {  // the terminal's capability, from term.h
    close();
    return false;
  }
  raw();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);
  impl_->build();
  doupdate();
  return true;
}

void PanelScreen::close() {
  if (impl_->screen == nullptr) return;
  impl_->free_windows();
  endwin();
  delscreen(impl_->screen);
  impl_->screen = nullptr;
}

void PanelScreen::console_output(const std::string& bytes) {
  if (bytes.empty()) return;
  impl_->kept += bytes;
  if (impl_->kept.size() > kKeptOutput) impl_->kept.erase(0, impl_->kept.size() - kKeptOutput / 2);
  for (char c : bytes) impl_->put(static_cast<uint8_t>(c));
}

void PanelScreen::update(const PanelState& s) {
  Impl& p = *impl_;
  if (p.screen == nullptr) return;
  int cols = getmaxx(stdscr);
  if (p.top != nullptr) {
    WINDOW* w = p.top;
    werase(w);
    wattron(w, A_REVERSE);
    mvwhline(w, 0, 0, ' ', cols);
    mvwprintw(w, 0, 1, "Tarvik motor-control unit (simulated board)");
    char clock[48];
    if (s.debugger_halted)
      std::snprintf(clock, sizeof clock, "t %10.2f s   halted", s.t_s);
    else if (s.speed > 0)
      std::snprintf(clock, sizeof clock, "t %10.2f s   x%.2f", s.t_s, s.speed);
    else
      std::snprintf(clock, sizeof clock, "t %10.2f s", s.t_s);
    mvwprintw(w, 0, cols - static_cast<int>(std::string(clock).size()) - 1, "%s", clock);
    wattroff(w, A_REVERSE);
    mvwprintw(w, 1, kLcdCol, "+----------------+");
    for (int row = 0; row < board::Hd44780::kRows; ++row)
      mvwprintw(w, 2 + row, kLcdCol, "|%s|", s.lcd[row].c_str());
    mvwprintw(w, 6, kLcdCol, "+----------------+");
    // A dark display that was never set up says why, in its frame.
    const std::vector<std::string> note = lcd_note_rows(s.lcd_note);
    for (size_t i = 0; i < note.size(); ++i) {
      wattron(w, A_DIM);
      mvwprintw(w, 3 + static_cast<int>(i), kLcdCol + 1, "%s", note[i].c_str());
      wattroff(w, A_DIM);
    }
    const std::vector<std::string> text = panel_lines(s);  // `lines` is a macro of term.h
    for (size_t i = 0; i < text.size(); ++i) {
      const std::string& line = text[i];
      mvwaddnstr(w, 1 + static_cast<int>(i), kLinesCol, line.c_str(), cols - kLinesCol);
      // Held keys stand out.
      for (size_t at = line.find('['); at != std::string::npos; at = line.find('[', at + 1)) {
        const size_t end = line.find(']', at);
        if (end != std::string::npos && kLinesCol + static_cast<int>(end) < cols)
          mvwchgat(w, 1 + static_cast<int>(i), kLinesCol + static_cast<int>(at),
                   static_cast<int>(end - at + 1), A_REVERSE, 0, nullptr);
      }
    }
    mvwhline(w, 7, 0, '-', cols);
    mvwprintw(w, 7, 2, " console ");
    wnoutrefresh(w);
  }
  if (p.bottom != nullptr) {
    werase(p.bottom);
    wattron(p.bottom, A_REVERSE);
    mvwhline(p.bottom, 0, 0, ' ', cols);
    const std::string text = p.layout.full ? std::string(kHelpLine) : status_line(s, cols);
    mvwaddnstr(p.bottom, 0, 0, text.c_str(), cols);
    wattroff(p.bottom, A_REVERSE);
    wnoutrefresh(p.bottom);
  }
  // Last, so that the cursor stays where the operator types.
  wnoutrefresh(p.console);
  doupdate();
}

int PanelScreen::next_key() {
  if (impl_->screen == nullptr) return -1;
  for (;;) {
    const int ch = wgetch(stdscr);
    if (ch == ERR) return -1;
    if (ch != KEY_RESIZE) return ch;
    impl_->build();
  }
}

}  // namespace sim
