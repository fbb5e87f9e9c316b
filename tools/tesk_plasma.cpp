// Diamond-square plasma heightmap, written straight to BMP bytes so the
// tool needs nothing but the standard library.
#include "tesk_plasma.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Displacement shrinks by this factor per level: 0.5 gives rolling hills
// with visible detail at every scale.
constexpr double ROUGHNESS = 0.5;

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
                 "usage: tesk-plasma [-size N] [-seed S] [output.bmp]\n"
                 "  writes a plasma-fractal heightmap as an 8-bit grey BMP\n"
                 "  -size N   side in pixels, 2^n + 1 from 3 to %u (default %u)\n"
                 "  -seed S   unsigned number picking the landscape (default %llu)\n"
                 "  output    file to write (default %s)\n",
                 (unsigned)PLASMA_MAX_SIZE, (unsigned)PLASMA_DEFAULT_SIZE,
                 (unsigned long long)PLASMA_DEFAULT_SEED, PLASMA_DEFAULT_OUTPUT);
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

std::vector<uint8_t> plasmaGrey(uint32_t size, uint64_t seed)
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
        scale *= ROUGHNESS;
    }

    double lo = h[0];
    double hi = h[0];
    for (double x : h) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const double range = hi > lo ? hi - lo : 1.0;
    std::vector<uint8_t> grey(side * side);
    for (size_t i = 0; i < grey.size(); i++) {
        grey[i] = (uint8_t)std::lround((h[i] - lo) / range * 255.0);
    }
    return grey;
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

int plasmaMain(int argc, char** argv)
{
    uint64_t size = PLASMA_DEFAULT_SIZE;
    uint64_t seed = PLASMA_DEFAULT_SEED;
    const char* output = nullptr;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "-h") || !std::strcmp(arg, "-help") ||
            !std::strcmp(arg, "--help")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(arg, "-size") || !std::strcmp(arg, "-seed")) {
            uint64_t* target = std::strcmp(arg, "-size") == 0 ? &size : &seed;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], target)) {
                std::fprintf(stderr, "tesk-plasma: %s needs an unsigned whole number\n", arg);
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

    const uint32_t side = (uint32_t)size;
    const std::vector<uint8_t> bmp = plasmaBmp(plasmaGrey(side, seed), side);
    FILE* f = std::fopen(output, "wb");
    int ok = f != nullptr;
    if (f) {
        ok = std::fwrite(bmp.data(), 1, bmp.size(), f) == bmp.size();
        ok = (std::fclose(f) == 0) && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "tesk-plasma: cannot write '%s': %s\n", output,
                     std::strerror(errno));
        return 1;
    }
    std::printf("tesk-plasma: wrote %s (%ux%u, seed %llu)\n", output, (unsigned)side,
                (unsigned)side, (unsigned long long)seed);
    return 0;
}
