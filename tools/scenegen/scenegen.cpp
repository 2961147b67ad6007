// scenegen: writes a synthetic scene to stitch: an equirectangular master of
// a procedural world, photos rendered from it and the project script that
// places them. Every file written is reported on standard output as one line
// of key=value pairs.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pthreads.h"
#include "tools/scenegen/image_out.h"
#include "tools/scenegen/script.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <getopt.h>
#include <string>

static const char usage_text[] =
    "usage: scenegen PRESET [options]\n"
    "  --out DIR            folder of every file (default .; made when missing)\n"
    "  --seed N             seed of the texture (default 1)\n"
    "  --scale F            master and photo sizes times F, same layout (default 1)\n"
    "  --pano-scale F       panorama width and height times F, same photos (default 1)\n"
    "  --format ppm|tif|jpg photos' file format (default: the preset's)\n"
    "  --quality Q          JPEG quality of the photos (default: the preset's, 95)\n"
    "  --master-format ppm|tif  the master's and reference's format (default ppm)\n"
    "  --texture detail|smooth|flat[:LEVEL]  (default: the preset's)\n"
    "  --gain G             brightness factor of the seam scene's second photo (default 1.5)\n"
    "  --photos N           the many scene's photo count (default 600)\n"
    "  --brackets N         every photo's o-line N times in a row, as an exposure bracket (default 1)\n"
    "  --pano-format TEXT   the p-line's n\"...\" text (default: the preset's, TIFF)\n"
    "  --interpolator I     the m-line's i (default 0)\n"
    "  --script NAME        the script's file name (default scene.txt)\n"
    "  --threads N          rendering threads (default: one per processor)\n"
    "  --self-check         also stitch the photos back with the generator's own model\n"
    "                       into selfcheck.ppm (RGBA): the bound a stitcher can reach\n"
    "presets:\n";

struct run_options {
    std::string preset, out = ".", script = "scene.txt", texture, pano_format;
    unsigned long long seed = 1;
    scene_options scene;
    int brackets = 1;
    int format = -1, quality = -1, master_format = FORMAT_PPM, interpolator = 0, threads = 1, self_check = 0;
};

[[noreturn]] static void usage(int status)
{
    fputs(usage_text, status ? stderr : stdout);
    for (int i = 0; scene_presets[i][0]; i++)
        fprintf(status ? stderr : stdout, "  %-9s %s\n", scene_presets[i][0], scene_presets[i][1]);
    exit(status);
}

static double positive_number(const char *text)
{
    char *end;
    double v = strtod(text, &end);
    if (*end || !(v > 0))
        usage(2);
    return v;
}

static int file_format_option(const char *text)
{
    int f = format_by_name(text);
    if (f < 0)
        usage(2);
    return f;
}

