// The project script: finding its lines and reading their options, and
// reading the panorama, the interpolator and the images from them.
//
// The script is one NUL-terminated text held in memory. A line is a maximal
// run of bytes other than CR, LF and NUL, read whole whatever its length; a
// line belongs to a key when it starts with it (case matters). An option is a
// letter that follows a blank outside double quotes, and its value is the
// text after it (see find_option). Strings returned as char * are newly
// allocated and released with aligned_free.
#pragma once
#include "stitcher/formats/output_format.h"

#include <string>

struct image_desc;
struct stack_data;
struct stitch_context;

// ---- Lines and options ----

// A copy of the n-th line (1-based) that starts with key, or null when there
// are fewer such lines (or the copy cannot be allocated).
char *parser_read_script_line(const char *script, const char *key, int n);
// The first byte of the first line that starts with key, inside the script
// itself, or null.
const char *parser_script_line(const char *script, const char *key);
char *parser_script_line(char *script, const char *key);

// The value text of option `key` in `line`: false when the option is absent.
// The first occurrence wins. A value written K=0 is read from the dummy
// image line (global_image_params) when one is set, one level deep.
bool find_option(const char *line, char key, std::string *value);

// Numbers read from an option value as atoi and atof read them ("C" locale,
// trailing text ignored, no number gives 0); the default when absent.
int get_int(char key, const char *line, int def);
double get_double(char key, const char *line, double def);
// strtod in the "C" locale, whatever locale the process runs in.
double c_strtod(const char *s, char **end);
// An integer option that is present and not -1 (which scripts use for
// "not given"): true and *value set; otherwise *value is left alone.
bool get_int_given(char key, const char *line, int *value);

// size[0] = w and size[1] = h where given (not -1); 0 when both were given,
// else negative. size holds the defaults on entry.
int parser_get_image_size(const char *line, int size[2]);

// The o-line of a .vtx script's dummy image, or null. Replaced (the previous
// copy released) by set_global_image_params, which copies its argument.
extern char *global_image_params;
void set_global_image_params(const char *line);

// ---- Projections and the stack of an image ----

// The projection class (projection_class) of a p-line or o-line `f` value;
// -1 where the table has no entry.
extern const int pano_projection_table[20];
extern const int image_projection_table[11];
// The class of a p-line f: 2 (equirectangular) when f is outside 0..19.
int pano_projection(int f);
// The class of an o-line f: 0 (rectilinear) when f is outside 0..10.
int image_projection(int f);

// The panorama width when the panorama wraps horizontally (a cylindrical or
// equirectangular panorama, or one without f, of 360 degrees), else 0.
int parser_get_wrap_length(const char *pline);

// The number of a .vtx "#-fileversion" line, 0 when none. Above 26 the z of
// a viewpoint line is a logarithm.
extern int vantorix_fileversion;

// The stack that maps a panorama pixel (from the panorama centre) to a pixel
// of the image (from its centre), built from the p-line, the image's o-line
// and its "#-viewpoint" line (or null); width is the image width. *wrap is
// in: non-zero allows a wrap shift to be taken out of the yaw; out: that
// shift in whole panorama pixels, 0 when none. Released with free_stack.
stack_data *parser_create_stack_data(const char *pline, const char *oline, const char *viewpoint, int width,
                                     int *wrap);

// The share (0 to 1) of the panorama's pixels that its projection maps to a
// direction at all: below 1 for a three-parameter panorama whose P leaves its
// sides empty.
double panorama_share(const char *pline);

// The code of the p-line's `n` text, -1 when it is absent, empty or names no
// known format. A JPEG quality outside 0..100 or a progressive setting other
// than 0 or 1 ends the run.
output_format parser_get_fileformat(const char *pline);
// The same code, but a quality or progressive setting out of range is kept
// as it reads rather than ending the run: what the p-line asks for.
output_format parser_asked_format(const char *pline);
// The code that an output name's suffix decides whatever the p-line asks
// (.tif and .tiff a flat TIFF, .jpg a baseline JPEG of quality 80), or -1.
output_format name_output_format(const char *name);
// What a code makes, for messages: "a flat TIFF", "a baseline JPEG of
// quality 80", ...
std::string output_format_text(output_format code);
// Warns when the p-line's n text holds a word that names no output kind or
// option of it, with the kind used instead.
void check_output_kind(const char *pline);

// ---- Checks of script values ----

// A field of view (degrees) that the projection class cannot show ends the
// run; f is the code as the line gives it, for the message.
void check_field_of_view(double fov, int f, int pclass);
// Warns of a projection code that the tables do not list: the class
// fallback_class is used instead.
void warn_projection(int f, int fallback_class);
// One warning for the options of line (named by label: "o-line 3") whose
// value is a number followed by more text, which the number's reading
// leaves out (w2k000 is read as w2). ints and doubles list the option
// letters read as either.
void warn_number_typos(const char *line, const char *label, const char *ints, const char *doubles);

// ---- The p-line, the m-line and the images ----

// Reads the p-line into a new panorama output file for `name`, stored in
// ctx->pano; pixformat is negative in inverse mode. A size or field of view
// that makes no panorama ends the run. 0, or -1 when no file was made.
int parser_get_pano(const char *pline, const char *name, int pixformat, stitch_context *ctx);
// 1 when caps may be blended over zenith and nadir: an equirectangular
// panorama of 360 degrees twice as wide as high (w and h default to 1, so
// a p-line without them allows no caps). f absent means f0 here.
int can_blend_over_cap(const char *pline);
// Sets *interpolator (warper code) from the m-line's i; an absent i and -1
// leave it, an unknown one is reported and leaves it.
void parser_set_mode(const char *mline, int *interpolator);

// Stores the o-line's w and h (where given, not -1) and a copy of its n in
// d; 0 only when all three were given.
int parser_get_name_size(const char *oline, image_desc *d);
// Fills d (zeroed first) from the n-th o-line (1-based): name, size (from
// "#-imgfile" or the file when the line lacks them), crop, selection,
// circle and stack. Values that make no image end the run. -1 when there
// is no n-th o-line.
int parser_get_image(const char *script_dir, const char *script, const char *pline, int n, image_desc *d);
// The o-line's yaw, pitch and roll in degrees (0 when absent). Returns 0.
int get_image_position(const char *oline, double *yaw, double *pitch, double *roll);

// ---- The .vtx editor's lines ----

// Before the p-line is read: takes the dummy image's o-line out of the
// script (its first byte becomes '#') into global_image_params, and applies
// "#-fileversion" and "#-honorexiforientation".
void preprocess_script(char *script);
// Blend weights of "#-blendweight " for images 0, 1, ... in turn, clamped
// to 0..INT_MAX.
void read_blend_priorities(const char *script, image_desc *images, int count);
// Removes and frees the images that "#-imginactive " names (0-based;
// indices outside the array are ignored) and returns the new count;
// *images becomes a new array. When no image is left the run ends.
int remove_inactive_images(const char *script, image_desc **images, int count);
// qsort order of ints from high to low.
int cmp_int(const void *a, const void *b);
