// Options of a script line and the numbers in their values.
#include "stitcher/script/parser.h"

#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/string2.h"

#include <cstdlib>
#include <cstring>
#include <locale.h>

char *global_image_params = nullptr;

void set_global_image_params(const char *line)
{
    char *copy = line ? sdup(line) : nullptr;
    aligned_free(global_image_params);
    global_image_params = copy;
}

// isspace of the "C" locale, whatever locale the process runs in.
static bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static std::string token(const char *p)
{
    const char *e = p;
    while (*e && !blank(*e))
        e++;
    return std::string(p, static_cast<size_t>(e - p));
}

bool find_option(const char *line, char key, std::string *value)
{
    bool in_quotes = false, after_blank = false;
    const char *p = line;
    for (; *p; p++) {
        char c = *p;
        if (c == '"') {
            in_quotes = !in_quotes;
            after_blank = false;
        } else if (!in_quotes) {
            if (blank(c))
                after_blank = true;
            else if (c == key && after_blank)
                break;
            else
                after_blank = false;
        }
    }
    if (*p == '\0' || p[1] == '\0')
        return false;
    const char *v = p + 1;
    if (*v == '"') {
        if (v[1] == '"' || v[1] == '\0')
            return false;
        const char *close = strchr(v + 1, '"');
        if (!close)
            return false;
        value->assign(v + 1, static_cast<size_t>(close - v - 1));
        return true;
    }
    // K=0 refers to the dummy image line; only one level deep, so that a
    // reference inside the dummy line itself is read as its own text.
    if (*v == '=' && v[1] == '0' && global_image_params && line != global_image_params)
        return find_option(global_image_params, key, value);
    *value = token(v);
    return true;
}

int get_int(char key, const char *line, int def)
{
    std::string v;
    return find_option(line, key, &v) ? satoi(v.c_str()) : def;
}

static locale_t c_locale()
{
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

double c_strtod(const char *s, char **end)
{
    locale_t loc = c_locale();
    return loc ? strtod_l(s, end, loc) : strtod(s, end);
}

double get_double(char key, const char *line, double def)
{
    std::string v;
    if (!find_option(line, key, &v))
        return def;
    return c_strtod(v.c_str(), nullptr);
}

bool get_int_given(char key, const char *line, int *value)
{
    std::string v;
    if (!find_option(line, key, &v))
        return false;
    int n = satoi(v.c_str());
    if (n == -1)
        return false;
    *value = n;
    return true;
}

int parser_get_image_size(const char *line, int size[2])
{
    bool w = get_int_given('w', line, &size[0]);
    bool h = get_int_given('h', line, &size[1]);
    return w && h ? 0 : -1;
}
