// Module main: the application shell. Program entry, the interactive frame
// loop, frame presentation, screenshots, heightmap loading and the benchmark.
// Every console message goes to stderr; stdout stays empty.
#include <signal.h>
#include <sys/stat.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tesk_app.h"

// Tick differences become seconds by a factor of 0.000001.
static_assert(CLOCKS_PER_SEC == 1000000, "clock() must count microseconds");

static const char* const STARS = "*************************************\n";
static const char* const SUBS = "-------------------------------------\n";

void stars() { fputs(STARS, stderr); }
void subs() { fputs(SUBS, stderr); }

void usage()
{
    fputs("usage:\n", stderr);
    fputs(" tesk [-benchmark[-no-vid]]\n", stderr);
}

// Start-up failure: one message, status 1.
[[noreturn]] static void fail(const char* message)
{
    fputs(message, stderr);
    exit(1);
}

static scalar seconds(clock_t ticks) { return (scalar)ticks * 0.000001f; }

void setDenormalsToZero()
{
    // FTZ (bit 15) and DAZ (bit 6) of MXCSR.
    _mm_setcsr(_mm_getcsr() | 0x8040u);
}

// ---------------------------------------------------------------------------
// Presentation

void flushSurf(t_pixel* p_pbuff, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        t_pixel* row = p_pbuff + (size_t)y * (size_t)width;
        for (int x = 0; x < width; ++x) {
            row[x].r = row[x].g = row[x].b = 0.0f;
            row[x].density = 1.0f;
        }
    }
}

// Linear scale with clamping; negative and NaN show black.
Uint8 channelByte(scalar v)
{
    if (!(v >= 0.0f)) {
        return 0;
    }
    return (Uint8)(std::min(v, 1.0f) * 255.0f);
}

void draw(SDL_Surface* surface, t_pixel* p_pbuff, scalar exposure)
{
    const bool locked = SDL_MUSTLOCK(surface);
    if (locked && SDL_LockSurface(surface) < 0) {
        return;
    }
    const int width = surface->w;
    const int height = surface->h;
    const size_t rowWords = surface->pitch / 4;
    Uint32* dst = (Uint32*)surface->pixels;
    for (int y = 0; y < height; ++y) {
        const t_pixel* src = p_pbuff + (size_t)y * (size_t)width;
        Uint32* out = dst + (size_t)y * rowWords;
        for (int x = 0; x < width; ++x) {
            const scalar k = 1.0f / src[x].density;
            const Uint8 r = channelByte((k * src[x].r) * exposure);
            const Uint8 g = channelByte((k * src[x].g) * exposure);
            const Uint8 b = channelByte((k * src[x].b) * exposure);
            out[x] = SDL_MapRGB(surface->format, r, g, b);
        }
    }
    if (locked) {
        SDL_UnlockSurface(surface);
    }
    SDL_Flip(surface);
}

int saveBmp(SDL_Surface* surface, const char* name)
{
    // Our own stream: SDL's file stream ignores what fclose reports, and
    // on a full disk the last buffered bytes fail only there.
    FILE* f = fopen(name, "wb");
    if (!f) {
        return -1;
    }
    struct stat st;
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    SDL_RWops* rw = SDL_RWFromFP(f, 0);
    bool ok = rw && SDL_SaveBMP_RW(surface, rw, 1) == 0;
    ok = fflush(f) == 0 && !ferror(f) && ok;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        // Only a file of our own making goes; a device stays where it is.
        const int err = errno;
        if (regular) {
            remove(name);
        }
        errno = err;
        return -1;
    }
    return 0;
}

void saveScreenshot(SDL_Surface* surface, int* shotCounter)
{
    char name[256];
    snprintf(name, sizeof name, "samp_vantor_%.4d.bmp", *shotCounter);
    // A file that cannot be written is skipped silently; the number is used up.
    if (surface) {
        saveBmp(surface, name);
    }
    *shotCounter += 1;
}

// ---------------------------------------------------------------------------
// Interactive run state: events, status line, statistics

