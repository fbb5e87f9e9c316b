// Diamond-square plasma heightmap. The 8-bit grey file is written byte by
// byte (its bytes are fixed); the 24-bit one goes through SDL as screenshots
// do, with pixels chosen by the loader's own rule.
#include "tesk_plasma.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tesk_app.h"

namespace {

// splitmix64: tiny, well mixed, and identical on every platform, unlike rand().
struct t_plasmaRng {
    uint64_t state;
};

uint64_t nextRandom(t_plasmaRng* rng)
{
    uint64_t z = (rng->state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform in [-1, 1).
double randomOffset(t_plasmaRng* rng)
{
    return (double)(nextRandom(rng) >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

void putLe16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v)
{
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: tesk-plasma [-size N] [-seed S] [-roughness R] [-depth 24|8] "
                 "[output.bmp]\n"
                 "  writes a plasma-fractal heightmap as a BMP\n"
                 "  -size N       side in pixels, 2^n + 1 from 3 to %u (default %u)\n"
                 "  -seed S       unsigned number picking the landscape (default %llu)\n"
                 "  -roughness R  how much detail survives each halving, above 0 and at\n"
                 "                most 1 (default %.2f)\n"
                 "  -depth 24     near-grey pixels whose r*g*b holds a 16-bit height (default)\n"
                 "  -depth 8      grey levels 0..255, one byte per pixel\n"
                 "  output        file to write (default %s)\n",
                 (unsigned)PLASMA_MAX_SIZE, (unsigned)PLASMA_DEFAULT_SIZE,
                 (unsigned long long)PLASMA_DEFAULT_SEED, PLASMA_DEFAULT_ROUGHNESS,
                 PLASMA_DEFAULT_OUTPUT);
}

// Whole decimal numbers only: "12x", "-3" and "" are refused.
int parseNumber(const char* text, uint64_t* value)
{
    if (text[0] < '0' || text[0] > '9') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return 0;
    }
    *value = v;
    return 1;
}

} // namespace

int plasmaSideValid(uint32_t size)
{
    if (size < 3 || size > PLASMA_MAX_SIZE) {
        return 0;
    }
    uint32_t n = size - 1;
    return (n & (n - 1)) == 0 ? 1 : 0;
}

std::vector<double> plasmaField(uint32_t size, uint64_t seed, double roughness)
{
    const size_t side = size;
    std::vector<double> h(side * side, 0.0);
    t_plasmaRng rng = {seed};
    auto at = [&](size_t u, size_t v) -> double& { return h[v * side + u]; };

    const size_t last = side - 1;
    at(0, 0) = randomOffset(&rng);
    at(last, 0) = randomOffset(&rng);
    at(0, last) = randomOffset(&rng);
    at(last, last) = randomOffset(&rng);

    double scale = 1.0;
    for (size_t step = last; step > 1; step /= 2) {
        const size_t half = step / 2;
        // Diamond: the centre of every square from its four corners.
        for (size_t v = half; v < side; v += step) {
            for (size_t u = half; u < side; u += step) {
                double sum = at(u - half, v - half) + at(u + half, v - half) +
                             at(u - half, v + half) + at(u + half, v + half);
                at(u, v) = sum * 0.25 + randomOffset(&rng) * scale;
            }
        }
        // Square: every edge midpoint from its neighbours; on the border
        // only three exist (no wrap-around, so opposite edges differ).
        for (size_t v = 0; v < side; v += half) {
            for (size_t u = ((v / half) % 2 == 0) ? half : 0; u < side; u += step) {
                double sum = 0.0;
                int count = 0;
                if (u >= half) {
                    sum += at(u - half, v);
                    count++;
                }
                if (u + half < side) {
                    sum += at(u + half, v);
                    count++;
                }
                if (v >= half) {
                    sum += at(u, v - half);
                    count++;
                }
                if (v + half < side) {
                    sum += at(u, v + half);
                    count++;
                }
                at(u, v) = sum / count + randomOffset(&rng) * scale;
            }
        }
        scale *= roughness;
    }

    double lo = h[0];
    double hi = h[0];
    for (double x : h) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const double range = hi > lo ? hi - lo : 1.0;
    for (double& x : h) {
        x = (x - lo) / range;
    }
    return h;
}

std::vector<uint8_t> plasmaGrey(uint32_t size, uint64_t seed, double roughness)
{
    const std::vector<double> h = plasmaField(size, seed, roughness);
    std::vector<uint8_t> grey(h.size());
    for (size_t i = 0; i < grey.size(); i++) {
        grey[i] = (uint8_t)std::lround(h[i] * 255.0);
    }
    return grey;
}

std::vector<uint16_t> plasmaSamples(uint32_t size, uint64_t seed, double roughness)
{
    const std::vector<double> h = plasmaField(size, seed, roughness);
    std::vector<uint16_t> samples(h.size());
    for (size_t i = 0; i < samples.size(); i++) {
        samples[i] = (uint16_t)std::lround(h[i] * PLASMA_TOP_SAMPLE);
    }
    return samples;
}

const std::vector<t_plasmaRGB>& plasmaEncoding()
{
    static std::vector<t_plasmaRGB> table;
    if (!table.empty()) {
        return table;
    }
    // Every near-grey pixel, through the loader's rule; per sample keep the
    // pixel whose channels lie closest together.
    std::vector<int> spread(65536, 256);
    table.assign(65536, t_plasmaRGB{0, 0, 0});
    for (int r = 0; r < 256; r++) {
        for (int g = std::max(0, r - PLASMA_MAX_SPREAD); g <= std::min(255, r + PLASMA_MAX_SPREAD);
             g++) {
            for (int b = std::max(0, r - PLASMA_MAX_SPREAD);
                 b <= std::min(255, r + PLASMA_MAX_SPREAD); b++) {
                const int d = std::max({r, g, b}) - std::min({r, g, b});
                const t_qkdHeightVal s = rgbSample((Uint8)r, (Uint8)g, (Uint8)b);
                if (d <= PLASMA_MAX_SPREAD && d < spread[s]) {
                    spread[s] = d;
                    table[s] = t_plasmaRGB{(uint8_t)r, (uint8_t)g, (uint8_t)b};
                }
            }
        }
    }
    // Samples no such pixel gives take the nearest one that does (the lower
    // on a tie): sweep up, then down, remembering the nearest reached sample.
    std::vector<int> nearest(65536, -1);
    for (int s = 0, last = -1; s < 65536; s++) {
        last = spread[s] <= PLASMA_MAX_SPREAD ? s : last;
        nearest[s] = last;
    }
    for (int s = 65535, next = -1; s >= 0; s--) {
        next = spread[s] <= PLASMA_MAX_SPREAD ? s : next;
        if (next >= 0 && (nearest[s] < 0 || next - s < s - nearest[s])) {
            nearest[s] = next;
        }
    }
    for (int s = 0; s < 65536; s++) {
        table[s] = table[nearest[s]];
    }
    return table;
}

std::vector<uint8_t> plasmaBmp(const std::vector<uint8_t>& grey, uint32_t size)
{
    const uint32_t headerBytes = 14 + 40 + 256 * 4;
    const uint32_t stride = (size + 3) & ~3u;
    const uint32_t imageBytes = stride * size;
    std::vector<uint8_t> out(headerBytes + imageBytes, 0);
    uint8_t* p = out.data();

    // BITMAPFILEHEADER
    p[0] = 'B';
    p[1] = 'M';
    putLe32(p + 2, headerBytes + imageBytes);
    putLe32(p + 10, headerBytes);
    // BITMAPINFOHEADER: positive height means rows are stored bottom-up.
    putLe32(p + 14, 40);
    putLe32(p + 18, size);
    putLe32(p + 22, size);
    putLe16(p + 26, 1);
    putLe16(p + 28, 8);
    putLe32(p + 30, 0);
    putLe32(p + 34, imageBytes);
    putLe32(p + 38, 2835);
    putLe32(p + 42, 2835);
    putLe32(p + 46, 256);
    putLe32(p + 50, 256);
    // The loader reads the raw byte as the grey level, so entry k must be grey k.
    for (uint32_t k = 0; k < 256; k++) {
        uint8_t* entry = p + 54 + k * 4;
        entry[0] = entry[1] = entry[2] = (uint8_t)k;
    }
    for (uint32_t v = 0; v < size; v++) {
        std::memcpy(p + headerBytes + (size - 1 - v) * stride, &grey[(size_t)v * size], size);
    }
    return out;
}

int plasmaWriteRGB(const std::vector<uint16_t>& samples, uint32_t size, const char* fileName)
{
    SDL_Surface* img = SDL_CreateRGBSurface(SDL_SWSURFACE, (int)size, (int)size, 24, 0x00FF0000u,
                                            0x0000FF00u, 0x000000FFu, 0);
    if (!img) {
        errno = ENOMEM;
        return -1;
    }
    const std::vector<t_plasmaRGB>& encoding = plasmaEncoding();
    for (uint32_t v = 0; v < size; v++) {
        uint8_t* row = (uint8_t*)img->pixels + (size_t)v * img->pitch;
        for (uint32_t u = 0; u < size; u++) {
            const t_plasmaRGB c = encoding[samples[(size_t)v * size + u]];
            row[3 * u + 0] = c.b;  // blue in the lowest byte, as the masks say
            row[3 * u + 1] = c.g;
            row[3 * u + 2] = c.r;
        }
    }
    const int status = saveBmp(img, fileName);
    const int err = errno;
    SDL_FreeSurface(img);
    errno = err;
    return status;
}

int plasmaMain(int argc, char** argv)
{
    uint64_t size = PLASMA_DEFAULT_SIZE;
    uint64_t seed = PLASMA_DEFAULT_SEED;
    uint64_t depth = PLASMA_DEFAULT_DEPTH;
    double roughness = PLASMA_DEFAULT_ROUGHNESS;
    const char* output = nullptr;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "-h") || !std::strcmp(arg, "-help") ||
            !std::strcmp(arg, "--help")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(arg, "-size") || !std::strcmp(arg, "-seed") ||
            !std::strcmp(arg, "-depth")) {
            uint64_t* target = !std::strcmp(arg, "-size")   ? &size
                               : !std::strcmp(arg, "-seed") ? &seed
                                                            : &depth;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], target)) {
                std::fprintf(stderr, "tesk-plasma: %s needs an unsigned whole number\n", arg);
                return 1;
            }
            i++;
            continue;
        }
        if (!std::strcmp(arg, "-roughness")) {
            char* end = nullptr;
            const char* text = i + 1 < argc ? argv[i + 1] : "";
            roughness = std::strtod(text, &end);
            if (end == text || *end != '\0' || !(roughness > 0.0 && roughness <= 1.0)) {
                std::fprintf(stderr, "tesk-plasma: -roughness needs a number above 0, at most 1\n");
                return 1;
            }
            i++;
            continue;
        }
        if (arg[0] == '-' || output) {
            std::fprintf(stderr, "tesk-plasma: unexpected argument '%s'\n", arg);
            usage(stderr);
            return 1;
        }
        output = arg;
    }
    if (!output) {
        output = PLASMA_DEFAULT_OUTPUT;
    }
    if (size > PLASMA_MAX_SIZE || !plasmaSideValid((uint32_t)size)) {
        std::fprintf(stderr, "tesk-plasma: side %llu is not 2^n + 1 between 3 and %u\n",
                     (unsigned long long)size, (unsigned)PLASMA_MAX_SIZE);
        return 1;
    }
    if (depth != 8 && depth != 24) {
        std::fprintf(stderr, "tesk-plasma: depth %llu is neither 24 nor 8\n",
                     (unsigned long long)depth);
        return 1;
    }

    const uint32_t side = (uint32_t)size;
    int ok;
    if (depth == 8) {
        const std::vector<uint8_t> bmp = plasmaBmp(plasmaGrey(side, seed, roughness), side);
        FILE* f = std::fopen(output, "wb");
        ok = f != nullptr;
        if (f) {
            ok = std::fwrite(bmp.data(), 1, bmp.size(), f) == bmp.size();
            ok = (std::fclose(f) == 0) && ok;
        }
    } else {
        ok = plasmaWriteRGB(plasmaSamples(side, seed, roughness), side, output) == 0;
    }
    if (!ok) {
        std::fprintf(stderr, "tesk-plasma: cannot write '%s': %s\n", output,
                     std::strerror(errno));
        return 1;
    }
    std::printf("tesk-plasma: wrote %s (%ux%u, seed %llu, roughness %g, %d-bit)\n", output,
                (unsigned)side, (unsigned)side, (unsigned long long)seed, roughness, (int)depth);
    return 0;
}
