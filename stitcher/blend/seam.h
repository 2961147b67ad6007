// Seams: how two overlapping images are divided before they are blended.
#pragma once

// 0 compares the alphas (centre seam), 1 the smart seam, 2 no seam (even mix).
// Mode 1 also sets the rows of one smart-seam window, which stay set.
void set_seamer(int mode);
int get_seamer(void);
int get_seam_preload(void);
