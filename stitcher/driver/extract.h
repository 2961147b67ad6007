// Inverse mode: every source image rendered anew out of a finished (and
// perhaps retouched) panorama, at its own file name, size and lens geometry,
// so that the retouching can go back into the photos.
#pragma once

struct image_writer;
struct pano_file;
struct stitch_context;

// Decodes the panorama that ctx->pano names, then writes the usable
// rectangle of every image record over the file the record names. The
// panorama record takes the decoded size, and each record the stack rebuilt
// for it. Returns 0; every failure is fatal.
int extract_images(const char *p_line, stitch_context *ctx);

// The writer of an extracted image: by its name's suffix when that is known
// (.jpg, .jpeg, .tif, .tiff, .ppm), else by the panorama's output kind. JPEG
// and BigTIFF settings come from the panorama's code when it is of the same
// kind (else quality 80, baseline, classic TIFF). Null when no kind fits.
image_writer *extract_writer(const char *name, int width, int height, const pano_file *pano);
