// A reader-description file of any content: every entry has a suffix without
// blanks and a command behind the program directory, and a file name is
// matched by the first entry that ends it. No program is started.
#include "fuzz_support.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/pipeline/string2.h"

#include <cctype>
#include <cstring>

static void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

static bool matches(const ext_reader *e, const char *name)
{
    return strcmp(e->suffix, "*") == 0 || sendswith(name, e->suffix, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    int fd;
    std::string path = memory_file(data, size, &fd);
    if (path.empty())
        return 0;
    static const char dir[] = "/opt/zen thra/";
    const std::string prefix = "'/opt/zen thra/'";
    int status = register_external_readers(path.c_str(), dir);
    check(status == 0);
    size_t lines = 1;
    for (size_t i = 0; i < size; i++)
        lines += data[i] == '\n' || data[i] == '\r';
    size_t entries = 0;
    for (const ext_reader *e = ext_readers; e; e = e->next, entries++) {
        check(e->suffix[0] != '\0');
        for (const char *c = e->suffix; *c; c++)
            check(!isspace(static_cast<unsigned char>(*c)));
        check(strncmp(e->command, prefix.c_str(), prefix.size()) == 0);
        check(strlen(e->command) > prefix.size() &&
              !isspace(static_cast<unsigned char>(e->command[prefix.size()])));
    }
    // A line of more than 1023 characters goes on as the next one.
    check(entries <= lines + size / 1023);
    for (const char *name : {"x.CR2", "photo.nef", "a b.tiff", "noext", "*", ""}) {
        const ext_reader *found = find_ext_reader(name);
        const ext_reader *e = ext_readers;
        while (e && !matches(e, name))
            e = e->next;
        check(found == e);
    }
    free_ext_readers();
    close(fd);
    return 0;
}