void initRunState(t_runState* st, SDL_Surface* screen)
{
    memset(st, 0, sizeof *st);
    st->screen = screen;
    st->exposure = 1.0f;
    st->minRate = st->maxRate = -1.0f;
}

void handleEvent(t_runState* st, int type, int key)
{
    if (type == SDL_QUIT) {
        st->quit = 1;
        return;
    }
    if (type != SDL_KEYDOWN) {
        return;
    }
    switch (key) {
    case SDLK_ESCAPE:
        st->askQuit = 1;
        break;
    case SDLK_y:
        if (st->askQuit) {
            st->askQuit = 0;
            st->quit = 1;
        }
        break;
    case SDLK_n:
        // Also cancels a window close seen earlier in the same drain.
        if (st->askQuit) {
            st->askQuit = 0;
            st->quit = 0;
        }
        break;
    case SDLK_8: st->exposure -= 0.01f; break;
    case SDLK_9: st->exposure += 0.01f; break;
    case SDLK_i: st->exposure -= 0.1f; break;
    case SDLK_o: st->exposure += 0.1f; break;
    case SDLK_k: st->exposure -= 1.0f; break;
    case SDLK_l: st->exposure += 1.0f; break;
    case SDLK_d: saveScreenshot(st->screen, &st->shotCounter); break;
    default: break;
    }
}

void handleSdlEvent(t_runState* st, const SDL_Event* event)
{
    const int key = event->type == SDL_KEYDOWN ? (int)event->key.keysym.sym : 0;
    handleEvent(st, event->type, key);
}

void updateStatus(t_runState* st, clock_t now, scalar runLimit)
{
    st->tStatus = now;
    // The interval counts as two seconds, whatever its real length.
    const scalar rate = (scalar)st->numFramesSinceStatus * 0.5f;
    st->maxRate = st->maxRate < 0.0f ? rate : std::max(st->maxRate, rate);
    st->minRate = st->minRate < 0.0f ? rate : std::min(st->minRate, rate);
    const scalar elapsed = seconds(now - st->t0);
    snprintf(st->statusLine, sizeof st->statusLine, "[tesk-ray{benching %.0f}]@%.0ffps (%.1favg)%s",
             (double)(runLimit - elapsed), (double)rate, (double)((scalar)st->numFrames / elapsed),
             st->askQuit ? "Really Quit? (Y/N) " : "");
    st->numFramesSinceStatus = 0;
}

void writeRunStats(FILE* out, const t_runState* st, clock_t end, const t_runConfig* config)
{
    fputc('\n', out);
    fputs(SUBS, out);
    fputc('\n', out);
    fprintf(out, "[tesk] %dx%d\n", (int)config->width, (int)config->height);
    fputs("-general\n", out);
    fprintf(out, "  total frames: %u\n", st->numFrames);
    fprintf(out, "  bench time..: %.1f sec\n", (double)config->runLimit);
    fprintf(out, "  average rate: %.2f fps\n",
            (double)((scalar)st->numFrames / seconds(end - st->t0)));
    fprintf(out, "  minimum rate: %.2f fps\n", (double)st->minRate);
    fprintf(out, "  maximum rate: %.2f fps\n", (double)st->maxRate);
    fputs("thx. bye o/\n\n", out);
}

void writeBenchmarkStats(FILE* out, unsigned int numFrames, const t_qkd_stats* stats,
                         scalar benchmarkLimit)
{
    // The rate over exactly the run limit, not over the measured time.
    const scalar perSecond = 1.0f / benchmarkLimit;
    fputc('\n', out);
    fputs(SUBS, out);
    fputc('\n', out);
    fprintf(out, "[tesk] %dx%d\n", 512, 512);
    fputs("-general\n", out);
    fprintf(out, "  frames measured: %u\n", numFrames);
    fprintf(out, "  bench time.....: %.4f sec\n", (double)benchmarkLimit);
    fprintf(out, "  average rate...: %.4f fps\n", (double)((scalar)numFrames * perSecond));
    fputs("-qkd-stats\n", out);
    fprintf(out, "  num leafs visited....: %llu\n", (unsigned long long)stats->numLeafsVisited);
    fprintf(out, "  num inner visited....: %llu\n", (unsigned long long)stats->numNodesVisited);
    fprintf(out, "  num rays hitting root: %llu\n", (unsigned long long)stats->numRaysHitRoot);
    fputs("bye o/\n\n", out);
}

