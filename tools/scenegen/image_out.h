// Image files of the scene, written through the project's own writers.
#pragma once
#include <functional>
#include <string>

// ".ppm", ".tif" or ".jpg" for a file_format.
const char *format_suffix(int format);
// -1 for a name that is none of ppm, tif, tiff, jpg, jpeg.
int format_by_name(const std::string &name);

// 8-bit rows of 3 (RGB) or 4 (RGBA; not for JPEG) samples per pixel, asked
// for top to bottom. A file that cannot be written ends the run.
void write_image(const std::string &path, int width, int height, int channels, int format, int quality,
                 const std::function<const unsigned char *(int y)> &row);