static run_options read_options(int argc, char **argv)
{
    enum {
        SEED = 256,
        SCALE,
        PANO_SCALE,
        FORMAT,
        QUALITY,
        MASTER_FORMAT,
        TEXTURE,
        GAIN,
        PHOTOS,
        BRACKETS,
        PANO_FORMAT,
        INTERP,
        SCRIPT,
        THREADS,
        SELF_CHECK,
        OUT,
        HELP
    };
    static const option longopts[] = {{"out", 1, nullptr, OUT},
                                      {"seed", 1, nullptr, SEED},
                                      {"scale", 1, nullptr, SCALE},
                                      {"pano-scale", 1, nullptr, PANO_SCALE},
                                      {"format", 1, nullptr, FORMAT},
                                      {"quality", 1, nullptr, QUALITY},
                                      {"master-format", 1, nullptr, MASTER_FORMAT},
                                      {"texture", 1, nullptr, TEXTURE},
                                      {"gain", 1, nullptr, GAIN},
                                      {"photos", 1, nullptr, PHOTOS},
                                      {"brackets", 1, nullptr, BRACKETS},
                                      {"pano-format", 1, nullptr, PANO_FORMAT},
                                      {"interpolator", 1, nullptr, INTERP},
                                      {"script", 1, nullptr, SCRIPT},
                                      {"threads", 1, nullptr, THREADS},
                                      {"self-check", 0, nullptr, SELF_CHECK},
                                      {"help", 0, nullptr, HELP},
                                      {nullptr, 0, nullptr, 0}};
    run_options o;
    o.threads = static_cast<int>(std::max(1L, zsysconf(ZSC_NPROCESSORS)));
    for (int c; (c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1;) {
        switch (c) {
        case OUT:
            o.out = optarg;
            break;
        case SEED:
            o.seed = strtoull(optarg, nullptr, 0);
            break;
        case SCALE:
            o.scene.scale = positive_number(optarg);
            break;
        case PANO_SCALE:
            o.scene.pano_scale = positive_number(optarg);
            break;
        case FORMAT:
            o.format = file_format_option(optarg);
            break;
        case QUALITY:
            o.quality = static_cast<int>(positive_number(optarg));
            break;
        case MASTER_FORMAT:
            o.master_format = file_format_option(optarg);
            break;
        case TEXTURE:
            o.texture = optarg;
            break;
        case GAIN:
            o.scene.gain = positive_number(optarg);
            break;
        case PHOTOS:
            o.scene.photos = static_cast<int>(positive_number(optarg));
            break;
        case BRACKETS:
            o.brackets = static_cast<int>(positive_number(optarg));
            break;
        case PANO_FORMAT:
            o.pano_format = optarg;
            break;
        case INTERP:
            o.interpolator = atoi(optarg);
            break;
        case SCRIPT:
            o.script = optarg;
            break;
        case THREADS:
            o.threads = static_cast<int>(positive_number(optarg));
            break;
        case SELF_CHECK:
            o.self_check = 1;
            break;
        case 'h':
        case HELP:
            usage(0);
        default:
            usage(2);
        }
    }
    if (optind != argc - 1 || o.master_format == FORMAT_JPEG || o.quality > 100)
        usage(2);
    o.preset = argv[optind];
    return o;
}

// Applies the --texture text to the scene; false when it names no texture.
static bool set_texture(scene *sc, const std::string &text)
{
    if (text == "detail" || text == "smooth") {
        sc->texture_kind = text == "detail" ? TEXTURE_DETAIL : TEXTURE_SMOOTH;
        return true;
    }
    if (text.rfind("flat", 0) != 0 || (text.size() > 4 && text[4] != ':'))
        return false;
    sc->texture_kind = TEXTURE_FLAT;
    if (text.size() > 5)
        sc->flat = atof(text.c_str() + 5);
    return true;
}

static void write_text(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        print_error("Could not write %s.\n", path.c_str());
    bool complete = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !complete)
        print_error("Could not write %s.\n", path.c_str());
}

static const char *texture_name(int kind)
{
    return kind == TEXTURE_DETAIL ? "detail" : kind == TEXTURE_SMOOTH ? "smooth" : "flat";
}

// Everything a run makes, in the order it is made.
struct scene_job {
    run_options opt;
    scene sc;
    std::string dir, master_name;
    master_image master;
    std::vector<std::string> names; // of the photos, as the script gives them
    std::vector<photo> photos;
    std::vector<std::vector<unsigned char>> kept; // the photos' pixels, for the self-check only
};

static void set_up(scene_job *job)
{
    const run_options &o = job->opt;
    scene &sc = job->sc;
    if (!make_scene(o.preset, &o.scene, &sc) || (!o.texture.empty() && !set_texture(&sc, o.texture)))
        usage(2);
    if (o.format >= 0)
        sc.photo_format = o.format;
    if (o.quality > 0)
        sc.quality = o.quality;
    if (!o.pano_format.empty())
        sc.pano_format = o.pano_format;
    sc.brackets = o.brackets;
    std::error_code ec; // a folder that cannot be made fails at the first file
    std::filesystem::create_directories(o.out, ec);
    job->dir = o.out + "/";
}

static void write_master(scene_job *job)
{
    const scene &sc = job->sc;
    texture tex = make_texture(sc.texture_kind, job->opt.seed, sc.master_width, sc.flat);
    job->master = make_master(&tex, sc.master_width, job->opt.threads);
    const master_image &m = job->master;
    job->master_name = std::string("master") + format_suffix(job->opt.master_format);
    write_image(job->dir + job->master_name, m.width, m.height, 3, job->opt.master_format, 0,
                [&](int y) { return &m.rgb[size_t(y) * m.width * 3]; });
    printf("master file=%s width=%d height=%d texture=%s seed=%llu\n", (job->dir + job->master_name).c_str(),
           m.width, m.height, texture_name(sc.texture_kind), job->opt.seed);
}