// ---------------------------------------------------------------------------
// Interactive mode

// SDL 1.2 falls back to text-mode drivers that write to the terminal (or
// end in the curses library) when no X display can be had. A driver named in
// SDL_VIDEODRIVER is the user's choice; otherwise only x11 may be used, and
// without DISPLAY there is nothing to open. Returns 1 when x11 was chosen here.
static int chooseVideoDriver()
{
    const char* driver = getenv("SDL_VIDEODRIVER");
    if (driver && *driver) {
        return 0;
    }
    const char* display = getenv("DISPLAY");
    if (!display || !*display) {
        fail("Unable to set video-mode: no display (DISPLAY is not set)\n");
    }
    setenv("SDL_VIDEODRIVER", "x11", 1);
    return 1;
}

// The video subsystem did not come up: with x11 chosen here that means the
// display named in DISPLAY could not be opened.
[[noreturn]] static void failVideo(const char* described, int x11Chosen)
{
    if (x11Chosen) {
        fprintf(stderr, "Unable to set video-mode: cannot open display %s (%s)\n",
                getenv("DISPLAY"), SDL_GetError());
    } else {
        fprintf(stderr, "%s%s\n", described, SDL_GetError());
    }
    exit(1);
}

// A 32-bit window of the render size, or the end of the program.
static SDL_Surface* openWindow(unsigned int width, unsigned int height, int x11Chosen)
{
    SDL_Surface* screen =
        SDL_SetVideoMode((int)width, (int)height, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    if (!screen) {
        // Video up but no window: a mode problem, not the display.
        failVideo("Unable to set video-mode: ", x11Chosen && !SDL_WasInit(SDL_INIT_VIDEO));
    }
    return screen;
}

static t_ray* cameraRays(unsigned int width, unsigned int height)
{
    t_ray* p_rbuff = nullptr;
    if (allocAndInitSimpleRayBuffer(&p_rbuff, width, height, 0.5f) != 0) {
        fail("Unable to allocate camera-ray-buffer\n");
    }
    return p_rbuff;
}

static t_qkd* allocQkd()
{
    t_qkd* qkd = (t_qkd*)calloc(1, sizeof(t_qkd));
    if (!qkd) {
        fail("Unable to allocate qkd-tree\n");
    }
    return qkd;
}

static int interactive(const t_runConfig* config)
{
    const unsigned int width = config->width;
    const unsigned int height = config->height;
    subs();

    t_pixel* p_pbuff = (t_pixel*)malloc((size_t)width * height * sizeof(t_pixel));
    if (!p_pbuff) {
        fputs("Unable to allocate hdr-pixel-buffer\n", stderr);
        return 1;
    }
    flushSurf(p_pbuff, (int)width, (int)height);

    // SDL 1.2 brings its video subsystem up inside this call.
    SDL_Surface* screen = openWindow(width, height, chooseVideoDriver());
    t_ray* p_rbuff = cameraRays(width, height);

    t_scene scene;
    memset(&scene, 0, sizeof scene);
    scene.num_qkd = 1;
    scene.p_qkd = allocQkd();
    init_qkd(scene.p_qkd);

    if (initLights(&scene) != 0) {
        fail("Unable to allocate light\n");
    }

    t_runState st;
    initRunState(&st, screen);
    st.tStatus = clock();
    st.t0 = clock();
    subs();

    t_matrix matView;
    memset(&matView, 0, sizeof matView);
    for (;;) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            handleSdlEvent(&st, &event);
        }
        const scalar t = seconds(clock() - st.t0);
        interactiveCameraPath(&matView, t, &scene);
        st.numFramesSinceStatus += 1;
        updateLights(&scene, t);
        flushSurf(p_pbuff, (int)width, (int)height);
        render(p_pbuff, p_rbuff, &scene, &matView, width, height);
        draw(screen, p_pbuff, st.exposure);
        st.numFrames += 1;

        if (clock() - st.tStatus > 2000000) {
            updateStatus(&st, clock(), config->runLimit);
            fprintf(stderr, "\r%s", st.statusLine);
        }
        // Events never stop the frame under way: one more frame follows them.
        if (seconds(clock() - st.t0) >= config->runLimit || st.quit) {
            break;
        }
    }

    const clock_t end = clock();
    writeRunStats(stderr, &st, end, config);
    free(p_pbuff);
    stars();
    return 0;
}

