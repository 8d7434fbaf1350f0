// The console's command handlers, bound to their words by fConsole.
#pragma once

// help [<command>]: all command words, or one command's description.
int help(char* str);
