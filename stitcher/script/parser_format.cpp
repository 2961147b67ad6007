// The output format code of the p-line's `n` text.
#include "stitcher/script/parser.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/string2.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <strings.h>

static const char *const msg_quality = "JPEG quality must be >0 && < 100, is %d\n";
static const char *const msg_progressive = "JPEG progressive setting must be 0 or 1, is %d\n";
static const char *const msg_unknown_kind =
    "Warning: the p-line's output kind n\"%s\" is not supported, using %s.\n";

// b1 asks for BigTIFF; any other value, or none, for a plain TIFF.
static int big_flag(const char *t) { return get_int('b', t, 0) == 1 ? OUTPUT_BIG : 0; }

// The keywords are prefixes and are tried in this order, so TIFF_m must come
// before TIFF, and TIFF before TIF.
static output_format read_format(const char *pline, bool checked)
{
    std::string n;
    if (!find_option(pline, 'n', &n) || n.empty())
        return -1;
    const char *t = n.c_str();
    if (sstartswith(t, "JPEG", 1) || sstartswith(t, "JPG", 1)) {
        int quality = get_int('q', t, 80);
        if (checked && (quality < 0 || quality > 100))
            print_error(msg_quality, quality);
        int progressive = get_int('g', t, 0);
        if (checked && progressive != 0 && progressive != 1)
            print_error(msg_progressive, progressive);
        return quality * 16 + OUTPUT_JPEG + (progressive ? OUTPUT_PROGRESSIVE : 0);
    }
    if (sstartswith(t, "TIFF_m", 1))
        return OUTPUT_TIFF_LAYERED | big_flag(t);
    if (sstartswith(t, "TIFF", 1) || sstartswith(t, "TIF", 1))
        return OUTPUT_TIFF | big_flag(t);
    if (sstartswith(t, "PPM", 1))
        return OUTPUT_PPM;
    if (sstartswith(t, "PSD", 1))
        return OUTPUT_PSD;
    if (sstartswith(t, "PSB", 1))
        return OUTPUT_PSD | OUTPUT_BIG;
    return -1;
}

output_format parser_get_fileformat(const char *pline) { return read_format(pline, true); }

output_format parser_asked_format(const char *pline) { return read_format(pline, false); }

std::string output_format_text(output_format code)
{
    const bool big = output_big(code);
    switch (output_kind(code)) {
    case OUTPUT_JPEG:
        return std::string(output_progressive(code) ? "a progressive" : "a baseline") + " JPEG of quality " +
               std::to_string(output_quality(code));
    case OUTPUT_PPM:
        return "a PPM";
    case OUTPUT_TIFF:
        return big ? "a flat BigTIFF" : "a flat TIFF";
    case OUTPUT_TIFF_LAYERED:
        return big ? "a layered BigTIFF" : "a layered TIFF";
    case OUTPUT_PSD:
        return big ? "a PSB" : "a PSD";
    default:
        return "no known kind";
    }
}

// An option word: its letter among `letters`, then an integer and nothing else.
static bool integer_word(const std::string &w, const char *letters)
{
    if (w.size() < 2 || !strchr(letters, w[0]))
        return false;
    size_t k = w[1] == '-' || w[1] == '+' ? 2 : 1;
    if (k == w.size())
        return false;
    for (; k < w.size(); k++)
        if (!isdigit(static_cast<unsigned char>(w[k])))
            return false;
    return true;
}

// Whether every word of the n text means something: a keyword as a whole
// word, then the options of its kind. Compression (c:...) and r:CROP, which
// scripts of other stitchers carry, are read and ignored.
static bool known_kind_text(const std::string &n)
{
    static const struct {
        const char *keyword, *options;
    } kinds[] = {{"JPEG", "qg"}, {"JPG", "qg"}, {"TIFF_m", "b"}, {"TIFF_mask", "b"}, {"TIFF", "b"},
                 {"TIF", "b"},   {"PPM", ""},   {"PSD", ""},     {"PSB", ""}};
    std::istringstream words(n);
    std::string w;
    words >> w;
    const char *options = nullptr;
    for (const auto &k : kinds)
        if (strcasecmp(w.c_str(), k.keyword) == 0)
            options = k.options;
    if (!options)
        return false;
    while (words >> w)
        if (!sstartswith(w.c_str(), "c:", 1) && strcasecmp(w.c_str(), "r:CROP") != 0 &&
            !integer_word(w, options))
            return false;
    return true;
}

void check_output_kind(const char *pline)
{
    std::string n;
    if (!find_option(pline, 'n', &n) || n.empty() || known_kind_text(n))
        return;
    output_format code = parser_asked_format(pline);
    print_warning(msg_unknown_kind, n.c_str(), output_format_text(code == -1 ? OUTPUT_TIFF : code).c_str());
}