int tesk_main(int argc, char** argv, const t_runConfig* config)
{
    setDenormalsToZero();
    stars();
    fputs("this is [tesk]\n", stderr);
    if (argc <= 1) {
        return interactive(config);
    }
    if (strcmp(argv[1], "-benchmark") == 0) {
        benchmark(1, config);
        return 0;
    }
    if (strcmp(argv[1], "-benchmark-no-vid") == 0) {
        benchmark(0, config);
        return 0;
    }
    subs();
    usage();
    stars();
    return 0;
}

// ---------------------------------------------------------------------------
// Heightmap loading

int heightmapSideOk(int64_t w, int64_t h, uint32_t minNodeSize)
{
    if (w != h || w < 2 || w > MAX_HEIGHTMAP_SIDE || minNodeSize == 0) {
        return 0;
    }
    const uint64_t cells = (uint64_t)w - 1;
    if (cells % minNodeSize != 0) {
        return 0;
    }
    const uint64_t leaves = cells / minNodeSize;
    return (leaves & (leaves - 1)) == 0;
}

[[noreturn]] static void refuseSize(const char* indent, int64_t w, int64_t h, uint32_t minNodeSize)
{
    fprintf(stderr,
            "%srefused: image is %lldx%lld, a heightmap must be square with a side of "
            "%u*2^k+1 pixels, at most %lld\n",
            indent, (long long)w, (long long)h, minNodeSize, (long long)MAX_HEIGHTMAP_SIDE);
    exit(1);
}

