// The serial console on USART1: text output, the argument parsers the command
// handlers share, the command table and the console task.
#pragma once

// Formats like printf (integer conversions only) and sends the text on USART1,
// busy-waiting byte by byte. At most 99 characters a call; longer text is cut.
// Takes no lock: callable from any task, and from main before the scheduler.
void cprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies word num_of_zero (0 is the command word) of str into word. Words are
// separated by blanks; a blank inside double quotes belongs to the word and the
// quotes are kept. Returns 0 when copied, 1 when the word is missing or empty
// (word untouched). Writes into str while it runs and restores it.
unsigned char parser_of_word(char* str, unsigned char num_of_zero, char* word);

// If str (after leading blanks) starts with '-', flag, '=', copies the rest
// after '=' into fg and returns 0; else returns 1 and leaves fg alone.
// fg may be str itself.
unsigned char parser_of_flag(char* str, char flag, char* fg);

// Decimal or "0x" hexadecimal number at the start of p, after blanks and tabs,
// with one optional sign. Never fails: no digits gives 0, overflow wraps.
int catoi(char* p);

// A command handler gets the whole line, command word included, and returns
// 0 on success or 1 for a missing argument or a failed operation.
typedef int (*command)(char*);

struct sConsole {
  const char* name;  // nullptr in the end row
  const char* description;
  command cmd;
};

// The commands in help order, ended by an all-null row.
extern const sConsole fConsole[];

// The console task: line editor with echo and history, and the dispatcher.
void vTaskConsole(void* pvParameters);
