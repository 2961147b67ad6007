// A reader-description file of any content: every entry has a suffix without
// blanks and a command behind the program directory, and a file name is
// matched by the first entry that ends it. No program is started.
#include "fuzz_support.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/pipeline/string2.h"

#include <cctype>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    int fd;
    std::string path = memory_file(data, size, &fd);
    if (path.empty())
        return 0;
    const std::string prefix = "'/opt/zen thra/'";
    check(register_external_readers(path.c_str(), "/opt/zen thra/") == 0);
    for (const ext_reader *e = ext_readers; e; e = e->next) {
        check(e->suffix[0] != '\0' && strncmp(e->command, prefix.c_str(), prefix.size()) == 0);
        for (const char *c = e->suffix; *c; c++)
            check(!isspace(static_cast<unsigned char>(*c)));
        check(strlen(e->command) > prefix.size() &&
              !isspace(static_cast<unsigned char>(e->command[prefix.size()])));
    }
    for (const char *name : {"x.CR2", "photo.nef", "a b.tiff", "noext", "*", ""}) {
        const ext_reader *e = ext_readers;
        while (e && strcmp(e->suffix, "*") != 0 && !sendswith(name, e->suffix, 1))
            e = e->next;
        check(find_ext_reader(name) == e);
    }
    free_ext_readers();
    close(fd);
    return 0;
}