static uint32_t readLE(const Uint8* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Looks at the declared size before SDL allocates and fills a surface for
// it: SDL 1.2 keeps the row pitch in 16 bits, and a huge width makes it
// write past its own rows. Anything that is not a BMP is left to SDL.
static void checkBmpHeader(SDL_RWops* rw, uint32_t minNodeSize)
{
    Uint8 hdr[30];
    const int start = SDL_RWtell(rw);
    const int got = SDL_RWread(rw, hdr, 1, sizeof hdr);
    SDL_RWseek(rw, start, RW_SEEK_SET);
    if (got < 26 || hdr[0] != 'B' || hdr[1] != 'M') {
        return;
    }
    int64_t w, h;
    uint32_t bits;
    if (readLE(hdr + 14, 4) == 12) {  // OS/2 core header: 16-bit sizes
        w = readLE(hdr + 18, 2);
        h = readLE(hdr + 20, 2);
        bits = readLE(hdr + 24, 2);
    } else {
        w = (int32_t)readLE(hdr + 18, 4);
        h = (int32_t)readLE(hdr + 22, 4);
        h = h < 0 ? -h : h;  // negative: rows stored top-down
        bits = got == (int)sizeof hdr ? readLE(hdr + 28, 2) : 0;
    }
    if (!heightmapSideOk(w, h, minNodeSize)) {
        refuseSize("", w, h, minNodeSize);
    }
    // SDL widens 1- and 4-bit pixels to bytes that are palette indices:
    // read as heights they would make an almost flat map.
    if (bits > 0 && bits < 8) {
        fprintf(stderr,
                "refused: a %u-bit image holds palette indices, not heights; "
                "save it as 8-bit grey or 24-bit\n",
                bits);
        exit(1);
    }
}

// The loader reads size rows of size pixels straight from the surface: make
// sure they are there.
static void checkSurface(const SDL_Surface* img, uint32_t minNodeSize)
{
    if (!heightmapSideOk(img->w, img->h, minNodeSize)) {
        refuseSize("  ", img->w, img->h, minNodeSize);
    }
    const SDL_PixelFormat* fmt = img->format;
    const int bpp = fmt->BytesPerPixel;
    if (bpp < 1 || bpp > 4 || fmt->BitsPerPixel > bpp * 8 || !img->pixels ||
        (int64_t)img->pitch < (int64_t)img->w * bpp) {
        fprintf(stderr, "  refused: unusable pixel layout (%u bits per pixel, pitch %u)\n",
                fmt->BitsPerPixel, img->pitch);
        exit(1);
    }
}

static inline t_qkdHeightVal toSample(scalar value)
{
    if (value < 0.0f) {
        return 0;
    }
    return (t_qkdHeightVal)(std::min(value, 1.0f) * 65535.0f);
}

t_qkdHeightVal rgbSample(Uint8 r, Uint8 g, Uint8 b)
{
    return toSample((scalar)(r * g * b) / 16581375.0f);
}

// Closes the heightmap report, builds the tree and colours the terrain.
// Both maps get the same ground colour: the tree hands it out with every hit.
static void buildTree(t_qkd* qkd)
{
    fputs("outrageous\n", stderr);
    fputs("}\n", stderr);
    const int ret = invalidate_qkd(qkd);
    if (ret != 0) {
        fprintf(stderr, "invalidate_qkd failed, ret-code: %d\n", ret);
        exit(1);
    }
    qkd->groundColorA[0] = 1.0f;
    qkd->groundColorA[1] = 0.8f;
    qkd->groundColorA[2] = 0.6f;
}

int init_qkd_from(t_qkd* qkd, const char* fileName)
{
    fputs("creating heightmap{\n", stderr);
    qkd->minNodeSize = 2;
    qkd->s = 200.0f;
    qkd->h = 15.0f;
    fprintf(stderr, "  trying to load file `%s`...", fileName);

    SDL_RWops* rw = SDL_RWFromFile(fileName, "rb");
    if (!rw) {
        const int err = errno;
        fputs("doh! sorry sir, not found.\n", stderr);
        // A file that is there but cannot be opened: say why.
        if (err != ENOENT) {
            fprintf(stderr, "  reason: %s\n", strerror(err));
        }
        exit(1);
    }
    checkBmpHeader(rw, qkd->minNodeSize);
    SDL_Surface* img = SDL_LoadBMP_RW(rw, 1);
    if (!img) {
        fprintf(stderr, "doh! sorry sir, not found.\n  reason: %s\n", SDL_GetError());
        exit(1);
    }
    const unsigned int tris = 2u * (unsigned int)img->w * (unsigned int)img->h;
    fprintf(stderr, "dunnit! size is %ux%u\n  will make %utris/%.3fMtris\n", (unsigned int)img->w,
            (unsigned int)img->h, tris, tris * 0.000001);
    checkSurface(img, qkd->minNodeSize);

    qkd->size = (uint32_t)img->w;
    const size_t size = qkd->size;
    const size_t bytes = size * size * sizeof(t_qkdHeightVal);
    fprintf(stderr, "  allocating %.3f M...", bytes / 1048576.0);
    qkd->heightmap = (t_qkdHeightVal*)malloc(bytes);
    if (!qkd->heightmap) {
        fail("  failure\n");
    }
    fputs("success\n  now initializing h-map...", stderr);

    const bool locked = SDL_MUSTLOCK(img);
    if (locked && SDL_LockSurface(img) < 0) {
        fail("failed to lock sdl_surface...");
    }
    fprintf(stderr, "  has %u bits per pixel, pitch is %u\n", img->format->BitsPerPixel,
            img->pitch);

    const int bpp = img->format->BytesPerPixel;
    const size_t pitch = img->pitch;
    const Uint8* pixels = (const Uint8*)img->pixels;
    for (size_t v = 0; v < size; ++v) {
        const Uint8* row = pixels + v * pitch;
        t_qkdHeightVal* out = qkd->heightmap + v * size;
        for (size_t u = 0; u < size; ++u) {
            if (bpp == 1) {
                // The byte is the height itself; the palette is not looked at.
                out[u] = toSample((scalar)row[u] * 0.00392156886f);
            } else {
                const Uint8* p = row + u * bpp;
                Uint32 pixel;
                if (bpp == 2) {
                    Uint16 p16;
                    memcpy(&p16, p, 2);
                    pixel = p16;
                } else if (bpp == 3) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
                    pixel = p[0] | (Uint32)p[1] << 8 | (Uint32)p[2] << 16;
#else
                    pixel = p[2] | (Uint32)p[1] << 8 | (Uint32)p[0] << 16;
#endif
                } else {
                    memcpy(&pixel, p, 4);
                }
                Uint8 r, g, b;
                SDL_GetRGB(pixel, img->format, &r, &g, &b);
                out[u] = rgbSample(r, g, b);
            }
        }
    }
    if (locked) {
        SDL_UnlockSurface(img);
    }
    SDL_FreeSurface(img);
    buildTree(qkd);
    return 0;
}

