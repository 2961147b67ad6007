// Classic little-endian TIFF files written field by field, for the damaged
// and hostile inputs of the tests and the fuzz seeds: sizes that the data
// cannot hold, strips past the end, fields that libtiff would not write.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

enum { FIELD_SHORT = 3, FIELD_LONG = 4 };

struct tiff_entry {
    uint16_t tag;
    uint16_t type; // FIELD_SHORT or FIELD_LONG
    std::vector<uint32_t> values;
};

inline void put_le(std::string &s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The header, `data` from offset 8 on (strip and tile offsets count from the
// start of the file), then the directory, then the values that do not fit in
// their entries.
inline std::string craft_tiff(std::vector<tiff_entry> entries, const std::string &data)
{
    std::sort(entries.begin(), entries.end(),
              [](const tiff_entry &a, const tiff_entry &b) { return a.tag < b.tag; });
    const uint32_t ifd = static_cast<uint32_t>(8 + data.size() + data.size() % 2);
    uint32_t extra = ifd + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    std::string file = "II*";
    file += '\0';
    put_le(file, ifd, 4);
    file += data;
    file.resize(ifd, '\0');
    put_le(file, static_cast<uint32_t>(entries.size()), 2);
    std::string tail;
    for (const tiff_entry &e : entries) {
        const int size = e.type == FIELD_SHORT ? 2 : 4;
        std::string values;
        for (uint32_t v : e.values)
            put_le(values, v, size);
        put_le(file, e.tag, 2);
        put_le(file, e.type, 2);
        put_le(file, static_cast<uint32_t>(e.values.size()), 4);
        if (values.size() <= 4) {
            values.resize(4, '\0');
            file += values;
        } else {
            put_le(file, extra + static_cast<uint32_t>(tail.size()), 4);
            tail += values;
        }
    }
    put_le(file, 0, 4); // no next directory
    return file + tail;
}

// The fields of an uncompressed contiguous 8-bit image in one strip at offset
// 8, `bytes` long.
inline std::vector<tiff_entry> one_strip_fields(uint32_t width, uint32_t height, uint16_t samples,
                                                uint16_t photometric, uint32_t bytes)
{
    return {{256, FIELD_LONG, {width}},
            {257, FIELD_LONG, {height}},
            {258, FIELD_SHORT, std::vector<uint32_t>(samples, 8)},
            {259, FIELD_SHORT, {1}},
            {262, FIELD_SHORT, {photometric}},
            {273, FIELD_LONG, {8}},
            {277, FIELD_SHORT, {samples}},
            {278, FIELD_LONG, {height}},
            {279, FIELD_LONG, {bytes}}};
}

// Replaces (or adds) the entry of e's tag.
inline void set_entry(std::vector<tiff_entry> &entries, const tiff_entry &e)
{
    for (tiff_entry &x : entries)
        if (x.tag == e.tag) {
            x = e;
            return;
        }
    entries.push_back(e);
}
