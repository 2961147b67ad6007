#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/output_file.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

char *sdup(const char *s)
{
    size_t n = strlen(s) + 1;
    return static_cast<char *>(memcpy(checked_malloc(n), s, n));
}

char *sadd(const char *a, const char *b)
{
    size_t la = strlen(a), lb = strlen(b);
    char *r = static_cast<char *>(aligned_malloc(la + lb + 1));
    if (!r)
        return nullptr;
    memcpy(r, a, la);
    memcpy(r + la, b, lb + 1);
    return r;
}

static int same_text(const char *a, const char *b, size_t n, int ignore_case)
{
    if (!ignore_case)
        return memcmp(a, b, n) == 0;
    for (size_t i = 0; i < n; i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return 0;
    return 1;
}

int sstartswith(const char *s, const char *prefix, int ignore_case)
{
    size_t ls = strlen(s), lp = strlen(prefix);
    return lp <= ls && same_text(s, prefix, lp, ignore_case);
}

int sendswith(const char *s, const char *suffix, int ignore_case)
{
    size_t ls = strlen(s), lx = strlen(suffix);
    return lx <= ls && same_text(s + ls - lx, suffix, lx, ignore_case);
}

const char *non_regular_kind(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode))
        return nullptr;
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISCHR(st.st_mode))
        return "a character device";
    if (S_ISBLK(st.st_mode))
        return "a block device";
    return S_ISDIR(st.st_mode) ? "a folder" : "a special file";
}

char *sfilein(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size <= 0)
        return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // A file past the address space (32-bit x86) is not read cut short.
    size_t size = alloc_size(st.st_size);
    char *text = size < SIZE_MAX ? static_cast<char *>(aligned_malloc(size + 1)) : nullptr;
    if (!text) {
        close(fd);
        return nullptr;
    }
    int64_t got = read_full(fd, text, size);
    close(fd);
    if (got < 0) {
        aligned_free(text);
        return nullptr;
    }
    // Text mode: a CR that ends a line is dropped.
    size_t n = 0;
    for (size_t i = 0; i < static_cast<size_t>(got); i++)
        if (!(text[i] == '\r' && i + 1 < static_cast<size_t>(got) && text[i + 1] == '\n'))
            text[n++] = text[i];
    text[n] = '\0';
    return text;
}

int sfileout(const char *text, const char *path)
{
    int fd = create_output_file(path);
    if (fd < 0)
        return -1;
    int status = write_full(fd, text, strlen(text));
    if (close(fd) != 0)
        status = -1;
    return status;
}

static std::string current_directory()
{
    std::string dir(256, '\0');
    while (!getcwd(dir.data(), dir.size())) {
        kassert(errno == ERANGE);
        dir.resize(dir.size() * 2);
    }
    dir.resize(strlen(dir.c_str()));
    return dir;
}

char *get_directory(const char *path)
{
    const char *slash = strrchr(path, '/');
    std::string part = slash ? std::string(path, static_cast<size_t>(slash - path + 1)) : std::string();
    std::string dir;
    if (!part.empty() && part[0] == '/')
        dir = part;
    else {
        dir = current_directory();
        if (dir.empty() || dir.back() != '/')
            dir += '/';
        dir += part;
    }
    return sdup(dir.c_str());
}

char *sreplace(char *s, const char *from, const char *to)
{
    for (char *p = s; *p; p++)
        for (size_t k = 0; from[k] && to[k]; k++)
            if (*p == from[k])
                *p = to[k];
    return s;
}

int satoi(const char *s)
{
    long v = strtol(s, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(v);
}