int init_qkd(t_qkd* qkd) { return init_qkd_from(qkd, "gimp.plasma.bmp"); }

int benchmark_init_qkd(t_qkd* qkd)
{
    fputs("creating heightmap{\n", stderr);
    qkd->minNodeSize = 2;
    qkd->s = 16.0f;
    qkd->h = 0.5f;
    qkd->size = 2049;
    const size_t size = qkd->size;
    fprintf(stderr, "  allocating %.3f M...", 8.007814407348633);
    qkd->heightmap = (t_qkdHeightVal*)malloc(size * size * sizeof(t_qkdHeightVal));
    if (!qkd->heightmap) {
        fail("  failure\n");
    }
    fputs("success\n  now initializing h-map...", stderr);

    // Concentric rings round the centre. The coordinates are accumulated in
    // single precision, sample by sample, so every run builds the same map.
    const scalar step = 1.0f / (scalar)size;
    scalar y = -0.5f;
    for (size_t v = 0; v < size; ++v) {
        scalar x = -0.5f;
        t_qkdHeightVal* out = qkd->heightmap + v * size;
        for (size_t u = 0; u < size; ++u) {
            const scalar r = sqrtf(x * x + y * y);
            const scalar value = (scalar)(0.5 * (1.0 + cos(125.6636 * (double)r)));
            out[u] = toSample(value);
            x += step;
        }
        y += step;
    }
    buildTree(qkd);
    return 0;
}

// ---------------------------------------------------------------------------
// Camera and light animation: the matrix builders, the two camera paths and
// the moving sun that colours the light and the ambient term.

void translation(t_matrix* out, scalar x, scalar y, scalar z)
{
    memset(out, 0, sizeof(*out));
    out->_11 = out->_22 = out->_33 = out->_44 = 1.0f;
    out->_41 = x;
    out->_42 = y;
    out->_43 = z;
}

void rotationX(t_matrix* out, scalar angle)
{
    const scalar s = sinf(angle), c = cosf(angle);
    memset(out, 0, sizeof(*out));
    out->_11 = 1.0f;
    out->_22 = c;
    out->_23 = s;
    out->_32 = -s;
    out->_33 = c;
    out->_44 = 1.0f;
}

void rotationY(t_matrix* out, scalar angle)
{
    const scalar s = sinf(angle), c = cosf(angle);
    memset(out, 0, sizeof(*out));
    out->_11 = c;
    out->_13 = -s;
    out->_22 = 1.0f;
    out->_31 = s;
    out->_33 = c;
    out->_44 = 1.0f;
}

void multiply(t_matrix* out, const t_matrix* a, const t_matrix* b)
{
    // Pairwise sums, so that the result does not depend on how the compiler
    // would chain four additions.
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            out->m[i][j] = (a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j]) +
                           (a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j]);
        }
    }
}

