// Image files read through outside converter programs. A reader-description
// file lists, one entry a line, a file-name ending and a command; a file with
// that ending is read from the command's standard output, which must be a
// PPM image or its RGBA variant.
//
// Lines: "#..." is a comment; otherwise optional blanks, the suffix (compared
// without case; "*" matches every file), blanks, and the command up to the
// end of the line. The command names its program relative to the program
// directory given at registration.
#pragma once
#include "stitcher/pipeline/readimage.h"

struct ext_reader {
    char *suffix;
    char *command; // the program directory (quoted for the shell) and the line's command
    ext_reader *next;
};

// The entries in file order.
extern ext_reader *ext_readers;

// Reads the file at path, or when that fails and program_dir is not null, the
// one at program_dir + path, and appends its entries. 0, or -1 when neither
// can be read; one that exists but is no regular file (a FIFO, a device)
// ends the run.
int register_external_readers(const char *path, const char *program_dir);
// The first entry whose suffix ends path (without case), or is "*"; null
// when none does.
const ext_reader *find_ext_reader(const char *path);
// The converted image of the first entry that matches, or null when none
// does or the program's output is not an accepted PPM image (the reason,
// with how the program ended, is left in refusal()). The program runs in a
// process group of its own, which a fatal end or an interrupt ends.
image_reader *external_reader(const char *path);
void free_ext_readers(void);
