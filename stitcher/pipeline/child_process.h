// Programs that the run starts and reads from (the external readers): each
// in a process group of its own, registered so that a fatal end, Cancel or
// an interrupt ends the whole group.
#pragma once
#include <string>
#include <sys/types.h>

// Runs command through /bin/sh with its standard output a pipe that the
// returned descriptor reads (closed on exec); its standard input and error
// are the run's. -1 with errno set when it cannot be started.
int start_program(const char *command, pid_t *pid);
// Waits until the program has ended, then reaps it and forgets its group;
// its wait status.
int end_program(pid_t pid);
// How a program with this wait status ended, for messages: "" when it ended
// well, else "its reader ended with status 3" or "its reader was ended by
// signal 11 (Segmentation fault)" (also for the shell's status 139).
std::string program_fate(int status);
