// The colour profile and the JPEG markers of a run, decided on the main
// thread from the photos' headers before the output's first row is written,
// so that no thread's timing changes them.
#pragma once

struct stitch_context;

// Reads the header of every photo that lands in the panorama, in the order
// they are blended, without decoding pixels. Each photo keeps its own
// profile (a layered TIFF's page carries it); the panorama carries the first
// profile and the first set of JPEG markers found, and when photos differ in
// their profiles, one warning names the profile written and each photo that
// differs. Says what becomes of each photo's EXIF orientation on the way
// (which may end the run). Nothing in colour mode, where no file is read.
void choose_panorama_metadata(stitch_context *ctx);
