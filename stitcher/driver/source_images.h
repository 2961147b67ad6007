// The source images of the run, decoded one at a time into one block of
// memory that is reused while their byte size stays the same; with threads,
// the next one is decoded ahead into a second block meanwhile.
#pragma once
#include "stitcher/pipeline/loadimage.h"

struct image_desc;

// The images of the run and the colour-mode flag; empties the shared record.
void init_load_data(image_desc *images, int nimages, int color_mode);
// Source image k (its file, or its colour in colour mode) with the image's
// crop window, circle and selection applied, in the shared record, which the
// next call overwrites.
loaded_image *get_source_image(int k);
// With more than one pixel thread, starts decoding image k on a thread of
// its own, for the get_source_image(k) that follows; the record returned
// last stays as it is. Nothing for k out of range.
void load_source_image_ahead(int k);
// The shared record itself, for loading a merged cap into it.
loaded_image *shared_source_image(void);
// Waits for a decoding ahead and frees both buffers.
void free_load_data(void);
