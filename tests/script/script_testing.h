// Reading whole scripts in tests the way the entry reads them.
#pragma once
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace scripttest
{

// A P6 file of the size (black).
inline void write_ppm(const std::string &path, int width, int height)
{
    write_file(path, "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" +
                         std::string(size_t(width) * height * 3, '\0'));
}

inline std::string rect(const irectangle &r)
{
    return "{" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height) + "}";
}

// text as a death-test pattern that matches it literally.
inline std::string literally(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (std::string(".[]{}()*+?^$|\\").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// One line per record: what the parser filled in, names relative to dir.
inline std::string dump(const image_desc &d, const std::string &dir)
{
    std::string name = d.name ? d.name : "(null)";
    if (name.compare(0, dir.size(), dir) == 0)
        name = name.substr(dir.size());
    std::string s = name + " " + std::to_string(d.width) + "x" + std::to_string(d.height) + " src" +
                    rect(d.src_rect) + " crop" + rect(d.crop_rect) + " sel" + rect(d.select_rect) +
                    " circle" + std::to_string(d.is_circle) + " shift" + std::to_string(d.wrap_shift) +
                    " weight" + std::to_string(d.blend_weight) + " steps";
    for (int i = 0; d.stack[i].func >= 0; i += 1 + remap_data_size[d.stack[i].func])
        s += " " + std::to_string(d.stack[i].func);
    return s;
}

// The parser state a script leaves behind, put back for the next test.
struct parser_state_guard {
    int version = vantorix_fileversion;
    ~parser_state_guard()
    {
        vantorix_fileversion = version;
        set_global_image_params(nullptr);
    }
};

// Every image of the script as the entry reads them (the .vtx lines
// applied when vtx is set), dumped; the records are freed.
inline std::vector<std::string> parse_images(std::string script, const std::string &dir, bool vtx = false)
{
    parser_state_guard guard;
    if (vtx)
        preprocess_script(script.data());
    char *pline = parser_read_script_line(script.c_str(), "p", 1);
    std::vector<image_desc> images;
    image_desc d;
    for (int n = 1; parser_get_image(dir.c_str(), script.c_str(), pline, n, &d) == 0; n++)
        images.push_back(d);
    int count = static_cast<int>(images.size());
    image_desc *array = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * (images.size() + 1)));
    std::copy(images.begin(), images.end(), array);
    if (vtx) {
        read_blend_priorities(script.c_str(), array, count);
        count = remove_inactive_images(script.c_str(), &array, count);
    }
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) {
        out.push_back(dump(array[i], dir));
        free_image_desc(&array[i]);
    }
    aligned_free(array);
    aligned_free(pline);
    return out;
}

} // namespace scripttest
