// Classic little-endian TIFF files written field by field, for damaged and
// hostile inputs: sizes the data cannot hold, strips past the end, fields
// that libtiff would not write.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

enum { FIELD_SHORT = 3, FIELD_LONG = 4 };

struct tiff_entry {
    uint16_t tag, type; // FIELD_SHORT or FIELD_LONG
    std::vector<uint32_t> values;
};

// The header, `data` from offset 8 on (strip and tile offsets count from the
// start of the file), the directory, then the values too long for an entry.
inline std::string craft_tiff(std::vector<tiff_entry> entries, const std::string &data)
{
    auto put = [](std::string &s, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::sort(entries.begin(), entries.end(), [](auto &a, auto &b) { return a.tag < b.tag; });
    const uint32_t ifd = static_cast<uint32_t>(8 + data.size() + data.size() % 2);
    std::string file = std::string("II*\0", 4), tail;
    put(file, ifd, 4);
    file += data;
    file.resize(ifd, '\0');
    put(file, static_cast<uint32_t>(entries.size()), 2);
    for (const tiff_entry &e : entries) {
        std::string values;
        for (uint32_t v : e.values)
            put(values, v, e.type == FIELD_SHORT ? 2 : 4);
        put(file, e.tag | e.type << 16, 4);
        put(file, static_cast<uint32_t>(e.values.size()), 4);
        if (values.size() > 4) {
            put(file, ifd + 6 + 12 * static_cast<uint32_t>(entries.size()) + uint32_t(tail.size()), 4);
            tail += values;
        } else
            file += values + std::string(4 - values.size(), '\0');
    }
    put(file, 0, 4); // no next directory
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

// The fields with the entries of changes' tags replaced or added.
inline std::vector<tiff_entry> with(std::vector<tiff_entry> f, const std::vector<tiff_entry> &changes)
{
    for (const tiff_entry &e : changes) {
        std::erase_if(f, [&](const tiff_entry &x) { return x.tag == e.tag; });
        f.push_back(e);
    }
    return f;
}
