// String and file helpers. Every string returned is newly allocated and is
// released with aligned_free.
#pragma once

char *sadd(const char *a, const char *b);
// A copy of s; the run ends with "Not enough memory.\n" when none can be made.
char *sdup(const char *s);
int sstartswith(const char *s, const char *prefix, int ignore_case);
int sendswith(const char *s, const char *suffix, int ignore_case);
// The whole file as a string, with CR LF read as LF; null when the file is
// missing, empty or unreadable.
char *sfilein(const char *path);
int sfileout(const char *text, const char *path);
// What an existing path is when it is not a regular file ("a FIFO", "a
// socket", "a character device", "a block device", "a folder"), symbolic
// links followed; null for a regular file and for a name that cannot be
// looked at (opening it tells why). Reading a FIFO that nobody writes would
// wait for ever.
const char *non_regular_kind(const char *path);
// The directory of a path, absolute, with its trailing '/'.
char *get_directory(const char *path);
char *sreplace(char *s, const char *from, const char *to);

// atoi without its undefined overflow: strtol's value clamped to the int
// range (the same as atoi for every text in range).
int satoi(const char *s);
