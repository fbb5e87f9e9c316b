// tesk-bench: measures the renderers on the first frames of a flight, in
// processor time, and prints a checksum of each renderer's last frame so
// that a change that alters a picture shows. With -peer it also traces the
// same rays with a general-purpose BVH ray tracer (Embree) for comparison.
#include <sys/resource.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tesk_app.h"
#include "tesk_math.h"
#include "tesk_qkd.h"
#include "tesk_qkd_internal.h"
#ifdef TESK_BENCH_PEER
#include "tesk_bench_peer.h"
#endif

namespace {

constexpr unsigned int kDefaultSide = 512;
constexpr unsigned int kMaxSide = 4096;
constexpr unsigned int kDefaultFrames = 200;
constexpr unsigned int kMaxRepeat = 100;
constexpr double kInteractiveStep = 1.0 / 30.0;  // flight seconds per frame
constexpr double kPeerTolerance = 1e-4;          // relative, for t

enum class OutputFormat { table, csv, json };
enum class Flight { benchmark, interactive };

struct t_benchOptions {
    unsigned int numFrames;
    unsigned int side;  // square frame side in pixels
    Flight flight;
    const char* heightmap;  // of the interactive flight
    bool peer;
    OutputFormat format;
    t_qkdPath walk;       // the tree walk's instruction set
    unsigned int repeat;  // runs of every renderer; each reports its fastest
};

const char* const kWalkNames[] = {"plain", "sse2", "avx2", "avx512"};
// The widest instruction set the peer may use with each walk, in Embree's
// names: a ratio then compares code for the same processor. The plain walk
// is the baseline build's.
const char* const kPeerIsas[] = {"sse2", "sse2", "avx2", "avx512"};
static_assert(sizeof kPeerIsas == sizeof kWalkNames, "an instruction set for every walk");

struct t_rendererResult {
    const char* name;
    double seconds;     // processor time spent in the renderer
    uint64_t numRays;   // primary rays cast
    uint64_t numHits;   // primary rays that hit the terrain
    uint64_t checksum;  // of the last frame's 8-bit image
    bool hasChecksum;   // the peer renders no image
};

// What -peer adds to the report.
struct t_peerReport {
    const char* version;
    const char* maxIsa;  // the widest instruction set Embree was allowed
    uint64_t numTriangles;
    double buildSeconds;
    long memoryKiB;     // Embree's own count, peak
    long rssGrowthKiB;  // growth of the process's peak resident memory
    uint64_t numRays;
    uint64_t hitDisagreements;  // one of the two hits, the other misses
    uint64_t bothHit;
    uint64_t tDisagreements;  // both hit, t apart by more than kPeerTolerance
};

struct t_buffers {
    t_pixel* p_pbuff;
    t_ray* p_rbuff;
    scalar* p_t;  // the peer's t per ray
};

const char* flightName(Flight f) { return f == Flight::benchmark ? "benchmark" : "interactive"; }

double processSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

long peakKiB()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void printUsage(FILE* out)
{
    fputs("usage: tesk-bench [-flight benchmark|interactive] [-frames N] [-size SIDE]\n"
          "                  [-heightmap FILE] [-walk PATH] [-repeat R] [-peer]\n"
          "                  [-csv | -json]\n"
          "  renders the first N frames (default 200) of a flight at SIDE x SIDE pixels\n"
          "  (default 512, at most 4096) with the tile renderer, with single rays from\n"
          "  the root and with the shaded per-pixel renderer, and reports processor\n"
          "  time per renderer and a checksum of each renderer's last frame.\n"
          "  -flight benchmark    the benchmark mode's flight over the generated ripple\n"
          "                       map (default); per-pixel lit by the sun of t = 0\n"
          "  -flight interactive  the interactive flight, a frame every 1/30 s of flight\n"
          "                       time, with the sun moving as in tesk, over the\n"
          "                       heightmap FILE (default gimp.plasma.bmp)\n"
          "  -walk PATH           the tree walk's instruction set: plain (the reference\n"
          "                       code), sse2, avx2 or avx512; default the widest this\n"
          "                       processor has. Every one gives the same pictures.\n"
          "  -repeat R            runs every renderer R times (default 1, at most 100),\n"
          "                       taking turns, and reports each one's fastest run, so\n"
          "                       that a busy spell of the machine does not decide a\n"
          "                       ratio; a renderer whose picture changes between runs\n"
          "                       is an error\n"
          "  -peer                also traces the same primary rays with Embree 3 over\n"
          "                       the same triangles, ray by ray and in 2 x 4 packets,\n"
          "                       and reports its build time, memory, time ratios and\n"
          "                       agreement (in builds made with libembree-dev); it\n"
          "                       uses no wider instruction set than the tree walk\n",
          out);
}

int refuse(const char* option, const char* value, const char* want)
{
    fprintf(stderr, "tesk-bench: %s wants %s, got '%s'\n", option, want, value);
    return 1;
}

// A whole number from 1 to max, or 0.
unsigned long wholeNumber(const char* v, unsigned long max)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(v, &end, 10);
    if (errno || *end || end == v || v[0] == '-' || n > max)
        return 0;
    return n;
}

