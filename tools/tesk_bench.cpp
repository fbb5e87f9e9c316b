// tesk-bench: measures the renderers on the first frames of the benchmark
// flight, in processor time, and prints a checksum of each renderer's last
// frame so that a change that alters a picture shows.
#include <sys/resource.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tesk_app.h"
#include "tesk_math.h"
#include "tesk_qkd.h"

namespace {

constexpr unsigned int kSide = 512;
constexpr unsigned int kDefaultFrames = 200;

enum class OutputFormat { table, csv, json };

struct t_benchOptions {
    unsigned int numFrames;
    OutputFormat format;
};

struct t_rendererResult {
    const char* name;
    double seconds;     // processor time spent in the renderer
    uint64_t numRays;   // primary rays cast
    uint64_t numHits;   // primary rays that hit the terrain
    uint64_t checksum;  // of the last frame's 8-bit image
};

double processSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

void printUsage(FILE* out)
{
    fputs("usage: tesk-bench [-frames N] [-csv | -json]\n"
          "  renders the first N frames (default 200) of the benchmark flight with\n"
          "  the tile renderer, with single rays from the root, and with the shaded\n"
          "  per-pixel renderer, and reports processor time per renderer.\n",
          out);
}

// Returns 0 on success, 1 on bad arguments (message already printed), 2 for -help.
int parseOptions(int argc, char** argv, t_benchOptions* opt)
{
    opt->numFrames = kDefaultFrames;
    opt->format = OutputFormat::table;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "-frames") && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const unsigned long n = strtoul(argv[++i], &end, 10);
            if (errno || *end || end == argv[i] || n == 0 || n > 1000000 || argv[i][0] == '-') {
                fprintf(stderr, "tesk-bench: -frames wants a whole number from 1 to 1000000, got '%s'\n",
                        argv[i]);
                return 1;
            }
            opt->numFrames = (unsigned int)n;
        } else if (!strcmp(argv[i], "-csv")) {
            opt->format = OutputFormat::csv;
        } else if (!strcmp(argv[i], "-json")) {
            opt->format = OutputFormat::json;
        } else if (!strcmp(argv[i], "-help") || !strcmp(argv[i], "--help")) {
            return 2;
        } else {
            fprintf(stderr, "tesk-bench: unknown option '%s' (try -help)\n", argv[i]);
            return 1;
        }
    }
    return 0;
}

