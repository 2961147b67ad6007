#include "stitcher/blend/color_image.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>
#include <cstring>

static const char msg_no_memory[] = "Not enough memory.\n";
static const char msg_color_reader[] = "Color reader %x\n";
static const char msg_too_many[] = "A mask image can tell apart only %d images; the script has %d.\n";

enum : uint32_t { CODE_FACTOR = 0x9C2A61, WORD_FACTOR = 0xF89C2A61, CODE_MASK = 0xFFFFFF };

// The odd factor is invertible modulo 2^24, which makes the codes distinct
// and turns the search for a code into one product (Newton's iteration
// doubles the correct low bits each step).
static constexpr uint32_t inverse_of(uint32_t a)
{
    uint32_t x = a;
    for (int i = 0; i < 5; i++)
        x *= 2 - a * x;
    return x;
}
static constexpr uint32_t CODE_INVERSE = inverse_of(CODE_FACTOR);
static_assert(((CODE_FACTOR * CODE_INVERSE) & CODE_MASK) == 1);

uint32_t color_word(int i) { return (static_cast<uint32_t>(i + 1) * WORD_FACTOR) | 0xFF000000u; }

int image_number(uint32_t code)
{
    if (code > CODE_MASK)
        return MASK_NO_CODE;
    uint32_t n = ((code * CODE_INVERSE) & CODE_MASK) - 1; // i + 1 = code / factor
    return n < MASK_IMAGES ? static_cast<int>(n) : MASK_NO_CODE;
}

// ---- colour reader ----

struct color_data {
    uint32_t *row;
};

static void *color_read(image_reader *ir, int, void *buf)
{
    color_data *cd = static_cast<color_data *>(ir->data);
    if (!buf)
        return cd->row;
    memcpy(buf, cd->row, static_cast<size_t>(ir->width) * 4);
    return buf;
}

static int color_close(void *data)
{
    color_data *cd = static_cast<color_data *>(data);
    aligned_free(cd->row);
    aligned_free(cd);
    return 0;
}

image_reader *color_reader(int i, int width, int height)
{
    uint32_t word = color_word(i);
    print_stdout(msg_color_reader, word);
    color_data *cd = static_cast<color_data *>(checked_malloc(sizeof(color_data)));
    cd->row = static_cast<uint32_t *>(checked_malloc(std::max<size_t>(static_cast<size_t>(width), 1) * 4));
    std::fill(cd->row, cd->row + width, word);
    return create_image_reader(1, cd, width, height, uchar_RGBA, color_read, color_close);
}

// ---- mask image ----

image_number_mask *read_mask(image_reader *ir)
{
    // the assertion's text is fixed
    // clang-format off
    kassert(get_bytes_per_channel( ir->pixformat ) == 1);
    // clang-format on
    int64_t size;
    if (!checked_mul(ir->width, ir->height, &size))
        print_error(msg_no_memory);
    image_number_mask *mask = static_cast<image_number_mask *>(checked_malloc(sizeof(image_number_mask)));
    *mask = {1, ir->width, ir->height, -1, static_cast<uint64_t>(size), nullptr, 100, 0};
    mask->bytes =
        static_cast<unsigned char *>(checked_malloc(std::max<size_t>(static_cast<size_t>(size), 1)));
    size_t step = static_cast<size_t>(get_bytes_per_pixel(ir->pixformat));
    uint32_t last_color = 0;
    unsigned char last_number = MASK_NO_CODE;
    for (int y = 0; y < ir->height; y++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, y, nullptr));
        unsigned char *out = mask->bytes + static_cast<size_t>(y) * static_cast<size_t>(ir->width);
        for (int x = 0; x < ir->width; x++, p += step) {
            uint32_t u = p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
            if (u != last_color) {
                last_color = u;
                last_number = static_cast<unsigned char>(image_number(u));
            }
            out[x] = last_number;
        }
    }
    return mask;
}

void free_mask(image_number_mask *mask)
{
    if (!mask)
        return;
    aligned_free(mask->bytes);
    aligned_free(mask);
}

void check_mask_images(const image_number_mask *mask, int nimages)
{
    if (mask && nimages > MASK_IMAGES)
        print_error(msg_too_many, MASK_IMAGES, nimages);
}

// ---- mask override ----

struct mask_data {
    image_reader *source;
    int32_t k;
    const image_number_mask *mask;
    irectangle rect;
};

// The mask byte at panorama pixel (x, y); no code outside the mask. An
// overlap across a wrapping panorama's seam runs past its last column.
static int mask_at(const image_number_mask *mask, int64_t x, int64_t y)
{
    if (mask->wrap > 0)
        x = (x % mask->wrap + mask->wrap) % mask->wrap;
    if (x < 0 || y < 0 || x >= mask->width || y >= mask->height)
        return MASK_NO_CODE;
    return mask->bytes[y * mask->width + x];
}

static void *mask_read(image_reader *ir, int r, void *buf)
{
    kassert(buf != NULL);
    mask_data *md = static_cast<mask_data *>(ir->data);
    const float *s = static_cast<const float *>(read_row(md->source, r, nullptr));
    float *out = static_cast<float *>(buf);
    memcpy(out, s, static_cast<size_t>(ir->width) * sizeof(float));
    if (r >= md->rect.height)
        return buf;
    int n = std::min(md->rect.width, ir->width);
    int64_t y = int64_t(md->rect.y) + r;
    for (int x = 0; x < n; x++) {
        int b = mask_at(md->mask, int64_t(md->rect.x) + x, y);
        // "No code" stays the seam's choice whatever k is (caps are numbered
        // past the images).
        if (b == MASK_NO_CODE)
            continue;
        if (b == md->k)
            out[x] = 255.0f;
        else if (b < md->k)
            out[x] = 0.0f;
    }
    return buf;
}

static int mask_close(void *data)
{
    mask_data *md = static_cast<mask_data *>(data);
    close_image_reader(md->source);
    aligned_free(md);
    return 0;
}

image_reader *mask_reader(image_reader *ir, int k, const image_number_mask *mask, irectangle rect)
{
    kassert(ir->pixformat == float_G);
    if ((ir->type & 3) != (static_cast<uint32_t>(mask->kind) & 3))
        assertion_failed("(ir->type & 3) == (mask->type & 3)", __FILE__, __LINE__);
    connect_reader(ir);
    mask_data *md = static_cast<mask_data *>(checked_malloc(sizeof(mask_data)));
    *md = {ir, k, mask, rect};
    image_reader *inner =
        create_image_reader(ir->type, md, ir->width, ir->height, float_G, mask_read, mask_close);
    return buffered_reader_2(inner, 20);
}