// Returns 0 on success, 1 on bad arguments (message already printed), 2 for -help.
int parseOptions(int argc, char** argv, t_benchOptions* opt)
{
    opt->numFrames = kDefaultFrames;
    opt->side = kDefaultSide;
    opt->flight = Flight::benchmark;
    opt->heightmap = nullptr;
    opt->peer = false;
    opt->format = OutputFormat::table;
    opt->repeat = 1;
    opt->walk = qkd_setPath(QKD_PATH_REFERENCE);  // the best path, restored below
    qkd_setPath(opt->walk);
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool takesValue = !strcmp(arg, "-frames") || !strcmp(arg, "-size") ||
                                !strcmp(arg, "-flight") || !strcmp(arg, "-heightmap") ||
                                !strcmp(arg, "-walk") || !strcmp(arg, "-repeat");
        if (takesValue && i + 1 >= argc) {
            fprintf(stderr, "tesk-bench: %s wants a value (try -help)\n", arg);
            return 1;
        }
        if (!strcmp(arg, "-frames")) {
            const char* v = argv[++i];
            opt->numFrames = (unsigned int)wholeNumber(v, 1000000);
            if (!opt->numFrames)
                return refuse(arg, v, "a whole number from 1 to 1000000");
        } else if (!strcmp(arg, "-size")) {
            const char* v = argv[++i];
            opt->side = (unsigned int)wholeNumber(v, kMaxSide);
            if (!opt->side)
                return refuse(arg, v, "a whole number from 1 to 4096");
        } else if (!strcmp(arg, "-repeat")) {
            const char* v = argv[++i];
            opt->repeat = (unsigned int)wholeNumber(v, kMaxRepeat);
            if (!opt->repeat)
                return refuse(arg, v, "a whole number from 1 to 100");
        } else if (!strcmp(arg, "-flight")) {
            const char* v = argv[++i];
            if (!strcmp(v, "benchmark"))
                opt->flight = Flight::benchmark;
            else if (!strcmp(v, "interactive"))
                opt->flight = Flight::interactive;
            else
                return refuse(arg, v, "benchmark or interactive");
        } else if (!strcmp(arg, "-heightmap")) {
            opt->heightmap = argv[++i];
        } else if (!strcmp(arg, "-walk")) {
            const char* v = argv[++i];
            int path = 0;
            while (path < 4 && strcmp(v, kWalkNames[path]))
                ++path;
            if (path == 4)
                return refuse(arg, v, "plain, sse2, avx2 or avx512");
            if (!qkd_pathRuns((t_qkdPath)path)) {
                fprintf(stderr, "tesk-bench: this processor has no %s\n", v);
                return 1;
            }
            opt->walk = (t_qkdPath)path;
        } else if (!strcmp(arg, "-peer")) {
            opt->peer = true;
        } else if (!strcmp(arg, "-csv")) {
            opt->format = OutputFormat::csv;
        } else if (!strcmp(arg, "-json")) {
            opt->format = OutputFormat::json;
        } else if (!strcmp(arg, "-help") || !strcmp(arg, "--help")) {
            return 2;
        } else {
            fprintf(stderr, "tesk-bench: unknown option '%s' (try -help)\n", arg);
            return 1;
        }
    }
    // The benchmark flight has its own generated map.
    if (opt->heightmap && opt->flight != Flight::interactive) {
        fputs("tesk-bench: -heightmap goes with -flight interactive\n", stderr);
        return 1;
    }
    if (!opt->heightmap)
        opt->heightmap = "gimp.plasma.bmp";
