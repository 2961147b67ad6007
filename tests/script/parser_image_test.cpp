// Image records read from the o-lines of fixture scripts.
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "testutil.h"

#include <gtest/gtest.h>

namespace
{

std::string rect(const char *tag, const irectangle &r)
{
    return std::string(" ") + tag + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
           std::to_string(r.width) + "," + std::to_string(r.height);
}

// What the parser filled in; defaults (no crop, selection, circle, shift,
// weight 100) are left out, names are relative to dir.
std::string dump(const image_desc &d, const std::string &dir)
{
    std::string name = d.name;
    if (name.compare(0, dir.size(), dir) == 0)
        name.erase(0, dir.size());
    std::string s =
        name + " " + std::to_string(d.width) + "x" + std::to_string(d.height) + rect("src", d.src_rect);
    if (d.crop_rect.width)
        s += rect("crop", d.crop_rect);
    if (d.select_rect.width)
        s += rect("sel", d.select_rect);
    s += d.is_circle ? " circle" : "";
    s += d.wrap_shift ? " shift" + std::to_string(d.wrap_shift) : "";
    s += d.blend_weight != 100 ? " weight" + std::to_string(d.blend_weight) : "";
    for (int i = 0; d.stack[i].func >= 0; i += 1 + remap_data_size[d.stack[i].func])
        s += " " + std::to_string(d.stack[i].func);
    return s;
}

// The images of a script (p-line added) as the entry reads them.
std::vector<std::string> parse(const std::string &olines, bool vtx = false)
{
    static const std::string dir = scratch_dir() + "/";
    write_file(dir + "a.ppm", "P6\n100 80\n255\n" + std::string(100 * 80 * 3, '\0'));
    std::string script = "p f2 w1000 h500 v360\n" + olines;
    int version = vantorix_fileversion;
    if (vtx)
        preprocess_script(script.data());
    image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * 8));
    int count = 0;
    while (count < 8 && parser_get_image(dir.c_str(), script.c_str(), "p f2 w1000 h500 v360", count + 1,
                                         &images[count]) == 0)
        count++;
    if (vtx) {
        read_blend_priorities(script.c_str(), images, count);
        count = remove_inactive_images(script.c_str(), &images, count);
    }
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) {
        out.push_back(dump(images[i], dir));
        free_image_desc(&images[i]);
    }
    aligned_free(images);
    set_global_image_params(nullptr);
    vantorix_fileversion = version;
    return out;
}

TEST(ParserImage, ParseDumps)
{
    const std::string name = "my photos/" + std::string(600, 'x') + ".tif";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        // Size from the file, from the line (wins), -1 is "not given".
        {"o na.ppm f0 v60\no w200 h150 nno.jpg f3 v120 y90\no na.ppm w50 h40\no na.ppm w-1 h30",
         {"a.ppm 100x80 src0,0,100,80 17 9", "no.jpg 200x150 src0,0,200,150 shift250 17 12",
          "a.ppm 50x40 src0,0,50,40 17 9", "a.ppm 100x80 src0,0,100,80 17 9"}},
        // "#-imgfile" n gives image n all three when its o-line lacks one.
        {"o na.ppm w100 h80\no f2 v180 p-90\n#-imgfile 1 1 \"x\"\n#-imgfile 300 200 \"" + name + "\"",
         {"a.ppm 100x80 src0,0,100,80 17 9", name + " 300x200 src0,0,300,200 circle 17 8 12"}},
        {"o n/abs/x.jpg w10 h10 f10 v170\no nC:x.jpg w10 h10 f4 v400",
         {"/abs/x.jpg 10x10 src0,0,10,10 circle 17 13", "C:x.jpg 10x10 src0,0,10,10 17 11"}},
        // Crops inside, across the left edge, past the right edge, across
        // top and bottom, the Part's case, and one that does not scan.
        {"o na.ppm C10,60,5,45\no na.ppm C-10,50,0,80\no na.ppm C50,150,0,80\no na.ppm C0,100,-20,100",
         {"a.ppm 50x40 src0,0,50,40 crop10,5,50,40 17 9", "a.ppm 60x80 src10,0,50,80 crop-10,0,60,80 17 9",
          "a.ppm 100x80 src0,0,50,80 crop50,0,100,80 17 9",
          "a.ppm 100x120 src0,20,100,80 crop0,-20,100,120 17 9"}},
        {"o w1000 h800 nx.jpg C-100,1100,0,800\no na.ppm C10,20",
         {"x.jpg 1200x800 src100,0,1000,800 crop-100,0,1200,800 17 9", "a.ppm 100x80 src0,0,100,80 17 9"}},
        {"o na.ppm S10,30,20,60\no na.ppm C-10,50,0,80 S0,30,0,40",
         {"a.ppm 100x80 src10,20,20,40 sel10,20,20,40 17 9",
          "a.ppm 60x80 src10,0,20,40 crop-10,0,60,80 sel0,0,30,40 17 9"}},
        // Without .vtx, the dummy line is an image and f=3 reads as f0.
        {"#-dummyimage\no na.ppm f3 v100\no na.ppm f=3 v50",
         {"a.ppm 100x80 src0,0,100,80 17 12", "a.ppm 100x80 src0,0,100,80 17 9"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.first), c.second) << c.first;
}

TEST(ParserImage, VtxScript)
{
    // The dummy gives f3 and v75 to K=0 references; viewpoint line 1 is the
    // first image's, and its z of 1 counts only above file version 26.
    // Weights go by position before image 1 is removed; -3 and 9 name no
    // image; "75" on the next line is no weight.
    std::string olines = "#-dummyimage\n#-fileversion 30\n#-blendweight 50 0x20 075\n#-imginactive 1 -3 9\n"
                         "#-viewpoint 0 0 1 0 0\no f3 v75 na.ppm\no f=0 v=0 na.ppm\no v=0 nb.jpg w10 h10\n"
                         "o na.ppm f3 v100\no na.ppm\no na.ppm\n#-blendweight -5 99999999999\n75\n";
    EXPECT_EQ(parse(olines, true), (std::vector<std::string>{"a.ppm 100x80 src0,0,100,80 weight50 17 21 8 12",
                                                             "a.ppm 100x80 src0,0,100,80 weight61 17 12",
                                                             "a.ppm 100x80 src0,0,100,80 17 9",
                                                             "a.ppm 100x80 src0,0,100,80 17 9"}));
    EXPECT_EQ(parse("#-blendweight -5 99999999999\n75\no na.ppm\no na.ppm\no na.ppm", true),
              (std::vector<std::string>{"a.ppm 100x80 src0,0,100,80 weight0 17 9",
                                        "a.ppm 100x80 src0,0,100,80 weight2147483647 17 9",
                                        "a.ppm 100x80 src0,0,100,80 17 9"}));
}

} // namespace
