// Heightmap generator: the fractal, its BMP encodings as the loader reads them
// (8 bits: raw byte = grey level; 24 bits: r*g*b = 16-bit height), and the
// tool's command line.
#include <SDL/SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tesk_app.h"
#include "tesk_plasma.h"

namespace {

std::string readAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint64_t fnv1a(const std::string& bytes)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        h = (h ^ c) * 0x100000001b3ull;
    }
    return h;
}

std::string tempDir()
{
    char tmpl[] = "/tmp/test_plasma.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "/tmp";
}

int runTool(std::vector<std::string> args)
{
    args.insert(args.begin(), "tesk-plasma");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    return plasmaMain((int)args.size(), argv.data());
}

int greyMin(const std::vector<uint8_t>& g)
{
    int lo = 255;
    for (uint8_t x : g) {
        lo = x < lo ? x : lo;
    }
    return lo;
}

int greyMax(const std::vector<uint8_t>& g)
{
    int hi = 0;
    for (uint8_t x : g) {
        hi = x > hi ? x : hi;
    }
    return hi;
}

} // namespace

TEST(Plasma, SideMustBeTwoToTheNPlusOneWithinBounds)
{
    for (uint32_t ok : {3u, 5u, 9u, 129u, 1025u, 4097u, 8193u}) {
        EXPECT_EQ(plasmaSideValid(ok), 1) << ok;
        EXPECT_TRUE(heightmapSideOk(ok, ok, 2)) << "the loader refuses " << ok;
    }
    for (uint32_t bad : {0u, 1u, 2u, 4u, 6u, 1024u, 1026u, 16385u, 0x80000001u}) {
        EXPECT_EQ(plasmaSideValid(bad), 0) << bad;
    }
    EXPECT_FALSE(heightmapSideOk(PLASMA_MAX_SIZE * 2 - 1, PLASMA_MAX_SIZE * 2 - 1, 2));
}

TEST(Plasma, SameSeedSameMapOtherSeedOtherMap)
{
    const std::vector<uint8_t> a = plasmaGrey(129, 7);
    EXPECT_EQ(a, plasmaGrey(129, 7));
    EXPECT_NE(a, plasmaGrey(129, 8));
    EXPECT_NE(a, plasmaGrey(129, 0));
    ASSERT_EQ(a.size(), 129u * 129u);
}

TEST(Plasma, ValuesSpanTheFullGreyRange)
{
    for (uint32_t size : {3u, 5u, 65u, 1025u}) {
        const std::vector<uint8_t> g = plasmaGrey(size, 42);
        ASSERT_EQ(g.size(), (size_t)size * size);
        EXPECT_EQ(greyMin(g), 0) << size;
        EXPECT_EQ(greyMax(g), 255) << size;
    }
}

// Every sample is set by the subdivision: a skipped cell or a wrong index
// shows up as a jump far bigger than the fractal's neighbour differences.
TEST(Plasma, NeighboursDifferLittleLikeTerrain)
{
    const uint32_t size = 513;
    const std::vector<uint8_t> g = plasmaGrey(size, 3);
    double sum = 0.0;
    int worst = 0;
    for (uint32_t v = 0; v < size; v++) {
        for (uint32_t u = 0; u + 1 < size; u++) {
            const int dx = std::abs(g[v * size + u + 1] - g[v * size + u]);
            const int dy = std::abs(g[u * size + v] - g[(u + 1) * size + v]);
            sum += dx + dy;
            worst = std::max(worst, std::max(dx, dy));
        }
    }
    EXPECT_LT(sum / (2.0 * size * (size - 1)), 4.0);
    EXPECT_LT(worst, 64);
}

TEST(Plasma, BmpLoadsAsEightBitGreyImageWithPaddedRows)
{
    const std::string dir = tempDir();
    // 5 and 9 need row padding; 129 is the size the window test uses.
    for (uint32_t size : {5u, 9u, 129u}) {
        const std::vector<uint8_t> grey = plasmaGrey(size, size);
        const std::vector<uint8_t> bmp = plasmaBmp(grey, size);
        const uint32_t stride = (size + 3) & ~3u;
        ASSERT_EQ(bmp.size(), 1078u + stride * size);

        const std::string path = dir + "/grey" + std::to_string(size) + ".bmp";
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bmp.data(), 1, bmp.size(), f), bmp.size());
        std::fclose(f);

        SDL_Surface* s = SDL_LoadBMP(path.c_str());
        ASSERT_NE(s, nullptr) << SDL_GetError();
        EXPECT_EQ(s->w, (int)size);
        EXPECT_EQ(s->h, (int)size);
        ASSERT_EQ(s->format->BitsPerPixel, 8);
        ASSERT_NE(s->format->palette, nullptr);
        ASSERT_EQ(s->format->palette->ncolors, 256);
        for (int k = 0; k < 256; k++) {
            const SDL_Color c = s->format->palette->colors[k];
            ASSERT_TRUE(c.r == k && c.g == k && c.b == k) << "palette entry " << k;
        }
        // The loader reads byte v * pitch + u as row v, column u, top row first.
        const uint8_t* pixels = (const uint8_t*)s->pixels;
        int mismatches = 0;
        for (uint32_t v = 0; v < size; v++) {
            for (uint32_t u = 0; u < size; u++) {
                mismatches += pixels[v * s->pitch + u] != grey[v * size + u];
            }
        }
        EXPECT_EQ(mismatches, 0) << size;
        SDL_FreeSurface(s);
        std::remove(path.c_str());
    }
    rmdir(dir.c_str());
}

