// Projection tables of the script's f values and the wrap length of a panorama.
#include "stitcher/geometry/stack.h"
#include "stitcher/script/parser.h"

int vantorix_fileversion = 0;

const int pano_projection_table[20] = {0, 1, 2, 3, 2, 4, 5, 2, 2, 2, 4, 7, 2, 2, 2, 2, 2, 2, 2, 6};
const int image_projection_table[11] = {0, 1, 3, 3, 2, 4, 5, 0, 0, 0, 4};

int pano_projection(int f) { return f >= 0 && f < 20 ? pano_projection_table[f] : PROJ_EQUIRECT; }

int image_projection(int f) { return f >= 0 && f < 11 ? image_projection_table[f] : PROJ_RECTILINEAR; }

int parser_get_wrap_length(const char *pline)
{
    int pclass = pano_projection(get_int('f', pline, -1));
    if (pclass != PROJ_CYLINDRICAL && pclass != PROJ_EQUIRECT)
        return 0;
    if (get_double('v', pline, 360) != 360)
        return 0;
    int size[2] = {1024, 512};
    parser_get_image_size(pline, size);
    // A panorama without width has nothing to wrap around.
    return size[0] > 0 ? size[0] : 0;
}
