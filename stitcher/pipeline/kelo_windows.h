// The terminal in place of the progress window, the message box and the save
// dialog. The "window" is one status line on standard error, redrawn in place
// only when standard error is a terminal; Ctrl-C while it is open is Cancel.
#pragma once
#include <cstddef>

// Writes a fatal text to standard error, with a line end when it has none.
void error_message(const char *text);
// Writes an informational text to standard error without breaking the status line.
void terminal_message(const char *text, size_t len);
// command 0 with title, 1 with percent, 2; returns 0 once cancelled.
int win_progress(int command, const char *title, long percent);
// Asks on the terminal; null without a terminal, at the end of input or on error.
char *win_save_file_as(const char *default_name, const char *title);

// A last resort for a crash: SIGSEGV, SIGBUS, SIGILL and SIGFPE write
// "Unhandled Exception occured!" to standard error and end the process with
// status 1. The handlers run on an alternate stack of the calling thread, so
// that a stack overflow there still reports. Prints "Prevented: %d\n" with 1
// when every handler was installed; returns that value. Nothing installs it:
// a debugger or a core dump tells more.
int install_crash_handler(void);