namespace {

// Yaw about Y, then pitch about the fixed X axis, then move to the position.
void composeView(t_matrix* matView, scalar yaw, scalar pitch, scalar x, scalar y, scalar z)
{
    t_matrix ry, rx, r, tr;
    rotationY(&ry, yaw);
    rotationX(&rx, pitch);
    multiply(&r, &ry, &rx);
    translation(&tr, x, y, z);
    multiply(matView, &r, &tr);
}

// The sun's travel direction at time t, not yet normalised.
void sunDirectionAt(scalar* w, scalar t)
{
    const double td = t;
    const double A = sin(0.23 * td) + 2.6;
    w[0] = (scalar)(A * sin(0.04 * td));
    w[1] = (scalar)(1.7 * sin(0.03 * td) - 2.0);
    w[2] = (scalar)(-A * cos(0.04 * td));
}

// Normalises the light's direction and points the sky's sun along it.
void aimSky(t_scene* scene, t_dirLight* light)
{
    scalar* w = light->w;
    const scalar k = 1.0f / sqrtf(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (int c = 0; c < 3; ++c) {
        w[c] = k * w[c];
        scene->sky.sunDirection[c] = w[c];
    }
    sky_init(&scene->sky);
}

}  // namespace

void interactiveCameraPath(t_matrix* matView, scalar t, t_scene* scene)
{
    const scalar cycles = t * 0.05f;
    const scalar phase = cycles - truncf(cycles);  // the path repeats every 20 s
    const scalar sf = (scalar)((double)t + 90.0);
    const double s = sf;

    if (phase < 0.3f) {
        // Low flight: the height follows the ground, set after composing.
        const scalar x = (scalar)(4.0 * sin(0.1314 * s));
        const scalar z = (scalar)(4.0 * sin(0.1115 * s));
        const scalar pitch = (scalar)(0.45 * sin(0.03 * s + 10.333));
        const scalar yaw = (scalar)(0.15 * s + 10.333);
        composeView(matView, yaw, pitch, x, 0.0f, z);
        matView->_42 = findMaxHeight(scene, matView->_41, matView->_43) + 1.0f;
    } else if (phase < 0.6f) {
        // Circling.
        const scalar x = (scalar)(13.2 * sin(0.1314 * s + 5.0));
        const scalar y = (scalar)(2.0 * sin(0.011223 * s) + 10.494999992847443);
        const scalar z = (scalar)(13.2 * sin(0.1115 * s + 10.0));
        const scalar pitch = (scalar)(0.45 * sin(0.03 * s));
        const scalar yaw = (scalar)(0.05 * s);
        composeView(matView, yaw, pitch, x, y, z);
    } else {
        // Overview.
        const scalar x = (scalar)(0.12 * sin(0.1314 * s));
        const scalar y = (scalar)(2.0 * sin(0.011223 * s) + 25.004499999899416);
        const scalar z = (scalar)(0.12 * sin(0.1115 * s) - 100.0);
        composeView(matView, 0.0001f, 0.45f, x, y, z);
    }
}

void benchmarkCameraPath(t_matrix* matView, scalar pathParam)
{
    const double p = pathParam;
    const scalar x = (scalar)(4.0 * sin(0.1314 * p));
    const scalar y = (scalar)(2.0 * sin(0.011223 * p) + 0.15);
    const scalar z = (scalar)(4.0 * sin(0.1115 * p));
    const scalar pitch = (scalar)(0.45 * sin(0.03 * p));
    const scalar yaw = (scalar)(0.05 * p);
    composeView(matView, yaw, pitch, x, y, z);
}

int initLights(t_scene* scene)
{
    t_dirLight* light = (t_dirLight*)calloc(1, sizeof(t_dirLight));
    if (!light)
        return -1;
    scene->p_dirLights = light;
    scene->num_dirLights = 1;

    // The first updateLights colours the light from the sky before it moves
    // the sun, so the sky must already follow the sun of t = 0.
    memset(&scene->sky, 0, sizeof(scene->sky));
    scene->ambientLight[0] = scene->ambientLight[1] = scene->ambientLight[2] = 0.0f;
    sunDirectionAt(light->w, 0.0f);
    aimSky(scene, light);
    return 0;
}

void updateLights(t_scene* scene, scalar t)
{
    static t_ray ray;  // hands directions to the sky; only w is used
    t_dirLight* light = &scene->p_dirLights[0];

    sunDirectionAt(light->w, t);
    ray.w[0] = light->w[0];
    ray.w[1] = light->w[1];
    ray.w[2] = light->w[2];
    // Coloured by the sky of the previous sun position.
    sky_intersect(light->rgb, &scene->sky, &ray);

    aimSky(scene, light);

    // Ambient light: the sky seen opposite the sun's heading, at its height.
    ray.w[0] = -light->w[0];
    ray.w[1] = light->w[1];
    ray.w[2] = -light->w[2];
    sky_intersect(scene->ambientLight, &scene->sky, &ray);
    for (int c = 0; c < 3; ++c)
        scene->ambientLight[c] *= 0.2f;
}

// ---------------------------------------------------------------------------
// Benchmark

void benchmark(int withVideo, const t_runConfig* config)
{
    // Always 512 x 512, whatever the interactive size of the program.
    const unsigned int width = 512;
    const unsigned int height = 512;
    const scalar limit = config->benchmarkLimit;

    stars();
    fputs("premiere qkd-benchmark\n", stderr);
    subs();
    int x11Chosen = 0;
    if (withVideo) {
        x11Chosen = chooseVideoDriver();
        // SDL turns SIGINT and SIGTERM into quit events, which the benchmark
        // never reads: keep the actions the process had, as without video.
        struct sigaction oldInt, oldTerm;
        sigaction(SIGINT, nullptr, &oldInt);
        sigaction(SIGTERM, nullptr, &oldTerm);
        if (SDL_Init(SDL_INIT_VIDEO) < 0) {
            failVideo("Unable to init SDL: ", x11Chosen);
        }
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
        atexit(SDL_Quit);
    }

    t_pixel* p_pbuff = (t_pixel*)malloc((size_t)width * height * sizeof(t_pixel));
    if (!p_pbuff) {
        fail("Unable to allocate hdr-pixel-buffer\n");
    }
    flushSurf(p_pbuff, (int)width, (int)height);

    // Without video no SDL function is called at all.
    SDL_Surface* screen = withVideo ? openWindow(width, height, x11Chosen) : nullptr;
    t_ray* p_rbuff = cameraRays(width, height);

    t_scene scene;
    memset(&scene, 0, sizeof scene);
    scene.num_qkd = 1;
    scene.p_qkd = allocQkd();
    benchmark_init_qkd(scene.p_qkd);

    // Building the map and the tree is not measured.
    const clock_t t0 = clock();
    subs();
    scalar pathParam = 50.0f;
    unsigned int numFrames = 0;
    unsigned int numFramesSinceProgress = 0;
    t_matrix matView;
    memset(&matView, 0, sizeof matView);
    for (;;) {
        if (seconds(clock() - t0) >= limit) {
            break;
        }
        const clock_t now = clock();
        pathParam = (scalar)((double)pathParam + 0.3);
        numFrames += 1;
        numFramesSinceProgress += 1;
        benchmarkCameraPath(&matView, pathParam);
        flushSurf(p_pbuff, (int)width, (int)height);
        render_mlrta(p_pbuff, p_rbuff, &scene, &matView, width, height);
        if (withVideo) {
            draw(screen, p_pbuff, 1.0f);
        }
        if (numFramesSinceProgress > 20) {
            const scalar el = seconds(now - t0);
            fprintf(stderr, "\rframe(%.4u), avg-fps(%.4f), t_left=%.0f    ", numFrames,
                    (double)((scalar)numFrames / el), (double)(limit - el));
            numFramesSinceProgress = 0;
        }
    }

    writeBenchmarkStats(stderr, numFrames, &g_qkdStats, limit);
    free(p_pbuff);
    stars();
}
