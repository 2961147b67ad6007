// Temporary disk files for temporary images: created under a unique name and
// unlinked at once, so that the system deletes them when they are closed.
#pragma once

enum {
    TMP_DISK = 0, // "kelo_temp_XXXX" in the current directory
    TMP_SHM = 1,  // "/dev/shm/kelo_tempXXXXXX"
    TMP_MNT = 2,  // "/mnt/tmp/kelo_tempXXXXXX"
};

// The folder of the disk kind (the current folder), for messages.
const char *tmp_folder(void);
// Replaces the trailing X's of name by a number written in hexadecimal in a
// field as wide as the X's, and creates that file exclusively (read and
// write, mode 0600); a name that exists is skipped for the next number.
// name receives the name used, which is as long as the template. Returns the
// descriptor, or -1 when no file can be created. The numbers start at a
// random place in every run.
int my_mkstemps(char *name);
// A new, already unlinked temporary file of the kind (0, 1 or 2) open for
// reading and writing; -1 for another kind. Failing to create it is fatal.
int create_tmp_fd(int kind);
// The same, but -1 (errno set) when the file cannot be created.
int open_tmp_fd(int kind);
// A new temporary file in the current folder that never has a name there
// (O_TMPFILE); where the file system cannot make one, a file of the disk
// kind whose name a fatal end removes until it is unlinked. -1 (errno set)
// when neither can be made.
int open_unnamed_tmp_fd(void);
