// Sources, sinks and the fixture shared by the row-pipeline tests.
#pragma once
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// Every chain test is also a leak test: the chains it builds must all be
// released when it ends.
class ChainTest : public ::testing::Test
{
  protected:
    int start_count = 0;
    void SetUp() override { start_count = image_reader_count; }
    void TearDown() override { EXPECT_EQ(image_reader_count, start_count) << "a reader was not released"; }
};

typedef std::vector<unsigned char> bytes;

// An image held in memory. Its reader serves rows from the image itself
// (copied into a caller buffer when given) and counts reads and closes.
struct mem_image {
    int width = 0, height = 0;
    uint32_t fmt = uchar_RGB;
    bytes pixels;
    std::vector<int> reads;
    int closes = 0;
    int close_status = 0;

    mem_image(int w, int h, uint32_t f) : width(w), height(h), fmt(f)
    {
        pixels.resize(row_bytes() * static_cast<size_t>(h));
        for (size_t i = 0; i < pixels.size(); i++)
            pixels[i] = static_cast<unsigned char>(i * 7 + 3);
        reads.assign(static_cast<size_t>(h), 0);
    }
    size_t row_bytes() const { return static_cast<size_t>(width) * get_bytes_per_pixel(fmt); }
    unsigned char *row(int y) { return pixels.data() + row_bytes() * static_cast<size_t>(y); }
    bytes row_copy(int y) { return bytes(row(y), row(y) + row_bytes()); }
};

inline void *mem_read(image_reader *ir, int n, void *buf)
{
    mem_image *m = static_cast<mem_image *>(ir->data);
    EXPECT_TRUE(n >= 0 && n < m->height) << "row " << n;
    m->reads[static_cast<size_t>(n)]++;
    if (!buf)
        return m->row(n);
    memcpy(buf, m->row(n), m->row_bytes());
    return buf;
}

inline int mem_close(void *data)
{
    mem_image *m = static_cast<mem_image *>(data);
    m->closes++;
    return m->close_status;
}

inline image_reader *mem_reader(mem_image *m)
{
    return create_image_reader(1, m, m->width, m->height, m->fmt, mem_read, mem_close);
}

// A producer for sequential readers: row r holds bytes r * 16 + i, and
// every row it produces is counted.
struct counting_source {
    int width;
    int next = 0;
    std::vector<int> produced;
    int closes = 0;
    explicit counting_source(int w, int h) : width(w), produced(static_cast<size_t>(h), 0) {}
    static unsigned char value(int row, size_t i) { return static_cast<unsigned char>(row * 16 + i); }
};

inline void counting_produce(void *data, void *buf)
{
    counting_source *c = static_cast<counting_source *>(data);
    unsigned char *p = static_cast<unsigned char *>(buf);
    for (size_t i = 0; i < static_cast<size_t>(c->width) * 3; i++)
        p[i] = counting_source::value(c->next, i);
    c->produced[static_cast<size_t>(c->next)]++;
    c->next++;
}

inline int counting_close(void *data)
{
    static_cast<counting_source *>(data)->closes++;
    return 0;
}

inline image_reader *counting_reader(counting_source *c, int height)
{
    return sequential_reader(1, c, c->width, height, uchar_RGB, counting_produce, counting_close);
}

// A writer that keeps what it receives, in order, with its close as a last
// event "close".
struct recording_sink {
    size_t row_bytes = 0;
    std::vector<bytes> rows;
    std::vector<std::string> events;
    int write_status = 0;
};

inline int recording_write(void *data, void *row)
{
    recording_sink *s = static_cast<recording_sink *>(data);
    const unsigned char *p = static_cast<const unsigned char *>(row);
    s->rows.emplace_back(p, p + s->row_bytes);
    s->events.push_back("row");
    return s->write_status;
}

inline int recording_close(void *data)
{
    static_cast<recording_sink *>(data)->events.push_back("close");
    return 0;
}

inline image_writer *recording_writer(recording_sink *s, int width, int height, uint32_t fmt)
{
    s->row_bytes = static_cast<size_t>(width) * get_bytes_per_pixel(fmt);
    return create_virtual_image_writer(width, height, fmt, recording_write, recording_close, s);
}

inline bytes row_of(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    return bytes(b, b + n);
}
