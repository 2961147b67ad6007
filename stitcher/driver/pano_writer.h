// The panorama writer thread: when the output file cannot be filled by
// random access (JPEG, standard output, deferred merging), one thread writes
// it top to bottom, merging the finished images in order while later ones
// are still being warped.
#pragma once

struct image_desc;
struct pano_file;

// Starts the thread over the first n records of images; close_panorama_file
// joins it. A thread that cannot be started ends the run.
void init_pano_writer(pano_file *pf, int n, image_desc *images);
