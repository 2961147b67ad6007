// Line finding and option reading on arbitrary script text. The first byte
// picks the option letter; the rest is the script. Every o-line is also
// tried as the .vtx dummy image line, which K=0 references read from.
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/parser.h"

#include <cstdint>
#include <cstring>
#include <string>

static void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

static void read_options(const char *line, char letter)
{
    std::string v;
    if (find_option(line, letter, &v))
        check(v.find('\0') == std::string::npos);
    get_int(letter, line, -7);
    get_double(letter, line, 0.5);
    for (char k : {'n', 'w', 'v', 'S'})
        find_option(line, k, &v);
    int size[2] = {1, 1};
    parser_get_image_size(line, size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    char letter = static_cast<char>(data[0]);
    std::string script(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *text = script.c_str(); // ends at the first NUL, as a script read from a file does

    for (const char *key : {"o", "p", "#-imgfile", "#-blendweight ", ""}) {
        const char *first = parser_script_line(text, key);
        for (int n = 1; n <= 4; n++) {
            char *line = parser_read_script_line(text, key, n);
            if (!line) {
                check(n > 1 || first == nullptr);
                break;
            }
            size_t len = strlen(line);
            check(strncmp(line, key, strlen(key)) == 0);
            check(strpbrk(line, "\r\n") == nullptr && len > 0);
            if (n == 1)
                check(first && strncmp(first, line, len) == 0 && strchr("\r\n", first[len]));
            read_options(line, letter);
            if (n == 1 && key[0] == 'o') {
                set_global_image_params(line);
                read_options(global_image_params, letter);
                read_options(line, letter);
            }
            aligned_free(line);
        }
    }
    set_global_image_params(nullptr);
    return 0;
}