#ifndef TESK_BENCH_PEER
    if (opt->peer) {
        fputs("tesk-bench: -peer is not built in (Embree 3 was not found at build time)\n",
              stderr);
        return 1;
    }
#endif
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

// The camera of a flight, frame by frame.
struct t_flightCursor {
    Flight flight;
    unsigned int frame;  // frames begun
    scalar pathParam;    // of the benchmark path
};

t_flightCursor startFlight(Flight flight) { return t_flightCursor{flight, 0, 50.0f}; }

// The next frame's view; returns the frame's flight time (interactive only).
// The benchmark path parameter starts at 50.0 and grows by 0.3 before each
// frame, rounded to scalar each time, as in the benchmark mode. The
// interactive flight is sampled at a fixed step, so runs are reproducible.
scalar nextView(t_flightCursor* cur, t_scene* scene, t_matrix* matView)
{
    scalar t = 0.0f;
    if (cur->flight == Flight::benchmark) {
        cur->pathParam = (scalar)((double)cur->pathParam + 0.3);
        benchmarkCameraPath(matView, cur->pathParam);
    } else {
        t = (scalar)(cur->frame * kInteractiveStep);
        interactiveCameraPath(matView, t, scene);
    }
    ++cur->frame;
    return t;
}

typedef int (*t_frameRenderer)(t_pixel*, t_ray*, t_scene*, t_matrix*, unsigned int,
                               unsigned int);

// A whole-frame renderer on the flight's views: clear, render, as the modes
// do. With moveSun the sun follows the flight time as in tesk's frame loop.
t_rendererResult runFrameRenderer(const char* name, t_frameRenderer renderFrame, bool moveSun,
                                  const t_benchOptions* opt, const t_buffers* buf,
                                  t_scene* scene)
{
    t_rendererResult res = {name, 0.0, 0, 0, 0, true};
    const unsigned int side = opt->side;
    t_flightCursor cur = startFlight(opt->flight);
    for (unsigned int f = 0; f < opt->numFrames; ++f) {
        t_matrix matView;
        const scalar t = nextView(&cur, scene, &matView);
        const double t0 = processSeconds();
        if (moveSun)
            updateLights(scene, t);
        flushSurf(buf->p_pbuff, (int)side, (int)side);
        renderFrame(buf->p_pbuff, buf->p_rbuff, scene, &matView, side, side);
        res.seconds += processSeconds() - t0;
        res.numRays += (uint64_t)side * side;
    }
    res.checksum = frameChecksum(buf->p_pbuff, side * side);
    return res;
}

