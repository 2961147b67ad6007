// Messages, fatal errors, progress and the processor check.
//
// Informational messages go to standard error unless quiet. A fatal error is
// written to standard error in every mode and ends the whole process with
// status 1, from whichever thread reports it first.
#pragma once
#include <cstdint>

void set_verbose(int verbose);
void set_console(int console);
int get_console(void);

int print_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A warning goes where messages go, in quiet mode too.
int print_warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void print_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Lines that belong on standard output; they move to standard error while
// standard output carries the panorama itself (reserve_stdout(1)).
void reserve_stdout(int reserved);
int print_stdout(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The output file that a fatal error or an interrupt removes, so that no
// half-written panorama is left behind: call it once the file is created or
// truncated, and with null once it is complete. Only a regular file is kept
// (never standard output, a device, a pipe or a symbolic link).
void set_partial_output(const char *path);
// The same for a file name inside an open folder, registered as it stands
// (before the file exists, so that no signal can come between its creation
// and its registration): the file must be one that this run creates
// exclusively. A folder moved meanwhile takes the removal along.
void set_partial_output_at(int dirfd, const char *name);
// A temporary file's name that a fatal end removes as well, for the moment
// between its creation and its unlinking; null when there is none.
void set_partial_temp(const char *path);

// Process groups of programs this run started (the external readers): a
// fatal end, Cancel and an interrupt end them, so that none outlives the
// run. 0, or -1 when too many are registered.
int add_child_group(int pgid);
void remove_child_group(int pgid);

// Why the last image file that this thread could not open was refused, for
// the caller's message: readers that give up say it here. "" when nothing
// was said since the last clear_refusal.
void set_refusal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void clear_refusal(void);
const char *refusal(void);
// A reader's refusal: fmt (taking the path and the reason) printed as a
// message, and the reason left in refusal().
void print_refusal(const char *fmt, const char *path, const char *why);
// Ends the run for a file that could not be opened: with_reason (taking the
// name, then refusal()) when a reason is known, else plain (the name).
[[noreturn]] void print_refused_file(const char *plain, const char *with_reason, const char *name);

// SIGINT, SIGTERM and SIGHUP end the run as Cancel does (the partial output
// removed, status 1), except SIGINT while the progress window is open, which
// is its Cancel button. A signal ignored when the program started stays so.
void catch_interrupts(void);

// For fuzz targets that must go on after a fatal error: the handler gets the
// text in place of the end of the process and must not return (it throws).
// Null restores the end. An assertion never reaches it; with a handler set it
// aborts, so that the fuzzer records it as a crash.
typedef void (*fatal_handler)(const char *text);
void set_fatal_handler(fatal_handler handler);

// Ends the run after the user cancelled in the progress window.
[[noreturn]] void cancel_run(void);

// Invariants that stay active in every build.
[[noreturn]] void assertion_failed(const char *expr, const char *file, int line);
#define kassert(e) ((e) ? (void)0 : assertion_failed(#e, __FILE__, __LINE__))

// A newly allocated (aligned_free) output name, or null.
char *save_file_as(const char *default_name, const char *title);

// command 0 opens (or re-titles) the window with a title (const char *),
// 1 updates it with a percentage (int), 2 closes it. 0 means cancelled.
enum { PROGRESS_OPEN = 0, PROGRESS_UPDATE = 1, PROGRESS_CLOSE = 2 };
int progress(int command, ...);
// Typed forms of the three commands.
int progress_open(const char *title);
int progress_update(int percent);
int progress_close(void);

// 3 with SSE3, 2 with SSE2, 1 with SSE, else 0.
int check_cpu(void);
uint32_t cpuid(uint32_t leaf, uint32_t regs[4]);