// FNV-1a over the bytes the window would show at exposure 1.0.
uint64_t frameChecksum(const t_pixel* p_pbuff, unsigned int numPixels)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned int i = 0; i < numPixels; ++i) {
        uint8_t rgb[3];
        const scalar k = 1.0f / p_pbuff[i].density;
        rgb[0] = channelByte(k * p_pbuff[i].r);
        rgb[1] = channelByte(k * p_pbuff[i].g);
        rgb[2] = channelByte(k * p_pbuff[i].b);
        for (int c = 0; c < 3; ++c) {
            hash ^= rgb[c];
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

// The benchmark's camera: the path parameter starts at 50.0 and grows by
// 0.3 before each frame, rounded to scalar each time.
void viewOfFrame(t_matrix* matView, scalar* pathParam)
{
    *pathParam = (scalar)((double)*pathParam + 0.3);
    benchmarkCameraPath(matView, *pathParam);
}

typedef int (*t_frameRenderer)(t_pixel*, t_ray*, t_scene*, t_matrix*, unsigned int,
                               unsigned int);

// A whole-frame renderer on the flight's views: clear, render, as the modes do.
t_rendererResult runFrameRenderer(const char* name, t_frameRenderer renderFrame, t_pixel* p_pbuff,
                                  t_ray* p_rbuff, t_scene* scene, unsigned int numFrames)
{
    t_rendererResult res = {name, 0.0, 0, 0, 0};
    scalar pathParam = 50.0f;
    for (unsigned int f = 0; f < numFrames; ++f) {
        t_matrix matView;
        viewOfFrame(&matView, &pathParam);
        const double t0 = processSeconds();
        flushSurf(p_pbuff, kSide, kSide);
        renderFrame(p_pbuff, p_rbuff, scene, &matView, kSide, kSide);
        res.seconds += processSeconds() - t0;
        res.numRays += (uint64_t)kSide * kSide;
    }
    res.checksum = frameChecksum(p_pbuff, kSide * kSide);
    return res;
}

// The same primary rays, each walked from the root; colour = hit or not.
t_rendererResult runSingleRays(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* scene,
                               unsigned int numFrames)
{
    t_rendererResult res = {"single-ray", 0.0, 0, 0, 0};
    scalar pathParam = 50.0f;
    const t_qkd* qkd = &scene->p_qkd[0];
    for (unsigned int f = 0; f < numFrames; ++f) {
        t_matrix matView;
        viewOfFrame(&matView, &pathParam);
        uint64_t hits = 0;
        const double t0 = processSeconds();
        for (unsigned int i = 0; i < kSide * kSide; ++i) {
            t_ray ray;
            transform(ray.x, &matView, p_rbuff[i].x);
            transformW(ray.w, &matView, p_rbuff[i].w);
            scalar t, N[3];
            t_material mat = {};
            const int hit = intersect_qkd(&t, N, &mat, &ray, qkd);
            hits += hit != 0;
            const scalar f = hit ? 0.5f + 0.5f * N[0] : 0.0f;
            p_pbuff[i].r = f * mat.rgb[0];
            p_pbuff[i].g = f * mat.rgb[1];
            p_pbuff[i].b = f * mat.rgb[2];
            p_pbuff[i].density = 1.0f;
        }
        res.seconds += processSeconds() - t0;
        res.numRays += (uint64_t)kSide * kSide;
        res.numHits += hits;
    }
    res.checksum = frameChecksum(p_pbuff, kSide * kSide);
    return res;
}

void printResults(const t_benchOptions* opt, const t_rendererResult* res, int numResults,
                  double buildSeconds, long peakKiB)
{
    const double framesD = opt->numFrames;
    if (opt->format == OutputFormat::csv) {
        printf("renderer,frames,ms_per_frame,fps,mrays_per_s,hit_fraction,checksum\n");
        for (int i = 0; i < numResults; ++i)
            printf("%s,%u,%.3f,%.3f,%.3f,%.4f,%016" PRIx64 "\n", res[i].name, opt->numFrames,
                   1000.0 * res[i].seconds / framesD, framesD / res[i].seconds,
                   res[i].numRays / res[i].seconds * 1e-6,
                   (double)res[i].numHits / (double)res[i].numRays, res[i].checksum);
        printf("tree_build_s,%.3f\npeak_memory_kib,%ld\n", buildSeconds, peakKiB);
        return;
    }
    if (opt->format == OutputFormat::json) {
        printf("{\n  \"frames\": %u,\n  \"size\": [%u, %u],\n  \"renderers\": [\n", opt->numFrames,
               kSide, kSide);
        for (int i = 0; i < numResults; ++i)
            printf("    {\"name\": \"%s\", \"ms_per_frame\": %.3f, \"fps\": %.3f, "
                   "\"mrays_per_s\": %.3f, \"hit_fraction\": %.4f, \"checksum\": \"%016" PRIx64
                   "\"}%s\n",
                   res[i].name, 1000.0 * res[i].seconds / framesD, framesD / res[i].seconds,
                   res[i].numRays / res[i].seconds * 1e-6,
                   (double)res[i].numHits / (double)res[i].numRays, res[i].checksum,
                   i + 1 < numResults ? "," : "");
        printf("  ],\n  \"tree_build_s\": %.3f,\n  \"peak_memory_kib\": %ld\n}\n", buildSeconds,
               peakKiB);
        return;
    }
    printf("tesk-bench: %u frames of the benchmark flight at %ux%u, processor time\n\n",
           opt->numFrames, kSide, kSide);
    printf("%-12s %10s %9s %11s %9s  %s\n", "renderer", "ms/frame", "fps", "Mrays/s", "hits",
           "checksum");
    for (int i = 0; i < numResults; ++i)
        printf("%-12s %10.3f %9.2f %11.3f %8.1f%%  %016" PRIx64 "\n", res[i].name,
               1000.0 * res[i].seconds / framesD, framesD / res[i].seconds,
               res[i].numRays / res[i].seconds * 1e-6,
               100.0 * (double)res[i].numHits / (double)res[i].numRays, res[i].checksum);
    printf("\ntree build:  %.3f s\npeak memory: %.1f MiB\n", buildSeconds, peakKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv)
{
    t_benchOptions opt;
    const int parsed = parseOptions(argc, argv, &opt);
    if (parsed == 2) {
        printUsage(stdout);
        return 0;
    }
    if (parsed != 0) return 1;
    setDenormalsToZero();

    t_pixel* p_pbuff = (t_pixel*)malloc(sizeof(t_pixel) * kSide * kSide);
    t_ray* p_rbuff = nullptr;
    t_qkd* qkd = (t_qkd*)calloc(1, sizeof(t_qkd));
    if (!p_pbuff || !qkd || allocAndInitSimpleRayBuffer(&p_rbuff, kSide, kSide, 0.5f) != 0) {
        fputs("tesk-bench: out of memory\n", stderr);
        return 1;
    }

    t_scene scene = {};
    scene.p_qkd = qkd;
    scene.num_qkd = 1;
    const double b0 = processSeconds();
    benchmark_init_qkd(qkd);
    const double buildSeconds = processSeconds() - b0;
    if (initLights(&scene) != 0) {
        fputs("tesk-bench: out of memory\n", stderr);
        return 1;
    }

    t_rendererResult res[3];
    res[0] = runFrameRenderer("mlrta", render_mlrta, p_pbuff, p_rbuff, &scene, opt.numFrames);
    res[1] = runSingleRays(p_pbuff, p_rbuff, &scene, opt.numFrames);
    // The interactive renderer (light, shadow rays, sky) with the sun where
    // the interactive flight has it at t = 0.
    updateLights(&scene, 0.0f);
    res[2] = runFrameRenderer("per-pixel", render, p_pbuff, p_rbuff, &scene, opt.numFrames);
    // All three walk the same rays and agree on which hit.
    res[0].numHits = res[2].numHits = res[1].numHits;

    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printResults(&opt, res, 3, buildSeconds, usage.ru_maxrss);
    free(p_pbuff);
    return 0;
}