// The same primary rays, each walked from the root; colour = hit or not.
t_rendererResult runSingleRays(const t_benchOptions* opt, const t_buffers* buf, t_scene* scene)
{
    t_rendererResult res = {"single-ray", 0.0, 0, 0, 0, true};
    const unsigned int numPixels = opt->side * opt->side;
    t_pixel* p_pbuff = buf->p_pbuff;
    const t_qkd* qkd = &scene->p_qkd[0];
    t_flightCursor cur = startFlight(opt->flight);
    for (unsigned int f = 0; f < opt->numFrames; ++f) {
        t_matrix matView;
        nextView(&cur, scene, &matView);
        uint64_t hits = 0;
        const double t0 = processSeconds();
        for (unsigned int i = 0; i < numPixels; ++i) {
            t_ray ray;
            transform(ray.x, &matView, buf->p_rbuff[i].x);
            transformW(ray.w, &matView, buf->p_rbuff[i].w);
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
        res.numRays += numPixels;
        res.numHits += hits;
    }
    res.checksum = frameChecksum(p_pbuff, numPixels);
    return res;
}

#ifdef TESK_BENCH_PEER
typedef uint64_t (*t_peerTracer)(t_peer*, const t_ray*, const t_matrix*, unsigned int, scalar*);

// Compares the peer's t of one frame with the project's single rays.
void comparePeer(const t_buffers* buf, unsigned int side, const t_matrix* matView,
                 const t_qkd* qkd, t_peerReport* rep)
{
    const unsigned int numPixels = side * side;
    for (unsigned int i = 0; i < numPixels; ++i) {
        t_ray ray;
        transform(ray.x, matView, buf->p_rbuff[i].x);
        transformW(ray.w, matView, buf->p_rbuff[i].w);
        scalar t, N[3];
        t_material mat;
        const bool hit = intersect_qkd(&t, N, &mat, &ray, qkd) != 0;
        const scalar peerT = buf->p_t[i];
        const bool peerHit = std::isfinite(peerT);
        rep->numRays += 1;
        if (hit != peerHit) {
            rep->hitDisagreements += 1;
        } else if (hit) {
            rep->bothHit += 1;
            if (std::fabs((double)peerT - (double)t) > kPeerTolerance * (double)t)
                rep->tDisagreements += 1;
        }
    }
}

// The peer on the flight's views; with rep, checks each frame against the
// project's single rays outside the measured time.
t_rendererResult runPeer(const char* name, t_peerTracer trace, t_peer* peer,
                         const t_benchOptions* opt, const t_buffers* buf, t_scene* scene,
                         t_peerReport* rep)
{
    t_rendererResult res = {name, 0.0, 0, 0, 0, false};
    const unsigned int side = opt->side;
    t_flightCursor cur = startFlight(opt->flight);
    for (unsigned int f = 0; f < opt->numFrames; ++f) {
        t_matrix matView;
        nextView(&cur, scene, &matView);
        const double t0 = processSeconds();
        res.numHits += trace(peer, buf->p_rbuff, &matView, side, buf->p_t);
        res.seconds += processSeconds() - t0;
        res.numRays += (uint64_t)side * side;
        if (rep)
            comparePeer(buf, side, &matView, &scene->p_qkd[0], rep);
    }
    return res;
}

// Builds the peer; nullptr on failure (message already printed).
t_peer* startPeer(const t_benchOptions* opt, t_scene* scene, t_peerReport* rep)
{
    t_peerInfo info;
    rep->maxIsa = kPeerIsas[opt->walk];
    const double b0 = processSeconds();
    t_peer* peer = peerBuild(&scene->p_qkd[0], rep->maxIsa, &info);
    rep->buildSeconds = processSeconds() - b0;
    if (!peer)
        return nullptr;
    rep->version = info.version;
    rep->numTriangles = info.numTriangles;
    rep->memoryKiB = (long)(info.memoryPeakBytes / 1024);
    return peer;
}
#endif

// The light and sky as a run begins, so that every run of -repeat draws the
// same pictures: the per-pixel renderer moves the sun on the interactive
// flight, and each step of the sun starts from the one before.
struct t_lightsAtStart {
    t_scene scene;
    t_dirLight light;
};

t_lightsAtStart saveLights(const t_scene* scene)
{
    return t_lightsAtStart{*scene, *scene->p_dirLights};
}

void restoreLights(t_scene* scene, const t_lightsAtStart* saved)
{
    *scene = saved->scene;
    *scene->p_dirLights = saved->light;
}

// One run's results into the fastest so far. Returns 0, or 1 when a renderer
// drew another picture or counted other hits than in the first run: its
// times would not be of the same work.
int keepFastest(t_rendererResult* best, const t_rendererResult* run, int numResults,
                unsigned int runIndex)
{
    for (int i = 0; i < numResults; ++i) {
        if (run[i].checksum != best[i].checksum || run[i].numHits != best[i].numHits) {
            fprintf(stderr, "tesk-bench: %s gave other results in run %u than in run 1\n",
                    run[i].name, runIndex + 1);
            return 1;
        }
        if (run[i].seconds < best[i].seconds)
            best[i].seconds = run[i].seconds;
    }
    return 0;
}

double msPerFrame(const t_rendererResult* r, unsigned int numFrames)
{
    return 1000.0 * r->seconds / numFrames;
}

// Peer time over project time for one pair of renderers.
double timeRatio(const t_rendererResult* peer, const t_rendererResult* project)
{
    return peer->seconds / project->seconds;
}

// The build that single rays take: on the AVX-512 path, AVX2 unless the
// processor is one where the AVX-512 build pays and has AVX512VL for it.
t_qkdPath singleRayWalk(t_qkdPath walk)
{
    if (walk == QKD_PATH_AVX512 && !qkd_singleRaysTakeAvx512())
        return QKD_PATH_AVX2;
    return walk;
}

void checksumText(char* out, size_t n, const t_rendererResult* r, const char* none)
{
    if (r->hasChecksum)
        snprintf(out, n, "%016" PRIx64, r->checksum);
    else
        snprintf(out, n, "%s", none);
}

// res[0] and res[1] are mlrta and single-ray; the peer's rows, if any,
// follow the project's numProject rows.
void printResults(const t_benchOptions* opt, const t_rendererResult* res, int numResults,
                  int numProject, double buildSeconds, long peakMemKiB, const t_peerReport* peer)
{
    const double framesD = opt->numFrames;
    const unsigned int side = opt->side;
    const bool withPeer = numResults > numProject;
    char sum[24];
    if (opt->format == OutputFormat::csv) {
        printf("renderer,frames,ms_per_frame,fps,mrays_per_s,hit_fraction,checksum\n");
        for (int i = 0; i < numResults; ++i) {
            checksumText(sum, sizeof sum, &res[i], "");
            printf("%s,%u,%.3f,%.3f,%.3f,%.4f,%s\n", res[i].name, opt->numFrames,
                   msPerFrame(&res[i], opt->numFrames), framesD / res[i].seconds,
                   res[i].numRays / res[i].seconds * 1e-6,
                   (double)res[i].numHits / (double)res[i].numRays, sum);
        }
        printf("tree_build_s,%.3f\npeak_memory_kib,%ld\n", buildSeconds, peakMemKiB);
        printf("flight,%s\nsize,%u\nwalk,%s\nsingle_ray_walk,%s\nrepeat,%u\n",
               flightName(opt->flight), side, kWalkNames[opt->walk],
               kWalkNames[singleRayWalk(opt->walk)], opt->repeat);
        if (withPeer) {
            printf("peer_version,%s\npeer_max_isa,%s\npeer_triangles,%" PRIu64
                   "\npeer_build_s,%.3f\npeer_memory_kib,%ld\npeer_rss_growth_kib,%ld\n",
                   peer->version, peer->maxIsa, peer->numTriangles, peer->buildSeconds,
                   peer->memoryKiB, peer->rssGrowthKiB);
            for (int p = numProject; p < numResults; ++p)
                for (int q = 0; q < 2; ++q)
                    printf("ratio_%s_%s,%.3f\n", res[p].name, res[q].name,
                           timeRatio(&res[p], &res[q]));
            printf("peer_rays_compared,%" PRIu64 "\npeer_hit_disagreements,%" PRIu64
                   "\npeer_both_hit,%" PRIu64 "\npeer_t_disagreements,%" PRIu64 "\n",
                   peer->numRays, peer->hitDisagreements, peer->bothHit, peer->tDisagreements);
        }
        return;
    }
    if (opt->format == OutputFormat::json) {
        printf("{\n  \"frames\": %u,\n  \"size\": [%u, %u],\n  \"flight\": \"%s\",\n"
               "  \"repeat\": %u,\n  \"renderers\": [\n",
               opt->numFrames, side, side, flightName(opt->flight), opt->repeat);
        for (int i = 0; i < numResults; ++i) {
            checksumText(sum, sizeof sum, &res[i], "");
            printf("    {\"name\": \"%s\", \"ms_per_frame\": %.3f, \"fps\": %.3f, "
                   "\"mrays_per_s\": %.3f, \"hit_fraction\": %.4f, \"checksum\": %s%s%s}%s\n",
                   res[i].name, msPerFrame(&res[i], opt->numFrames), framesD / res[i].seconds,
                   res[i].numRays / res[i].seconds * 1e-6,
                   (double)res[i].numHits / (double)res[i].numRays,
                   res[i].hasChecksum ? "\"" : "", res[i].hasChecksum ? sum : "null",
                   res[i].hasChecksum ? "\"" : "", i + 1 < numResults ? "," : "");
        }
        printf("  ],\n  \"tree_build_s\": %.3f,\n  \"peak_memory_kib\": %ld%s\n", buildSeconds,
               peakMemKiB, withPeer ? "," : "");
        if (withPeer) {
            printf("  \"peer\": {\"version\": \"%s\", \"max_isa\": \"%s\", \"triangles\": %" PRIu64
                   ", \"build_s\": %.3f, \"memory_kib\": %ld, \"rss_growth_kib\": %ld,\n"
                   "    \"time_ratios\": {",
                   peer->version, peer->maxIsa, peer->numTriangles, peer->buildSeconds,
                   peer->memoryKiB, peer->rssGrowthKiB);
            for (int p = numProject; p < numResults; ++p)
                for (int q = 0; q < 2; ++q)
                    printf("\"%s/%s\": %.3f%s", res[p].name, res[q].name,
                           timeRatio(&res[p], &res[q]),
                           p + 1 < numResults || q < 1 ? ", " : "");
            printf("},\n    \"rays_compared\": %" PRIu64 ", \"hit_disagreements\": %" PRIu64
                   ", \"both_hit\": %" PRIu64 ", \"t_disagreements\": %" PRIu64 "}\n",
                   peer->numRays, peer->hitDisagreements, peer->bothHit, peer->tDisagreements);
        }
        printf("}\n");
        return;
    }
    printf("tesk-bench: %u frames of the %s flight", opt->numFrames, flightName(opt->flight));
    if (opt->flight == Flight::interactive)
        printf(" over %s", opt->heightmap);
    printf(" at %ux%u, processor time", side, side);
    if (opt->repeat > 1)
        printf(", each renderer's fastest of %u runs", opt->repeat);
    printf("\n\n");
    printf("%-12s %10s %9s %11s %9s  %s\n", "renderer", "ms/frame", "fps", "Mrays/s", "hits",
           "checksum");
    for (int i = 0; i < numResults; ++i) {
        checksumText(sum, sizeof sum, &res[i], "-");
        printf("%-12s %10.3f %9.2f %11.3f %8.1f%%  %s\n", res[i].name,
               msPerFrame(&res[i], opt->numFrames), framesD / res[i].seconds,
               res[i].numRays / res[i].seconds * 1e-6,
               100.0 * (double)res[i].numHits / (double)res[i].numRays, sum);
    }
    printf("\ntree walk:   %s", kWalkNames[opt->walk]);
    if (singleRayWalk(opt->walk) != opt->walk)
        printf(", single rays %s", kWalkNames[singleRayWalk(opt->walk)]);
    printf("\n");
    printf("tree build:  %.3f s\npeak memory: %.1f MiB%s\n", buildSeconds, peakMemKiB / 1024.0,
           withPeer ? " (before the peer)" : "");
    if (!withPeer)
        return;
    printf("\npeer: Embree %s, one thread, instruction sets up to %s, %" PRIu64 " triangles\n",
           peer->version, peer->maxIsa, peer->numTriangles);
    printf("  build:  %.3f s\n", peer->buildSeconds);
    printf("  memory: %.1f MiB by Embree's count; peak resident memory grew by %.1f MiB\n",
           peer->memoryKiB / 1024.0, peer->rssGrowthKiB / 1024.0);
    printf("  time per frame, peer / project (above 1: the project is faster)\n");
    printf("    %-12s %9s %11s\n", "", res[0].name, res[1].name);
    for (int p = numProject; p < numResults; ++p)
        printf("    %-12s %9.3f %11.3f\n", res[p].name, timeRatio(&res[p], &res[0]),
               timeRatio(&res[p], &res[1]));
    printf("  %s against single-ray: %" PRIu64 " rays, hit or miss differs on %" PRIu64
           ",\n    t differs by more than %g relative on %" PRIu64 " of %" PRIu64
           " rays that both hit\n",
           res[numProject].name, peer->numRays, peer->hitDisagreements, kPeerTolerance,
           peer->tDisagreements, peer->bothHit);
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
    qkd_setPath(opt.walk);

    const unsigned int side = opt.side;
    t_buffers buf = {};
    buf.p_pbuff = (t_pixel*)malloc(sizeof(t_pixel) * side * side);
    t_qkd* qkd = (t_qkd*)calloc(1, sizeof(t_qkd));
    if (!buf.p_pbuff || !qkd ||
        allocAndInitSimpleRayBuffer(&buf.p_rbuff, side, side, 0.5f) != 0) {
        fputs("tesk-bench: out of memory\n", stderr);
        return 1;
    }
    // Written once before any renderer is timed: the first writes to a fresh
    // buffer fault its pages in, some milliseconds that would otherwise count
    // against whichever renderer comes first.
    flushSurf(buf.p_pbuff, (int)side, (int)side);

    t_scene scene = {};
    scene.p_qkd = qkd;
    scene.num_qkd = 1;
    const double b0 = processSeconds();
    // Either loader ends the process itself on a failure, after its message.
    if (opt.flight == Flight::benchmark)
        benchmark_init_qkd(qkd);
    else
        init_qkd_from(qkd, opt.heightmap);
    const double buildSeconds = processSeconds() - b0;
    if (initLights(&scene) != 0) {
        fputs("tesk-bench: out of memory\n", stderr);
        return 1;
    }

    // The renderers take turns, run after run, so that each sees the
    // machine's busy and quiet spells alike; each row keeps its fastest run.
    const t_lightsAtStart lightsAtStart = saveLights(&scene);
    const bool interactive = opt.flight == Flight::interactive;
    t_rendererResult res[5];
    int numResults = 3;
    long projectPeakKiB = 0;
    t_peerReport peer = {};
#ifdef TESK_BENCH_PEER
    t_peer* rtPeer = nullptr;
    long peerRss0 = 0;
#endif
    for (unsigned int run = 0; run < opt.repeat; ++run) {
        t_rendererResult now[5];
        restoreLights(&scene, &lightsAtStart);
        now[0] = runFrameRenderer("mlrta", render_mlrta, false, &opt, &buf, &scene);
        now[1] = runSingleRays(&opt, &buf, &scene);
        // The interactive renderer (light, shadow rays, sky): on the
        // benchmark flight with the sun where the interactive flight has it
        // at t = 0, on the interactive flight with the sun moving frame by
        // frame.
        if (!interactive)
            updateLights(&scene, 0.0f);
        now[2] = runFrameRenderer("per-pixel", render, interactive, &opt, &buf, &scene);
        // All three walk the same rays and agree on which hit.
        now[0].numHits = now[2].numHits = now[1].numHits;
        if (run == 0)
            projectPeakKiB = peakKiB();
#ifdef TESK_BENCH_PEER
        if (opt.peer) {
            if (run == 0) {
                buf.p_t = (scalar*)malloc(sizeof(scalar) * side * side);
                if (!buf.p_t) {
                    fputs("tesk-bench: out of memory\n", stderr);
                    return 1;
                }
                memset(buf.p_t, 0, sizeof(scalar) * side * side);  // paged in, as the pixels are
                peerRss0 = peakKiB();
                rtPeer = startPeer(&opt, &scene, &peer);
                if (!rtPeer)
                    return 1;
            }
            // Agreement is checked once, on the first run.
            now[3] = runPeer("embree-1", peerTraceSingle, rtPeer, &opt, &buf, &scene,
                             run == 0 ? &peer : nullptr);
            now[4] = runPeer("embree-8", peerTracePackets, rtPeer, &opt, &buf, &scene, nullptr);
            if (run == 0)
                peer.rssGrowthKiB = peakKiB() - peerRss0;
            numResults = 5;
        }
#endif
        if (run == 0) {
            memcpy(res, now, sizeof(t_rendererResult) * (size_t)numResults);
        } else if (keepFastest(res, now, numResults, run) != 0) {
            return 1;
        }
    }
#ifdef TESK_BENCH_PEER
    if (rtPeer) {
        peerRelease(rtPeer);
        free(buf.p_t);
    }
#endif

    printResults(&opt, res, numResults, 3, buildSeconds, projectPeakKiB, &peer);
    free(buf.p_pbuff);
    return 0;
}
