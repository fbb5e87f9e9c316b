// tesk-plasma: a plasma (diamond-square) fractal heightmap written as an
// 8-bit grey BMP, the image the interactive mode loads.
#ifndef TESK_PLASMA_H
#define TESK_PLASMA_H

#include <cstdint>
#include <vector>

constexpr uint32_t PLASMA_DEFAULT_SIZE = 1025;
constexpr uint64_t PLASMA_DEFAULT_SEED = 1;
// The loader's largest side: every side it accepts can be made.
constexpr uint32_t PLASMA_MAX_SIZE = 8193;
constexpr const char* PLASMA_DEFAULT_OUTPUT = "gimp.plasma.bmp";

// 1 when size is 2^n + 1 with 3 <= size <= PLASMA_MAX_SIZE, else 0.
int plasmaSideValid(uint32_t size);

// size x size grey levels, row-major, top row first, spread over 0..255.
// The same size and seed always give the same bytes. size must be valid.
std::vector<uint8_t> plasmaGrey(uint32_t size, uint64_t seed);

// The complete BMP file for a size x size grey image (top row first):
// 8 bits per pixel, grey-ramp palette, rows bottom-up padded to 4 bytes.
std::vector<uint8_t> plasmaBmp(const std::vector<uint8_t>& grey, uint32_t size);

// The tool's command line; returns the exit status.
int plasmaMain(int argc, char** argv);

#endif
