// Finding the lines of a script. Lines are read whole: a long path must not
// turn into a line of its own nor lose its end.
#include "stitcher/script/parser.h"

#include "stitcher/pipeline/memory.h"

#include <cstring>

static bool line_end(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// The first byte of the n-th line that starts with key, with its length in
// *len; null when there are fewer.
static const char *find_line(const char *script, const char *key, int n, size_t *len)
{
    size_t klen = strlen(key);
    int count = 0;
    const char *p = script;
    // Editors that save UTF-8 may put a byte-order mark before the first line.
    if (strncmp(p, "\xEF\xBB\xBF", 3) == 0)
        p += 3;
    for (;;) {
        while (*p == '\r' || *p == '\n')
            p++;
        if (*p == '\0')
            return nullptr;
        const char *start = p;
        while (!line_end(*p))
            p++;
        size_t l = static_cast<size_t>(p - start);
        if (klen <= l && memcmp(start, key, klen) == 0 && ++count == n) {
            *len = l;
            return start;
        }
    }
}

char *parser_read_script_line(const char *script, const char *key, int n)
{
    size_t len = 0;
    const char *start = find_line(script, key, n, &len);
    if (!start)
        return nullptr;
    char *line = static_cast<char *>(aligned_malloc(len + 1));
    if (!line)
        return nullptr;
    memcpy(line, start, len);
    line[len] = '\0';
    return line;
}

const char *parser_script_line(const char *script, const char *key)
{
    size_t len = 0;
    return find_line(script, key, 1, &len);
}

char *parser_script_line(char *script, const char *key)
{
    return const_cast<char *>(parser_script_line(static_cast<const char *>(script), key));
}
