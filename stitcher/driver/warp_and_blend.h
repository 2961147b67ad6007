// The stitching loop: every image decoded, warped into its destination
// rectangle, blended over what the images before it left in their overlap
// tiles and written through its destination writer; then the caps over the
// poles; then the panorama file is closed.
#pragma once

struct stitch_context;

// Seconds spent decoding source images so far.
extern double jt_total;

// Runs the loop over the job's images and caps. Returns 0; failures end the run.
int warp_blend_images(stitch_context *ctx);
// Whether image k lands in the panorama or in a cap: those that do not are
// neither decoded nor warped.
bool image_lands(const stitch_context *ctx, int k);
