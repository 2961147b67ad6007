// The output format code of the p-line's `n` text.
#include "stitcher/script/parser.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/string2.h"

static const char *const msg_quality = "JPEG quality must be >0 && < 100, is %d\n";
static const char *const msg_progressive = "JPEG progressive setting must be 0 or 1, is %d\n";

// b1 asks for BigTIFF; any other value, or none, for a plain TIFF.
static int big_flag(const char *t) { return get_int('b', t, 0) == 1 ? OUTPUT_BIG : 0; }

// The keywords are prefixes and are tried in this order, so TIFF_m must come
// before TIFF, and TIFF before TIF.
output_format parser_get_fileformat(const char *pline)
{
    std::string n;
    if (!find_option(pline, 'n', &n) || n.empty())
        return -1;
    const char *t = n.c_str();
    if (sstartswith(t, "JPEG", 1) || sstartswith(t, "JPG", 1)) {
        int quality = get_int('q', t, 80);
        if (quality < 0 || quality > 100)
            print_error(msg_quality, quality);
        int progressive = get_int('g', t, 0);
        if (progressive != 0 && progressive != 1)
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
