// tesk-plasma: a plasma (diamond-square) fractal heightmap written as a BMP
// that the interactive mode loads: by default 24 bits whose r*g*b carries a
// 16-bit height, or 8-bit grey (one byte, 256 levels).
#ifndef TESK_PLASMA_H
#define TESK_PLASMA_H

#include <cstdint>
#include <vector>

constexpr uint32_t PLASMA_DEFAULT_SIZE = 1025;
constexpr uint64_t PLASMA_DEFAULT_SEED = 1;
constexpr double PLASMA_DEFAULT_ROUGHNESS = 0.5;
constexpr int PLASMA_DEFAULT_DEPTH = 24;
// The loader's largest side: every side it accepts can be made.
constexpr uint32_t PLASMA_MAX_SIZE = 8193;
constexpr const char* PLASMA_DEFAULT_OUTPUT = "gimp.plasma.bmp";
// Channels of a 24-bit pixel differ by at most this much, so the map still
// looks grey in an image viewer.
constexpr int PLASMA_MAX_SPREAD = 40;
// Highest 16-bit sample of a 24-bit map. Below it the products r*g*b of such
// near-grey pixels come within 2 levels of every sample; above it they thin
// out to one level in hundreds.
constexpr uint32_t PLASMA_TOP_SAMPLE = 49151;

// 1 when size is 2^n + 1 with 3 <= size <= PLASMA_MAX_SIZE, else 0.
int plasmaSideValid(uint32_t size);

// size x size heights, row-major, top row first, spread over 0..1. The same
// size, seed and roughness (the factor by which the displacement shrinks per
// level, 0 to 1) always give the same values. size must be valid.
std::vector<double> plasmaField(uint32_t size, uint64_t seed, double roughness);

// The field as grey levels spread over 0..255.
std::vector<uint8_t> plasmaGrey(uint32_t size, uint64_t seed,
                                double roughness = PLASMA_DEFAULT_ROUGHNESS);

// The field as 16-bit samples spread over 0..PLASMA_TOP_SAMPLE.
std::vector<uint16_t> plasmaSamples(uint32_t size, uint64_t seed,
                                    double roughness = PLASMA_DEFAULT_ROUGHNESS);

struct t_plasmaRGB {
    uint8_t r, g, b;
};

// For each 16-bit sample, the near-grey pixel that the loader reads as that
// sample, or as the nearest sample such a pixel can give.
const std::vector<t_plasmaRGB>& plasmaEncoding();

// The complete BMP file for a size x size grey image (top row first):
// 8 bits per pixel, grey-ramp palette, rows bottom-up padded to 4 bytes.
std::vector<uint8_t> plasmaBmp(const std::vector<uint8_t>& grey, uint32_t size);

// Writes size x size samples (top row first) as a 24-bit BMP through the
// encoding. Returns 0, or -1 with errno set; no partial file is left.
int plasmaWriteRGB(const std::vector<uint16_t>& samples, uint32_t size, const char* fileName);

// The tool's command line; returns the exit status.
int plasmaMain(int argc, char** argv);

#endif