TEST(Plasma, CommandLineWritesTheRequestedMap)
{
    const std::string dir = tempDir();
    const std::string path = dir + "/map.bmp";
    ASSERT_EQ(runTool({"-seed", "11", "-size", "17", "-depth", "8", path}), 0);
    const std::vector<uint8_t> expected = plasmaBmp(plasmaGrey(17, 11), 17);
    std::vector<uint8_t> written(expected.size() + 1);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    written.resize(std::fread(written.data(), 1, written.size(), f));
    std::fclose(f);
    EXPECT_EQ(written, expected);
    std::remove(path.c_str());

    // Without a file name it writes gimp.plasma.bmp at 1025 x 1025 here.
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const int status = runTool({});
    SDL_Surface* s = SDL_LoadBMP("gimp.plasma.bmp");
    std::remove("gimp.plasma.bmp");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(status, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->w, 1025);
    EXPECT_EQ(s->h, 1025);
    SDL_FreeSurface(s);
    rmdir(dir.c_str());
}

TEST(Plasma, CommandLineRejectsBadInputWithStatusOne)
{
    const std::string dir = tempDir();
    const std::string path = dir + "/x.bmp";
    const std::vector<std::vector<std::string>> bad = {
        {"-size", "1024", path},
        {"-size", "2", path},
        {"-size", "16385", path},
        {"-size", "4294967297", path},  // 2^32 + 1 must not wrap to a valid side
        {"-size", "12x", path},
        {"-size", "-5", path},
        {"-size"},
        {"-seed", "", path},
        {"-depth", "16", path},
        {"-roughness", "0", path},
        {"-roughness", "1.5", path},
        {"-roughness", "rough", path},
        {"-roughness"},
        {"-frobnicate", path},
        {path, path},
        {"-size", "9", dir + "/missing/x.bmp"},
    };
    for (const std::vector<std::string>& args : bad) {
        testing::internal::CaptureStderr();
        const int status = runTool(args);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 1) << args[0];
        EXPECT_EQ(err.rfind("tesk-plasma: ", 0), 0u) << err;
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "nothing written on bad input";

    testing::internal::CaptureStdout();
    EXPECT_EQ(runTool({"-help"}), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("usage: tesk-plasma"),
              std::string::npos);
    rmdir(dir.c_str());
}

// The 8-bit grey files of the first version of the tool, by checksum: the
// option must keep writing exactly these bytes.
TEST(Plasma, EightBitOutputIsTheOriginalOne)
{
    const std::string dir = tempDir();
    const std::string small = dir + "/small.bmp", big = dir + "/big.bmp";
    ASSERT_EQ(runTool({"-depth", "8", "-size", "65", "-seed", "5", small}), 0);
    ASSERT_EQ(runTool({"-depth", "8", big}), 0);
    EXPECT_EQ(fnv1a(readAll(small)), 0x39d8b25f632e5b03ull);
    const std::string bigBytes = readAll(big);
    EXPECT_EQ(bigBytes.size(), 1054778u);
    EXPECT_EQ(fnv1a(bigBytes), 0xabc6c9c7764144acull);
    std::remove(small.c_str());
    std::remove(big.c_str());
    rmdir(dir.c_str());
}

TEST(Plasma, EncodingHitsEverySampleUpToTheTopWithNearGreyPixels)
{
    const std::vector<t_plasmaRGB>& enc = plasmaEncoding();
    ASSERT_EQ(enc.size(), 65536u);
    int exact = 0;
    for (uint32_t s = 0; s <= PLASMA_TOP_SAMPLE; s++) {
        const t_plasmaRGB c = enc[s];
        const int got = rgbSample(c.r, c.g, c.b);
        ASSERT_LE(std::abs(got - (int)s), 2) << s;
        exact += got == (int)s;
        const int spread = std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b});
        ASSERT_LE(spread, PLASMA_MAX_SPREAD) << s;
    }
    EXPECT_GT(exact, 40000);
}

// The whole path: the tool's 24-bit file through the program's own loader
// gives the intended heights, finely resolved.
TEST(Plasma, TwentyFourBitMapLoadsAsTheIntendedSamples)
{
    const std::string dir = tempDir();
    const std::string a = dir + "/a.bmp", b = dir + "/b.bmp";
    const uint32_t size = 513;
    ASSERT_EQ(runTool({"-size", "513", "-seed", "9", "-roughness", "0.55", a}), 0);
    ASSERT_EQ(runTool({"-size", "513", "-seed", "9", "-roughness", "0.55", b}), 0);
    EXPECT_EQ(readAll(a), readAll(b)) << "the same seed gave another file";

    t_qkd qkd;
    memset(&qkd, 0, sizeof qkd);
    testing::internal::CaptureStderr();
    init_qkd_from(&qkd, a.c_str());
    testing::internal::GetCapturedStderr();
    ASSERT_NE(qkd.heightmap, nullptr);
    ASSERT_EQ(qkd.size, size);
    const std::vector<uint16_t> intended = plasmaSamples(size, 9, 0.55);
    std::vector<bool> seen(65536, false);
    int distinct = 0, worst = 0;
    for (size_t i = 0; i < intended.size(); i++) {
        const t_qkdHeightVal h = qkd.heightmap[i];
        worst = std::max(worst, std::abs((int)h - (int)intended[i]));
        distinct += !seen[h];
        seen[h] = true;
    }
    EXPECT_LE(worst, 2);
    EXPECT_GE(distinct, 20000);
    free(qkd.heightmap);
    free(qkd.nodes);
    free(qkd.S05);
    free(qkd.W05);
    free(qkd.vertexX);
    std::remove(a.c_str());
    std::remove(b.c_str());
    rmdir(dir.c_str());
}