static void write_photos(scene_job *job)
{
    const scene &sc = job->sc;
    const master_image &m = job->master;
    for (size_t i = 0; i < sc.shots.size(); i++) {
        const shot &s = sc.shots[i];
        char name[32];
        snprintf(name, sizeof name, "photo-%02zu%s", i + 1, format_suffix(sc.photo_format));
        photo p = shot_photo(&s);
        std::vector<unsigned char> pixels = render_photo(&m, &p, job->opt.threads);
        write_image(job->dir + name, s.width, s.height, 3, sc.photo_format, sc.quality,
                    [&](int y) { return &pixels[size_t(y) * s.width * 3]; });
        printf("photo file=%s width=%d height=%d f=%d v=%s y=%s p=%s r=%s gain=%s subsamples=%d",
               (job->dir + name).c_str(), s.width, s.height, oline_code(s.projection, s.circular),
               number_text(s.hfov).c_str(), number_text(s.yaw).c_str(), number_text(s.pitch).c_str(),
               number_text(s.roll).c_str(), number_text(s.gain).c_str(), supersampling(&p, m.width));
        if (s.copy && sc.reference != REF_NONE) // where the copy lies in the panorama
            printf(" pano_x=%d pano_y=%d", (s.copy_x - sc.window_x + m.width) % m.width,
                   s.copy_y - sc.window_y);
        printf("\n");
        job->names.push_back(name);
        job->photos.push_back(p);
        if (job->opt.self_check)
            job->kept.push_back(std::move(pixels));
    }
}

static void write_reference(scene_job *job)
{
    const scene &sc = job->sc;
    const master_image &m = job->master;
    std::string reference;
    if (sc.reference == REF_MASTER)
        reference = job->dir + job->master_name;
    else if (sc.reference == REF_PHOTO)
        reference = job->dir + job->names[0];
    else if (sc.reference == REF_WINDOW) {
        reference = job->dir + "reference" + format_suffix(job->opt.master_format);
        write_image(reference, sc.pano_width, sc.pano_height, 3, job->opt.master_format, 0,
                    [&](int y) { return &m.rgb[(size_t(sc.window_y + y) * m.width + sc.window_x) * 3]; });
    }
    if (!reference.empty())
        printf("reference file=%s\n", reference.c_str());
}

static void write_script(scene_job *job)
{
    const scene &sc = job->sc;
    const run_options &o = job->opt;
    char about[160];
    snprintf(about, sizeof about, "scenegen %s: seed %llu, texture %s, master %s (%d x %d)", o.preset.c_str(),
             o.seed, texture_name(sc.texture_kind), job->master_name.c_str(), job->master.width,
             job->master.height);
    write_text(job->dir + o.script, scene_script(&sc, job->names, about, o.interpolator));
    printf("script file=%s pano_f=%d pano_width=%d pano_height=%d pano_v=%s photos=%zu\n",
           (job->dir + o.script).c_str(), pline_code(sc.pano_projection), sc.pano_width, sc.pano_height,
           number_text(sc.pano_hfov).c_str(), sc.shots.size() * static_cast<size_t>(sc.brackets));
    double covered, multiple;
    scene_coverage(&sc, &covered, &multiple);
    printf("coverage covered=%.4f multiple=%.4f\n", covered, multiple);
}

static void self_check(scene_job *job)
{
    camera pano = pano_camera(&job->sc);
    std::vector<const unsigned char *> pixels;
    for (const auto &k : job->kept)
        pixels.push_back(k.data());
    std::vector<unsigned char> out(size_t(pano.width) * pano.height * 4);
    parallel_for(pano.height, job->opt.threads, [&](int y) {
        reproject_row(&pano, job->photos, pixels, y, &out[size_t(y) * pano.width * 4]);
    });
    write_image(job->dir + "selfcheck.ppm", pano.width, pano.height, 4, FORMAT_PPM, 0,
                [&](int y) { return &out[size_t(y) * pano.width * 4]; });
    printf("selfcheck file=%sselfcheck.ppm\n", job->dir.c_str());
}

int main(int argc, char **argv)
{
    scene_job job;
    job.opt = read_options(argc, argv);
    set_up(&job);
    write_master(&job);
    write_photos(&job);
    write_reference(&job);
    write_script(&job);
    if (job.opt.self_check)
        self_check(&job);
    return 0;
}
