#include "stitcher/blend/seam.h"

static int seam_position = 0;
static int seam_preload = 0;

void set_seamer(int mode)
{
    seam_position = mode;
    if (mode == 1)
        seam_preload = 200;
}

int get_seamer(void) { return seam_position; }
int get_seam_preload(void) { return seam_preload; }
