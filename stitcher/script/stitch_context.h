// The record of the whole job, which the entry builds and hands to the
// parser, the cap and inverse stages and the warp-and-blend loop.
#pragma once

struct pano_file;
struct image_desc;
struct image_number_mask;

struct stitch_context {
    pano_file *pano; // the output panorama; in inverse mode the one to read
    int nimages;
    image_desc *images;      // source images in processing order, then one record per cap
    int ncaps;               // 0, 1 or 2
    image_desc **caps;       // per cap, the nimages pieces re-projected onto its plane
    image_number_mask *mask; // option -e, or null
    int color_mode;          // option -a
};
