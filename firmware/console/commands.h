// The console's command handlers, bound to their words by fConsole.
#pragma once

// help [<command>]: all command words, or one command's description.
int help(char* str);

// The LCD. info [-n=<num>] <text>: the fixed test screen (the text is not shown).
int lcd_info(char* str);
int lcd_clear(char* str);
// lcd_menu <name>: a built-in screen; lcd_str <template>: any screen.
int console_lcd_menu(char* str);
int console_lcd_str(char* str);

// Tasks and LEDs.
int listt_ex(char* str);
// One line per row of the task table, running or not.
int listt(char* str);
// delt <nametask>: deletes a running task of the task table.
int delt(char* str);
// led -n=<num> -f=<on/off>, flags in either order.
int led(char* str);

// The variable store and the backup registers.
int console_backup_crc(char* str);
// backup_set <slot 1..4> <value>
int console_backup_set(char* str);
// backup_get <slot>
int console_backup_get(char* str);
int console_backup_list(char* str);
int listv(char* str);
// var_set <name> <str|other type word> <value>
int console_var_set(char* str);
// var_get <name>
int console_var_get(char* str);
// var_del <name>
int console_var_del(char* str);

// Motor 3.
int console_engine3_on(char* str);
int console_engine3_off(char* str);
// e3acc -t=<type> -i=<start pulse> -o=<end pulse> <msec>, all optional, any order.
int console_engine3_acc(char* str);
// e3pid -f=<0 target, 1 present speed, 2 off> -p= -i= -d= <target>, all optional.
int console_engine3_pid(char* str);
// e3target <set-point>
int console_engine3_target(char* str);
int console_engine3_info(char* str);
// e3dir <0/1>
int console_engine3_dir(char* str);
// e3pulse <compare value>
int console_engine3_pulse(char* str);
// e3period <auto-reload>, its low 16 bits; 0 is refused (it would block TIM3 for good)
int console_engine3_period(char* str);
// keys and freq3 run until the STOP key: keys prints each key, freq3 the encoder
// interval once a second. aly streams interval and pulse and never returns.
int console_keys_press(char* str);
int console_freq3(char* str);
int console_aly(char* str);
