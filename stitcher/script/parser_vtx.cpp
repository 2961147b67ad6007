// The "#-" lines that only the Vantorix editor writes into its .vtx scripts.
// Each line is read from a copy that ends where the line ends: strtol skips
// line ends and would go on with the next line's numbers.
#include "stitcher/formats/jpeg.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

static const char *const msg_no_image = "No source image found.\n";

// The number after the key of the first line that starts with it, as
// sscanf's "<key> %d" reads it; false when there is no line or no number.
static bool read_setting(const char *script, const char *key, int *value)
{
    char *line = parser_read_script_line(script, key, 1);
    if (!line)
        return false;
    char *end = nullptr;
    long v = strtol(line + strlen(key), &end, 10);
    bool ok = end != line + strlen(key);
    if (ok)
        *value = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
    aligned_free(line);
    return ok;
}

// The integers (base 0: decimal, 0x hexadecimal, leading-0 octal) after the
// key of the first line that starts with it, up to the first text that is
// no number.
static std::vector<long> read_numbers(const char *script, const char *key)
{
    std::vector<long> out;
    char *line = parser_read_script_line(script, key, 1);
    if (!line)
        return out;
    const char *p = line + strlen(key) - 1; // from the blank that ends the key
    for (;;) {
        char *end = nullptr;
        long v = strtol(p, &end, 0);
        if (end == p)
            break;
        out.push_back(v);
        p = end;
    }
    aligned_free(line);
    return out;
}

void preprocess_script(char *script)
{
    if (parser_script_line(script, "#-dummyimage")) {
        char *first = parser_script_line(script, "o");
        if (first) {
            char *line = parser_read_script_line(script, "o", 1);
            set_global_image_params(line);
            aligned_free(line);
            first[0] = '#';
        }
    }
    read_setting(script, "#-fileversion", &vantorix_fileversion);
    int honor = 0;
    if (read_setting(script, "#-honorexiforientation", &honor))
        set_honor_exiforientation(honor);
}

void read_blend_priorities(const char *script, image_desc *images, int count)
{
    std::vector<long> weights = read_numbers(script, "#-blendweight ");
    for (size_t i = 0; i < weights.size() && i < static_cast<size_t>(count); i++)
        images[i].blend_weight = static_cast<int>(weights[i] < 0         ? 0
                                                  : weights[i] > INT_MAX ? INT_MAX
                                                                         : weights[i]);
}

int cmp_int(const void *a, const void *b)
{
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x < y) - (x > y);
}

int remove_inactive_images(const char *script, image_desc **images, int count)
{
    std::vector<int> inactive;
    for (long v : read_numbers(script, "#-imginactive "))
        if (v >= 0) // negative indices name no image
            inactive.push_back(static_cast<int>(v < INT_MAX ? v : INT_MAX));
    if (inactive.empty())
        return count;
    qsort(inactive.data(), inactive.size(), sizeof(int), cmp_int);
    // From the highest index down, so that each removal leaves the indices
    // still to come in place.
    for (int k : inactive) {
        if (k >= count)
            continue;
        if (count == 1)
            print_error(msg_no_image);
        image_desc *old = *images;
        image_desc *shorter = static_cast<image_desc *>(checked_malloc(sizeof(image_desc) * (count - 1)));
        memcpy(shorter, old, sizeof(image_desc) * k);
        memcpy(shorter + k, old + k + 1, sizeof(image_desc) * (count - 1 - k));
        free_image_desc(&old[k]);
        aligned_free(old);
        *images = shorter;
        count--;
    }
    return count;
}
