// Scripts read into the image records, and the values the parser refuses or
// clamps. Panorama sizes, caps and the other refusals are run end to end.
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

std::string rect(const char *tag, const irectangle &r)
{
    return std::string(" ") + tag + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
           std::to_string(r.width) + "," + std::to_string(r.height);
}

// What the parser filled in, defaults left out, the name relative to dir.
std::string dump(const image_desc &d, const std::string &dir)
{
    std::string s = std::string(d.name).substr(strncmp(d.name, dir.c_str(), dir.size()) ? 0 : dir.size()) +
                    " " + std::to_string(d.width) + "x" + std::to_string(d.height);
    if (d.src_rect.x || d.src_rect.y || d.src_rect.width != d.width || d.src_rect.height != d.height)
        s += rect("src", d.src_rect);
    s += d.crop_rect.width ? rect("crop", d.crop_rect) : "";
    s += d.select_rect.width ? rect("sel", d.select_rect) : "";
    s += d.is_circle ? " circle" : "";
    s += d.wrap_shift ? " shift" + std::to_string(d.wrap_shift) : "";
    s += d.blend_weight != 100 ? " weight" + std::to_string(d.blend_weight) : "";
    for (int i = 0; d.stack[i].func >= 0; i += 1 + remap_data_size[d.stack[i].func])
        s += " " + std::to_string(d.stack[i].func);
    return s;
}

// The images of o-lines as a .vtx script's.
std::string read(const std::string &script)
{
    const char *pline = "p f2 w1000 h500 v360";
    static const std::string dir = scratch_dir() + "/";
    write_file(dir + "a.ppm", "P6\n100 80\n255\n" + std::string(100 * 80 * 3, '\0'));
    std::string text = pline + ("\n" + script);
    int version = vantorix_fileversion;
    preprocess_script(text.data());
    image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * 8));
    int count = 0;
    while (count < 8 && parser_get_image(dir.c_str(), text.c_str(), pline, count + 1, &images[count]) == 0)
        count++;
    read_blend_priorities(text.c_str(), images, count);
    count = remove_inactive_images(text.c_str(), &images, count);
    std::string out;
    for (int i = 0; i < count; i++) {
        out += (i ? "; " : "") + dump(images[i], dir);
        free_image_desc(&images[i]);
    }
    aligned_free(images);
    set_global_image_params(nullptr);
    vantorix_fileversion = version;
    return out;
}

// Rows expecting a line end are refused with that message.
TEST(ParserImage, ScriptsGiveTheirRecords)
{
    const std::string name = "my photos/" + std::string(600, 'x') + ".tif";
    const std::pair<std::string, std::string> cases[] = {
        // Size from the file, from the line (wins), -1 is "not given".
        {"o na.ppm f0 v60\no w200 h150 nno.jpg f3 v120 y90\no na.ppm w50 h40\no na.ppm w-1 h30",
         "a.ppm 100x80 17 9; no.jpg 200x150 shift250 17 12; a.ppm 50x40 17 9; a.ppm 100x80 17 9"},
        // "#-imgfile" n gives image n all three, a name of any length.
        {"o na.ppm w100 h80\no f2 v180 p-90\n#-imgfile 1 1 \"x\"\n#-imgfile 300 200 \"" + name + "\"",
         "a.ppm 100x80 17 9; " + name + " 300x200 circle 17 8 12"},
        // The usable part of a crop is where the file lies inside it.
        {"o na.ppm C10,60,5,45\no na.ppm C-10,50,0,80\no na.ppm C50,150,0,80",
         "a.ppm 50x40 crop10,5,50,40 17 9; a.ppm 60x80 src10,0,50,80 crop-10,0,60,80 17 9; "
         "a.ppm 100x80 src0,0,50,80 crop50,0,100,80 17 9"},
        {"o na.ppm C0,100,-20,100\no na.ppm C10,20\no na.ppm S10,30,20,60\no na.ppm C-10,50,0,80 S0,30,0,40",
         "a.ppm 100x120 src0,20,100,80 crop0,-20,100,120 17 9; a.ppm 100x80 17 9; "
         "a.ppm 100x80 src10,20,20,40 sel10,20,20,40 17 9; a.ppm 60x80 src10,0,20,40 crop-10,0,60,80 "
         "sel0,0,30,40 17 9"},
        {"o na.ppm C-2000000000,2000000000,0,10", "Script-error: image 1 has invalid size 2147483647x10.\n"},
        // The dummy gives f3 and v75 to K=0 references; viewpoint line 1 is
        // the first image's, its z counting only above file version 26.
        // Weights go by position before image 1 is removed and are clamped;
        // -3 and 9 name no image, a word ends the list, and "75" on the next
        // line is no weight.
        {"#-dummyimage\n#-fileversion 30\n#-blendweight 50 0x20 -5 99999999999\n75\n"
         "#-imginactive 1 -3 9 x 0\n#-viewpoint 0 0 1 0 0\no f3 v75 na.ppm\no f=0 v=0 na.ppm\n"
         "o v=0 nb.jpg w10 h10\no na.ppm f3 v100\no na.ppm\no na.ppm",
         "a.ppm 100x80 weight50 17 21 8 12; a.ppm 100x80 weight0 17 12; a.ppm 100x80 weight2147483647 17 9; "
         "a.ppm 100x80 17 9"},
    };
    for (const auto &[script, expected] : cases) {
        if (expected.back() == '\n')
            EXPECT_EXIT(read(script), ::testing::ExitedWithCode(1), expected + "$") << script;
        else
            EXPECT_EQ(read(script), expected) << script;
    }
}

} // namespace
