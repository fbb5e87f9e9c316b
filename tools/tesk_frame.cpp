#include "tesk_frame.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tesk_app.h"

int frameSetup(t_frameContext* ctx, unsigned int size, const char* heightmapFile)
{
    memset(ctx, 0, sizeof *ctx);
    ctx->size = size;
    ctx->p_pbuff = (t_pixel*)malloc(sizeof(t_pixel) * size * size);
    t_qkd* qkd = (t_qkd*)calloc(1, sizeof(t_qkd));
    if (!ctx->p_pbuff || !qkd ||
        allocAndInitSimpleRayBuffer(&ctx->p_rbuff, size, size, 0.5f) != 0) {
        fputs("tesk-frame: out of memory\n", stderr);
        return 1;
    }
    ctx->scene.p_qkd = qkd;
    ctx->scene.num_qkd = 1;
    // The loader ends the process itself on a missing or unusable file.
    init_qkd_from(qkd, heightmapFile);
    if (initLights(&ctx->scene) != 0) {
        fputs("tesk-frame: out of memory\n", stderr);
        return 1;
    }
    return 0;
}

void frameRelease(t_frameContext* ctx)
{
    t_qkd* qkd = ctx->scene.p_qkd;
    if (qkd) {
        free(qkd->heightmap);
        free(qkd->nodes);
        free(qkd->S05);
        free(qkd->W05);
        free(qkd->vertexX);
        free(qkd);
    }
    free(ctx->scene.p_dirLights);
    free(ctx->p_rbuff);
    free(ctx->p_pbuff);
    memset(ctx, 0, sizeof *ctx);
}

void frameRender(t_frameContext* ctx, scalar t)
{
    t_matrix matView;
    interactiveCameraPath(&matView, t, &ctx->scene);
    // The light takes its colour from the sky as the previous call left it;
    // a second call gives the colour of the sun at t.
    updateLights(&ctx->scene, t);
    updateLights(&ctx->scene, t);
    flushSurf(ctx->p_pbuff, (int)ctx->size, (int)ctx->size);
    render(ctx->p_pbuff, ctx->p_rbuff, &ctx->scene, &matView, ctx->size, ctx->size);
}

void frameToRGB(const t_frameContext* ctx, uint8_t* rgb)
{
    const unsigned int n = ctx->size * ctx->size;
    for (unsigned int i = 0; i < n; ++i) {
        const t_pixel* p = &ctx->p_pbuff[i];
        const scalar k = 1.0f / p->density;
        rgb[3 * i + 0] = channelByte(k * p->r);
        rgb[3 * i + 1] = channelByte(k * p->g);
        rgb[3 * i + 2] = channelByte(k * p->b);
    }
}

static void putLE(std::vector<uint8_t>* out, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out->push_back((uint8_t)(v >> (8 * i)));
}

int frameWriteBmp(const uint8_t* rgb, unsigned int size, const char* fileName)
{
    const uint32_t rowBytes = (3 * size + 3) & ~3u;
    const uint32_t dataBytes = rowBytes * size;
    std::vector<uint8_t> file;
    file.reserve(54 + dataBytes);
    file.push_back('B');
    file.push_back('M');
    putLE(&file, 54 + dataBytes, 4);
    putLE(&file, 0, 4);
    putLE(&file, 54, 4);
    putLE(&file, 40, 4);  // BITMAPINFOHEADER
    putLE(&file, size, 4);
    putLE(&file, size, 4);  // positive height: rows bottom-up
    putLE(&file, 1, 2);
    putLE(&file, 24, 2);
    putLE(&file, 0, 4);
    putLE(&file, dataBytes, 4);
    putLE(&file, 2835, 4);
    putLE(&file, 2835, 4);
    putLE(&file, 0, 4);
    putLE(&file, 0, 4);
    for (unsigned int y = size; y-- > 0;) {
        const uint8_t* row = rgb + 3 * (size_t)y * size;
        for (unsigned int x = 0; x < size; ++x) {
            file.push_back(row[3 * x + 2]);  // BMP stores blue first
            file.push_back(row[3 * x + 1]);
            file.push_back(row[3 * x + 0]);
        }
        for (uint32_t pad = 3 * size; pad < rowBytes; ++pad)
            file.push_back(0);
    }
    FILE* f = fopen(fileName, "wb");
    const bool ok = f && fwrite(file.data(), 1, file.size(), f) == file.size();
    if (f && fclose(f) != 0)
        return fprintf(stderr, "tesk-frame: cannot write '%s': %s\n", fileName, strerror(errno)), 1;
    if (!ok) {
        fprintf(stderr, "tesk-frame: cannot write '%s': %s\n", fileName, strerror(errno));
        return 1;
    }
    return 0;
}

static void frameUsage(FILE* out)
{
    fprintf(out,
            "usage: tesk-frame [-t SECONDS] [-size N] [-heightmap FILE] [OUTPUT.bmp]\n"
            "  renders the interactive flight at time t (default 0) as one N x N frame\n"
            "  (default %u, at most %u) from the heightmap (default gimp.plasma.bmp)\n"
            "  and writes it as a 24-bit BMP (default %s).\n",
            FRAME_DEFAULT_SIZE, FRAME_MAX_SIZE, FRAME_DEFAULT_OUTPUT);
}

static int badValue(const char* option, const char* value, const char* want)
{
    fprintf(stderr, "tesk-frame: %s wants %s, got '%s'\n", option, want, value);
    return 1;
}

int frameMain(int argc, char** argv)
{
    double t = 0.0;
    unsigned long size = FRAME_DEFAULT_SIZE;
    const char* heightmap = "gimp.plasma.bmp";
    const char* output = FRAME_DEFAULT_OUTPUT;
    bool haveOutput = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!strcmp(arg, "-h") || !strcmp(arg, "-help") || !strcmp(arg, "--help")) {
            frameUsage(stdout);
            return 0;
        }
        const bool takesValue =
            !strcmp(arg, "-t") || !strcmp(arg, "-size") || !strcmp(arg, "-heightmap");
        if (takesValue && i + 1 >= argc) {
            fprintf(stderr, "tesk-frame: %s wants a value\n", arg);
            return 1;
        }
        char* end = nullptr;
        errno = 0;
        if (!strcmp(arg, "-t")) {
            const char* v = argv[++i];
            t = strtod(v, &end);
            if (errno || end == v || *end || !(t >= 0.0 && t <= 1e6))
                return badValue(arg, v, "a time in seconds from 0 to 1000000");
        } else if (!strcmp(arg, "-size")) {
            const char* v = argv[++i];
            size = strtoul(v, &end, 10);
            if (errno || end == v || *end || v[0] == '-' || size < 1 || size > FRAME_MAX_SIZE)
                return badValue(arg, v, "a whole number from 1 to 4096");
        } else if (!strcmp(arg, "-heightmap")) {
            heightmap = argv[++i];
        } else if (arg[0] == '-' || haveOutput) {
            fprintf(stderr, "tesk-frame: unexpected argument '%s' (try -help)\n", arg);
            return 1;
        } else {
            output = arg;
            haveOutput = true;
        }
    }

    setDenormalsToZero();
    t_frameContext ctx;
    if (frameSetup(&ctx, (unsigned int)size, heightmap) != 0)
        return 1;
    frameRender(&ctx, (scalar)t);
    std::vector<uint8_t> rgb(3 * (size_t)size * size);
    frameToRGB(&ctx, rgb.data());
    frameRelease(&ctx);
    return frameWriteBmp(rgb.data(), (unsigned int)size, output);
}
