#include "stitcher/formats/external_reader.h"

#include "stitcher/formats/ppm.h"
#include "stitcher/pipeline/child_process.h"
#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/string2.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static const char msg_pipe[] = "Could not open pipe: %s: %s.\n";
static const char msg_too_large[] = "Reader description file %s is too large.\n";
static const char msg_not_regular[] = "Reader description file %s is %s, not a regular file.\n";

// Far beyond any list of converters; keeps a wrong -r (a device, a huge
// file) from being read into memory.
enum { DESCRIPTION_LIMIT = 1 << 20, LINE_LIMIT = 1023 };

ext_reader *ext_readers = nullptr;

// s in single quotes for the shell, each ' written as '\''.
static std::string shell_quote(const char *s)
{
    std::string q = "'";
    for (; *s; s++) {
        if (*s == '\'')
            q += "'\\''";
        else
            q += *s;
    }
    q += '\'';
    return q;
}

// The whole file; false when it cannot be opened or read.
static bool read_text(const char *path, std::string *text)
{
    // A FIFO would hold the run before it starts; a folder is no
    // description, as a missing file is none.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return false;
    if (const char *kind = non_regular_kind(path))
        print_error(msg_not_regular, path, kind);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text->clear();
    char block[65536];
    int64_t got;
    while ((got = read_full(fd, block, sizeof block)) > 0) {
        text->append(block, static_cast<size_t>(got));
        if (text->size() > DESCRIPTION_LIMIT) {
            close(fd);
            print_error(msg_too_large, path);
        }
    }
    close(fd);
    return got == 0;
}

static bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// One line of the file: appends its entry, its command after prefix, when it
// has one.
static void add_entry(std::string line, const std::string &prefix, ext_reader ***tail)
{
    line.resize(strnlen(line.c_str(), line.size())); // text ends at a NUL byte
    if (line.empty() || line[0] == '#')
        return;
    size_t p = 0;
    while (p < line.size() && is_blank(line[p]))
        p++;
    size_t suffix_start = p;
    while (p < line.size() && !is_blank(line[p]))
        p++;
    if (p == suffix_start || p == line.size())
        return;
    std::string suffix = line.substr(suffix_start, p - suffix_start);
    while (p < line.size() && is_blank(line[p]))
        p++;
    if (p == line.size())
        return;
    std::string command = prefix + line.substr(p);
    ext_reader *e = static_cast<ext_reader *>(checked_malloc(sizeof(ext_reader)));
    *e = {sdup(suffix.c_str()), sdup(command.c_str()), nullptr};
    **tail = e;
    *tail = &e->next;
}

int register_external_readers(const char *path, const char *program_dir)
{
    std::string text;
    if (!read_text(path, &text)) {
        if (!program_dir)
            return -1;
        if (!read_text((std::string(program_dir) + path).c_str(), &text))
            return -1;
    }
    // Quoted, the directory stays one word with the program name that the
    // command starts with, whatever characters it holds.
    std::string prefix = program_dir && *program_dir ? shell_quote(program_dir) : std::string();
    ext_reader **tail = &ext_readers;
    while (*tail)
        tail = &(*tail)->next;
    // Lines end at CR or LF; a longer one than 1023 characters goes on as
    // the next line.
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            add_entry(line, prefix, &tail);
            line.clear();
            continue;
        }
        line += c;
        if (line.size() == LINE_LIMIT) {
            add_entry(line, prefix, &tail);
            line.clear();
        }
    }
    add_entry(line, prefix, &tail);
    return 0;
}

const ext_reader *find_ext_reader(const char *path)
{
    const ext_reader *e = ext_readers;
    while (e && strcmp(e->suffix, "*") != 0 && !sendswith(path, e->suffix, 1))
        e = e->next;
    return e;
}

image_reader *external_reader(const char *path)
{
    const ext_reader *e = find_ext_reader(path);
    if (!e)
        return nullptr;
    // The image name is one argument, whatever it holds: a name from a
    // project script must not run commands.
    std::string command = std::string(e->command) + " " + shell_quote(path);
    pid_t pid;
    int fd = start_program(command.c_str(), &pid);
    FILE *stream = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (!stream) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
            end_program(pid);
        }
        print_error(msg_pipe, command.c_str(), strerror(error));
    }
    return ppm_reader_program(stream, pid, path);
}

void free_ext_readers(void)
{
    while (ext_readers) {
        ext_reader *e = ext_readers;
        ext_readers = e->next;
        aligned_free(e->suffix);
        aligned_free(e->command);
        aligned_free(e);
    }
}
