// Binary PPM files ("P6") and their RGBA variant ("P7" with the same
// three-line header; not PAM). 16-bit samples are stored as the ushort
// pixformats hold them in memory (little-endian), not as netpbm does.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ppm_data {
    char *path; // null for a stream
    int32_t width;
    int32_t height;
    int32_t pixformat;
    int32_t fd;         // -1 while nothing is open
    int64_t row_bytes;  // width times bytes per pixel
    int32_t header_len; // bytes of the header text, written or read
    int32_t reading;    // 1 once opened for reading
    FILE *pipe;         // an external program's output, else null
    int32_t child;      // the pid of the program writing pipe when it is ours, else 0
    char *source;       // the file that program converts (messages name it), else null
};

ppm_data *ppm_open(const char *path);
// Formats the header of pd's pixformat; its length, or -1 for a pixformat
// that has no PPM form.
int ppm_image_header(char *text, size_t size, const ppm_data *pd);
// Fills pd, creates the output ("-" is standard output) and writes the
// header. A file that cannot be created is fatal. Returns 0.
int ppm_write_image_header(ppm_data *pd, int width, int height, uint32_t pixformat);
// An output for positioned writes at header_len + y * row_bytes + x * bpp.
ppm_data *open_ppm(const char *path, int width, int height, uint32_t pixformat);
image_writer *ppm_writer(const char *path, int width, int height, uint32_t pixformat);
// Writes one row; a failed write is fatal. Returns 0.
int ppm_write_row(void *pd, void *row);

// Null when the file cannot be opened or its header is not accepted (the
// reason is printed as a message and left in refusal()).
image_reader *ppm_reader(const char *path);
// The same over an external program's output; closing the reader closes the
// stream, and so does a refusal.
image_reader *ppm_reader_2(FILE *stream);
// The same over the output of the program pid (start_program) converting
// the file source: closing the reader closes the stream and waits for the
// program, and a refusal or an image that ends early names the file and
// tells how the program ended.
image_reader *ppm_reader_program(FILE *stream, int pid, const char *source);
// Opens the path (or takes the stream's descriptor) and reads the header.
int ppm_image_size(ppm_data *pd, image_size *out);
// 0 when the header is accepted; then the descriptor stands at the first
// pixel byte.
int read_ppm_header(ppm_data *pd);
// Reads the next row into buf; a short read is fatal.
void ppm_read(void *pd, void *buf);
// One header byte, -1 at the end of input.
int ppm_get_char(int fd);
// Completes a written file to its full size (pixels never written read as
// zero), closes what is open and frees pd. Returns 0.
int ppm_close(void *pd);
