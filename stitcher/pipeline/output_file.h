// Where finished files go without losing what was at their names.
//
// A file bound for a regular file, or for a name that does not exist yet, is
// written under a temporary name in the folder of the name's real path and
// renamed over it only when complete, so that a failed, cancelled or killed
// run leaves the earlier file as it was. A device or a pipe is written as it
// stands. One output is pending at a time: the panorama, or in inverse mode
// each photo in turn.
#pragma once

// 1 when name exists and is no regular file and no folder (a device, a pipe,
// a socket), symbolic links followed.
int is_stream_target(const char *name);
// 1 when both names exist and are the same file (device and inode).
int same_file(const char *a, const char *b);

// Checks the name (not too long, its folder there and a folder), opens its
// folder and makes the temporary file in it under a random name (with the
// mode, and where allowed the owner, of the file it replaces; else 0666
// less the umask), registered for removal by a failed run before it exists.
// Where the folder cannot be written but the file can, the file is written
// in place, with a warning. Nothing to do for "-" and stream targets. 0, or
// -1 with errno set.
int begin_output(const char *name);
// Opens an output file for writing: the temporary file when path is the
// pending output (a new descriptor of it, emptied), a stream target as it
// stands, else path itself (created with mode 0666 less the umask,
// truncated). Closed on exec; -1 on failure.
int create_output_file(const char *path);
// Ends the pending output name: a Cancel still ends the run here; then the
// file is flushed to its disk, the temporary file replaces name in the
// folder opened at the start, and the folder is flushed. A flush or a rename
// that fails ends the run.
void commit_output(const char *name);
