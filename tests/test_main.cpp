// Application shell: presentation, screenshots, event handling, console
// reports, denormal mode, heightmap loading.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tesk_app.h"

namespace {

// SDL_Flip needs a video device even for a surface that is not the screen.
class DummyVideo : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};
const ::testing::Environment* const dummyVideo =
    ::testing::AddGlobalTestEnvironment(new DummyVideo);

std::string readFile(const std::string& path)
{
    std::string data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        return data;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        data.append(buf, n);
    }
    fclose(f);
    return data;
}

// Runs `write` on a memory stream and returns what it wrote.
std::string captured(const std::function<void(FILE*)>& write)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    return text;
}

// A fresh directory, made the working directory for the life of the object.
struct ScratchDir {
    std::string path;
    std::string oldCwd;
    ScratchDir()
    {
        std::string tmpl = ::testing::TempDir() + "tesk_main_XXXXXX";
        path = mkdtemp(&tmpl[0]);
        char cwd[4096];
        oldCwd = getcwd(cwd, sizeof cwd);
        EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~ScratchDir()
    {
        EXPECT_EQ(chdir(oldCwd.c_str()), 0);
        system(("rm -rf '" + path + "'").c_str());
    }
};

// ---------------------------------------------------------------------------
// Presentation

// A 32-bit surface over our own buffer, with four padding words per row.
struct FramedSurface {
    static constexpr int W = 4, H = 2, ROW_WORDS = W + 4;
    static constexpr Uint32 PAD = 0xA5A5A5A5u;
    Uint32 words[ROW_WORDS * H];
    SDL_Surface* surface;
    FramedSurface()
    {
        for (Uint32& w : words) {
            w = PAD;
        }
        surface = SDL_CreateRGBSurfaceFrom(words, W, H, 32, ROW_WORDS * 4, 0x00FF0000u,
                                           0x0000FF00u, 0x000000FFu, 0);
    }
    ~FramedSurface() { SDL_FreeSurface(surface); }
    Uint32 at(int x, int y) const { return words[y * ROW_WORDS + x]; }
    int red(int x, int y) const { return (at(x, y) >> 16) & 0xFF; }
    int green(int x, int y) const { return (at(x, y) >> 8) & 0xFF; }
    int blue(int x, int y) const { return at(x, y) & 0xFF; }
};

TEST(Presentation, FlushSurfClearsToBlackWithUnitDensity)
{
    t_pixel buf[12];
    for (t_pixel& p : buf) {
        p.r = p.g = p.b = p.density = 7.0f;
    }
    flushSurf(buf, 4, 2);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(buf[i].r, 0.0f);
        EXPECT_EQ(buf[i].g, 0.0f);
        EXPECT_EQ(buf[i].b, 0.0f);
        EXPECT_EQ(buf[i].density, 1.0f);
    }
    EXPECT_EQ(buf[8].r, 7.0f) << "wrote past width x height";

    flushSurf(buf, 0, 2);
    flushSurf(buf, 4, -1);
    flushSurf(buf + 8, -3, 5);
    EXPECT_EQ(buf[8].density, 7.0f);
}

TEST(Presentation, DrawScalesClampsAndTruncates)
{
    FramedSurface fs;
    ASSERT_NE(fs.surface, nullptr);
    t_pixel buf[FramedSurface::W * FramedSurface::H];
    flushSurf(buf, FramedSurface::W, FramedSurface::H);
    const scalar nan = std::numeric_limits<scalar>::quiet_NaN();
    const scalar inf = std::numeric_limits<scalar>::infinity();
    buf[0].r = 0.5f, buf[0].g = 1.0f, buf[0].b = 0.999f;
    buf[1].r = 3.0f, buf[1].g = -0.5f, buf[1].b = nan;
    buf[2].r = inf, buf[2].g = -inf, buf[2].b = 2.0f;
    buf[3].r = 1.0f, buf[3].g = 0.0f, buf[3].b = -1.0f, buf[3].density = 0.0f;
    buf[4].r = 1.0f, buf[4].g = 1.0f, buf[4].b = 1.0f, buf[4].density = 4.0f;

    draw(fs.surface, buf, 1.0f);
    EXPECT_EQ(fs.red(0, 0), 127);
    EXPECT_EQ(fs.green(0, 0), 255);
    EXPECT_EQ(fs.blue(0, 0), 254);
    EXPECT_EQ(fs.red(1, 0), 255);
    EXPECT_EQ(fs.green(1, 0), 0);
    EXPECT_EQ(fs.blue(1, 0), 0);
    EXPECT_EQ(fs.red(2, 0), 255);
    EXPECT_EQ(fs.green(2, 0), 0);
    EXPECT_EQ(fs.blue(2, 0), 255);
    // Density 0: positive channels saturate, zero and negative ones stay black.
    EXPECT_EQ(fs.red(3, 0), 255);
    EXPECT_EQ(fs.green(3, 0), 0);
    EXPECT_EQ(fs.blue(3, 0), 0);
    EXPECT_EQ(fs.red(0, 1), 63);  // 1 / 4
    EXPECT_EQ(fs.red(1, 1), 0);   // cleared pixel

    draw(fs.surface, buf, 0.25f);
    EXPECT_EQ(fs.red(1, 0), 191);
    draw(fs.surface, buf, 2.0f);
    EXPECT_EQ(fs.red(0, 0), 255);
    draw(fs.surface, buf, 0.0f);
    for (int y = 0; y < FramedSurface::H; ++y) {
        for (int x = 0; x < FramedSurface::W; ++x) {
            EXPECT_EQ(fs.at(x, y) & 0xFFFFFFu, 0u) << x << "," << y;
        }
    }
    // A negative exposure blacks out non-negative channels and shows negative ones.
    draw(fs.surface, buf, -1.0f);
    EXPECT_EQ(fs.at(0, 0) & 0xFFFFFFu, 0u);
    EXPECT_EQ(fs.green(1, 0), 127);
    // The padding words of each row stay as they were.
    for (int y = 0; y < FramedSurface::H; ++y) {
        for (int x = FramedSurface::W; x < FramedSurface::ROW_WORDS; ++x) {
            EXPECT_EQ(fs.at(x, y), FramedSurface::PAD) << x << "," << y;
        }
    }
}

// ---------------------------------------------------------------------------
// Events, screenshots

TEST(Events, QuitNeedsEscapeThenY)
{
    t_runState st;
    initRunState(&st, nullptr);
    handleEvent(&st, SDL_KEYDOWN, SDLK_y);
    handleEvent(&st, SDL_KEYDOWN, SDLK_n);
    EXPECT_EQ(st.askQuit, 0);
    EXPECT_EQ(st.quit, 0);

    handleEvent(&st, SDL_KEYDOWN, SDLK_ESCAPE);
    EXPECT_EQ(st.askQuit, 1);
    handleEvent(&st, SDL_KEYUP, SDLK_y);  // releases are ignored
    handleEvent(&st, SDL_KEYDOWN, SDLK_ESCAPE);
    EXPECT_EQ(st.askQuit, 1);
    EXPECT_EQ(st.quit, 0);
    handleEvent(&st, SDL_KEYDOWN, SDLK_n);
    EXPECT_EQ(st.askQuit, 0);
    EXPECT_EQ(st.quit, 0);

    handleEvent(&st, SDL_KEYDOWN, SDLK_ESCAPE);
    handleEvent(&st, SDL_KEYDOWN, SDLK_y);
    EXPECT_EQ(st.askQuit, 0);
    EXPECT_EQ(st.quit, 1);
}

TEST(Events, WindowCloseQuitsUnlessEscapeNFollowInTheSameDrain)
{
    t_runState st;
    initRunState(&st, nullptr);
    SDL_Event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = SDL_QUIT;
    handleSdlEvent(&st, &ev);
    EXPECT_EQ(st.quit, 1);

    ev.type = SDL_KEYDOWN;
    ev.key.keysym.sym = SDLK_ESCAPE;
    handleSdlEvent(&st, &ev);
    ev.key.keysym.sym = SDLK_n;
    handleSdlEvent(&st, &ev);
    EXPECT_EQ(st.quit, 0);
    EXPECT_EQ(st.askQuit, 0);

    ev.type = SDL_MOUSEBUTTONDOWN;
    handleSdlEvent(&st, &ev);
    EXPECT_EQ(st.quit, 0);
}

TEST(Events, ExposureKeys)
{
    t_runState st;
    initRunState(&st, nullptr);
    EXPECT_EQ(st.exposure, 1.0f);
    handleEvent(&st, SDL_KEYDOWN, SDLK_k);
    EXPECT_EQ(st.exposure, 0.0f);
    handleEvent(&st, SDL_KEYDOWN, SDLK_k);
    EXPECT_EQ(st.exposure, -1.0f);  // unbounded
    handleEvent(&st, SDL_KEYDOWN, SDLK_l);
    handleEvent(&st, SDL_KEYDOWN, SDLK_l);
    handleEvent(&st, SDL_KEYDOWN, SDLK_o);
    EXPECT_FLOAT_EQ(st.exposure, 1.1f);
    handleEvent(&st, SDL_KEYDOWN, SDLK_i);
    handleEvent(&st, SDL_KEYDOWN, SDLK_9);
    EXPECT_FLOAT_EQ(st.exposure, 1.01f);
    handleEvent(&st, SDL_KEYDOWN, SDLK_8);
    handleEvent(&st, SDL_KEYDOWN, SDLK_8);
    EXPECT_FLOAT_EQ(st.exposure, 0.99f);
    handleEvent(&st, SDL_KEYDOWN, SDLK_a);
    handleEvent(&st, SDL_KEYUP, SDLK_l);
    EXPECT_FLOAT_EQ(st.exposure, 0.99f);
}

TEST(Events, ScreenshotsAreNumberedAndCountEvenWhenNotWritten)
{
    ScratchDir dir;
    SDL_Surface* surf = SDL_CreateRGBSurface(SDL_SWSURFACE, 8, 4, 32, 0x00FF0000u, 0x0000FF00u,
                                             0x000000FFu, 0);
    ASSERT_NE(surf, nullptr);
    SDL_FillRect(surf, nullptr, 0x00336699u);
    t_runState st;
    initRunState(&st, surf);

    // A directory in the way: the file cannot be created, the number is used up.
    ASSERT_EQ(mkdir("samp_vantor_0000.bmp", 0755), 0);
    handleEvent(&st, SDL_KEYDOWN, SDLK_d);
    EXPECT_EQ(st.shotCounter, 1);
    handleEvent(&st, SDL_KEYDOWN, SDLK_d);
    EXPECT_EQ(st.shotCounter, 2);

    SDL_Surface* shot = SDL_LoadBMP("samp_vantor_0001.bmp");
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->w, 8);
    EXPECT_EQ(shot->h, 4);
    Uint8 r, g, b;
    SDL_GetRGB(*(Uint32*)shot->pixels & 0xFFFFFFu, shot->format, &r, &g, &b);
    EXPECT_EQ(r, 0x33);
    EXPECT_EQ(g, 0x66);
    EXPECT_EQ(b, 0x99);
    SDL_FreeSurface(shot);

    // A full disk (here a file-size limit): the write fails only when the last
    // bytes are flushed, and nothing is left behind.
    struct rlimit oldLimit, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    limit = oldLimit;
    limit.rlim_cur = 100;  // the 8 x 4 picture takes 150 bytes
    void (*oldXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    handleEvent(&st, SDL_KEYDOWN, SDLK_d);
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    signal(SIGXFSZ, oldXfsz);
    EXPECT_EQ(st.shotCounter, 3);
    EXPECT_NE(access("samp_vantor_0002.bmp", F_OK), 0) << "a partial screenshot was left";
    // A device that fails the write is not removed.
    ASSERT_EQ(symlink("/dev/full", "samp_vantor_0003.bmp"), 0);
    handleEvent(&st, SDL_KEYDOWN, SDLK_d);
    EXPECT_EQ(st.shotCounter, 4);
    EXPECT_EQ(access("samp_vantor_0003.bmp", F_OK), 0);

    st.shotCounter = 10000;
    saveScreenshot(surf, &st.shotCounter);
    EXPECT_FALSE(readFile("samp_vantor_10000.bmp").empty());
    SDL_FreeSurface(surf);
}

// ---------------------------------------------------------------------------
// Console reports

TEST(Console, StatusLineCountsTheIntervalAsTwoSeconds)
{
    t_runState st;
    initRunState(&st, nullptr);
    st.t0 = 1000;
    st.numFrames = 10;
    st.numFramesSinceStatus = 10;
    updateStatus(&st, 1000 + 2500000, 120.0f);
    EXPECT_STREQ(st.statusLine, "[tesk-ray{benching 118}]@5fps (4.0avg)");
    EXPECT_EQ(st.numFramesSinceStatus, 0u);
    EXPECT_EQ(st.tStatus, 1000 + 2500000);
    EXPECT_EQ(st.minRate, 5.0f);
    EXPECT_EQ(st.maxRate, 5.0f);

    st.numFrames = 14;
    st.numFramesSinceStatus = 4;
    st.askQuit = 1;
    updateStatus(&st, 1000 + 4000000, 120.0f);
    EXPECT_STREQ(st.statusLine, "[tesk-ray{benching 116}]@2fps (3.5avg)Really Quit? (Y/N) ");
    EXPECT_EQ(st.minRate, 2.0f);
    EXPECT_EQ(st.maxRate, 5.0f);

    st.numFramesSinceStatus = 30;
    st.askQuit = 0;
    updateStatus(&st, 1000 + 6000000, 120.0f);
    EXPECT_EQ(st.minRate, 2.0f);
    EXPECT_EQ(st.maxRate, 15.0f);
}

TEST(Console, InteractiveStatistics)
{
    t_runState st;
    initRunState(&st, nullptr);
    st.t0 = 0;
    st.numFrames = 40;
    const t_runConfig config = {256, 256, 120.0f, 300.0f};
    const std::string text =
        captured([&](FILE* f) { writeRunStats(f, &st, 4000000, &config); });
    EXPECT_EQ(text,
              "\n-------------------------------------\n\n"
              "[tesk] 256x256\n"
              "-general\n"
              "  total frames: 40\n"
              "  bench time..: 120.0 sec\n"
              "  average rate: 10.00 fps\n"
              "  minimum rate: -1.00 fps\n"
              "  maximum rate: -1.00 fps\n"
              "thx. bye o/\n\n");
}

TEST(Console, BenchmarkStatisticsRateOverTheWholeLimit)
{
    const t_qkd_stats zero = {0, 0, 0};
    const std::string text =
        captured([&](FILE* f) { writeBenchmarkStats(f, 3000, &zero, 300.0f); });
    EXPECT_EQ(text,
              "\n-------------------------------------\n\n"
              "[tesk] 512x512\n"
              "-general\n"
              "  frames measured: 3000\n"
              "  bench time.....: 300.0000 sec\n"
              "  average rate...: 10.0000 fps\n"
              "-qkd-stats\n"
              "  num leafs visited....: 0\n"
              "  num inner visited....: 0\n"
              "  num rays hitting root: 0\n"
              "bye o/\n\n");

    const t_qkd_stats big = {1, 2, 18446744073709551615ull};
    const std::string text2 =
        captured([&](FILE* f) { writeBenchmarkStats(f, 7, &big, 300.0f); });
    EXPECT_NE(text2.find("  average rate...: 0.0233 fps\n"), std::string::npos);
    EXPECT_NE(text2.find("visited....: 1\n  num inner visited....: 2\n"
                         "  num rays hitting root: 18446744073709551615\n"),
              std::string::npos);
}

TEST(Console, DenormalsAreFlushedAndReadAsZero)
{
    const unsigned int saved = _mm_getcsr();
    setDenormalsToZero();
    volatile float tiny = 1e-30f;
    volatile float scale = 1e-10f;
    EXPECT_EQ(tiny * scale, 0.0f);  // result would be denormal
    const uint32_t bits = 0x00000100u;  // a denormal input
    float denormal;
    memcpy(&denormal, &bits, sizeof denormal);
    volatile float d = denormal;
    volatile float one = 1.0f;
    EXPECT_EQ(d * one, 0.0f);
    EXPECT_TRUE(d + d == 0.0f);
    _mm_setcsr(saved);
}

// ---------------------------------------------------------------------------
// Heightmap loading

// Builds BMP files byte by byte, so that broken ones can be made as well.
struct Bmp {
    int w = 3, h = 3, bpp = 8;
    bool topDown = false;
    uint32_t compression = 0;
    uint32_t headerSize = 40;  // 108 and 124: the V4 and V5 headers of editors
    int64_t clrUsed = -1;      // palette-size field; -1: the palette's size
    std::vector<uint32_t> palette;            // 0xRRGGBB entries
    std::function<uint32_t(int, int)> pixel;  // (column, row from the top)

    static std::vector<uint32_t> greyRamp(int n)
    {
        std::vector<uint32_t> p;
        for (int i = 0; i < n; ++i) {
            p.push_back((uint32_t)i * 0x010101u);
        }
        return p;
    }

    std::string bytes() const
    {
        const size_t rowBytes = ((size_t)w * bpp + 31) / 32 * 4;
        const uint32_t offBits = 14 + headerSize + 4 * (uint32_t)palette.size();
        std::string out;
        auto put = [&](uint32_t v, int n) {
            for (int i = 0; i < n; ++i) {
                out.push_back((char)((v >> (8 * i)) & 0xFF));
            }
        };
        out += "BM";
        put(offBits + (uint32_t)(rowBytes * h), 4);
        put(0, 4);
        put(offBits, 4);
        put(headerSize, 4);
        put((uint32_t)w, 4);
        put((uint32_t)(topDown ? -h : h), 4);
        put(1, 2);
        put((uint32_t)bpp, 2);
        put(compression, 4);
        put((uint32_t)(rowBytes * h), 4);
        put(2835, 4);
        put(2835, 4);
        put(clrUsed < 0 ? (uint32_t)palette.size() : (uint32_t)clrUsed, 4);
        put(0, 4);
        out.append(headerSize - 40, '\0');
        for (uint32_t c : palette) {
            put(c & 0xFF, 1);
            put((c >> 8) & 0xFF, 1);
            put((c >> 16) & 0xFF, 1);
            put(0, 1);
        }
        for (int i = 0; i < h; ++i) {
            const int v = topDown ? i : h - 1 - i;
            std::string row(rowBytes, '\0');
            for (int u = 0; u < w; ++u) {
                const uint32_t p = pixel ? pixel(u, v) : 0;
                if (bpp < 8) {
                    const size_t bit = (size_t)u * bpp;
                    row[bit / 8] |= (char)(p << (8 - bpp - bit % 8));
                } else {
                    for (int k = 0; k < bpp / 8; ++k) {
                        row[(size_t)u * (bpp / 8) + k] = (char)((p >> (8 * k)) & 0xFF);
                    }
                }
            }
            out += row;
        }
        return out;
    }
};

std::string scratchFile(const std::string& contents)
{
    static int serial = 0;
    const std::string path = ::testing::TempDir() + "tesk_hm_" + std::to_string(getpid()) + "_" +
                             std::to_string(serial++) + ".bmp";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(contents.data(), 1, contents.size(), f);
    fclose(f);
    return path;
}

// The program keeps its trees until it ends; tests give them back.
void freeQkd(const t_qkd& qkd)
{
    free(qkd.heightmap);
    free(qkd.nodes);
    free(qkd.S05);
    free(qkd.W05);
    free(qkd.vertexX);
}

// Loads a file through the loader; the report on stderr comes back in *log.
t_qkd loadQuietly(const std::string& path, std::string* log = nullptr)
{
    t_qkd qkd;
    memset(&qkd, 0, sizeof qkd);
    ::testing::internal::CaptureStderr();
    init_qkd_from(&qkd, path.c_str());
    const std::string text = ::testing::internal::GetCapturedStderr();
    if (log) {
        *log = text;
    }
    return qkd;
}

TEST(Heightmap, SideMustBeSquareAndTwoToTheKTimesLeafPlusOne)
{
    EXPECT_TRUE(heightmapSideOk(3, 3, 2));
    EXPECT_TRUE(heightmapSideOk(5, 5, 2));
    EXPECT_TRUE(heightmapSideOk(2049, 2049, 2));
    EXPECT_TRUE(heightmapSideOk(8193, 8193, 2));
    EXPECT_TRUE(heightmapSideOk(13, 13, 3));
    EXPECT_FALSE(heightmapSideOk(16385, 16385, 2));  // SDL 1.2 reads no such image
    EXPECT_FALSE(heightmapSideOk(1, 1, 2));
    EXPECT_FALSE(heightmapSideOk(2, 2, 2));
    EXPECT_FALSE(heightmapSideOk(7, 7, 2));
    EXPECT_FALSE(heightmapSideOk(10, 10, 2));
    EXPECT_FALSE(heightmapSideOk(9, 5, 2));
    EXPECT_FALSE(heightmapSideOk(5, 9, 2));
    EXPECT_FALSE(heightmapSideOk(32769, 32769, 2));
    EXPECT_FALSE(heightmapSideOk(-3, -3, 2));
    EXPECT_FALSE(heightmapSideOk(5, 5, 0));
}

TEST(Heightmap, EightBitBytesAreGreyLevels)
{
    Bmp bmp;
    bmp.w = bmp.h = 5;
    bmp.palette = Bmp::greyRamp(256);
    bmp.pixel = [](int u, int v) { return (uint32_t)(u == 4 ? 255 : v == 0 ? u * 60 : 0); };
    std::string log;
    const std::string path = scratchFile(bmp.bytes());
    const t_qkd qkd = loadQuietly(path, &log);
    ASSERT_NE(qkd.heightmap, nullptr);
    EXPECT_EQ(qkd.size, 5u);
    EXPECT_EQ(qkd.minNodeSize, 2u);
    EXPECT_EQ(qkd.s, 200.0f);
    EXPECT_EQ(qkd.h, 15.0f);
    EXPECT_EQ(qkd.groundColorA[0], 1.0f);
    EXPECT_EQ(qkd.groundColorA[1], 0.8f);
    EXPECT_EQ(qkd.groundColorA[2], 0.6f);
    // Row 0 is the top row of the image.
    EXPECT_EQ(qkd.heightmap[0], 0);
    EXPECT_EQ(qkd.heightmap[1], 15420);  // 60 / 255
    EXPECT_EQ(qkd.heightmap[3], 46260);
    EXPECT_EQ(qkd.heightmap[4], 65535);
    EXPECT_EQ(qkd.heightmap[5 + 1], 0);
    EXPECT_EQ(qkd.heightmap[4 * 5 + 3], 0);
    EXPECT_EQ(qkd.heightmap[4 * 5 + 4], 65535);
    EXPECT_EQ(log.substr(0, log.find("}\n") + 2),
              "creating heightmap{\n  trying to load file `" + path +
                  "`...dunnit! size is 5x5\n  will make 50tris/0.000Mtris\n"
              "  allocating 0.000 M...success\n"
              "  now initializing h-map...  has 8 bits per pixel, pitch is 8\n"
              "outrageous\n}\n");
    freeQkd(qkd);

    // Stored top-down the rows come out in the same order.
    bmp.topDown = true;
    const t_qkd td = loadQuietly(scratchFile(bmp.bytes()));
    ASSERT_NE(td.heightmap, nullptr);
    EXPECT_EQ(td.heightmap[1], 15420);
    EXPECT_EQ(td.heightmap[4 * 5 + 3], 0);
    freeQkd(td);
}

// Editors write V4/V5 headers (SDL 1.2 then reads the palette from the wrong
// place), short palettes or none: the bytes are the heights all the same.
TEST(Heightmap, EightBitLoadsWhateverThePalette)
{
    std::vector<uint32_t> red;
    for (uint32_t i = 0; i < 256; ++i) {
        red.push_back(i << 16);
    }
    struct Case {
        uint32_t headerSize;
        std::vector<uint32_t> palette;
        int64_t clrUsed;
    };
    const Case cases[] = {
        {40, red, -1}, {124, Bmp::greyRamp(256), -1}, {108, red, -1}, {124, red, 0}, {40, {}, 0},
    };
    for (const Case& c : cases) {
        Bmp bmp;
        bmp.headerSize = c.headerSize;
        bmp.palette = c.palette;
        bmp.clrUsed = c.clrUsed;
        bmp.pixel = [](int u, int v) { return (uint32_t)(u * 100 + v); };
        const t_qkd qkd = loadQuietly(scratchFile(bmp.bytes()));
        ASSERT_NE(qkd.heightmap, nullptr) << c.headerSize << " " << c.palette.size();
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(qkd.heightmap[i], (t_qkdHeightVal)((i % 3 * 100 + i / 3) * 257)) << i;
        }
        freeQkd(qkd);
    }
}

TEST(Heightmap, DeeperPixelsUseTheProductOfTheirChannels)
{
    struct Case {
        int bpp;
        uint32_t grey128, white;
    };
    const Case cases[] = {
        {16, 0, 0x7FFFu},  // 5-5-5: 128 is not exact in five bits
        {24, 0x808080u, 0xFFFFFFu},
        {32, 0x808080u, 0xFFFFFFu},
    };
    for (const Case& c : cases) {
        Bmp bmp;
        bmp.bpp = c.bpp;
        bmp.pixel = [&](int u, int v) { return u == 0 && v == 0 ? c.white : c.grey128; };
        const t_qkd qkd = loadQuietly(scratchFile(bmp.bytes()));
        ASSERT_NE(qkd.heightmap, nullptr) << c.bpp;
        EXPECT_EQ(qkd.heightmap[0], 65535) << c.bpp;
        if (c.bpp != 16) {
            EXPECT_EQ(qkd.heightmap[4], 8288) << c.bpp;  // (128/255)^3
        } else {
            EXPECT_EQ(qkd.heightmap[4], 0);
        }
        freeQkd(qkd);
    }
}

TEST(Heightmap, BenchmarkRipples)
{
    t_qkd qkd;
    memset(&qkd, 0, sizeof qkd);
    ::testing::internal::CaptureStderr();
    benchmark_init_qkd(&qkd);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.substr(0, log.find("}\n") + 2),
              "creating heightmap{\n  allocating 8.008 M...success\n"
              "  now initializing h-map...outrageous\n}\n");
    ASSERT_NE(qkd.heightmap, nullptr);
    EXPECT_EQ(qkd.size, 2049u);
    EXPECT_EQ(qkd.minNodeSize, 2u);
    EXPECT_EQ(qkd.s, 16.0f);
    EXPECT_EQ(qkd.h, 0.5f);
    EXPECT_EQ(qkd.groundColorA[1], 0.8f);
    const t_qkdHeightVal* hm = qkd.heightmap;
    EXPECT_GT(hm[1024 * 2049 + 1024], 65400);
    EXPECT_GT(hm[1023 * 2049 + 1025], 65300);
    // A ring every 0.05 of the width: half a ring out from the centre is a trough.
    EXPECT_LT(hm[1024 * 2049 + 1024 + 51], 200);
    EXPECT_GT(hm[1024 * 2049 + 1024 + 102], 65000);
    // Circular: the same distance along a row and along a column.
    EXPECT_NEAR(hm[1024 * 2049 + 1024 + 300], hm[(1024 + 300) * 2049 + 1024], 200);
    freeQkd(qkd);
}

class HeightmapRefused : public ::testing::Test {
protected:
    static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    static void expectRefused(const std::string& path, const char* pattern)
    {
        t_qkd qkd;
        memset(&qkd, 0, sizeof qkd);
        EXPECT_EXIT(init_qkd_from(&qkd, path.c_str()), ::testing::ExitedWithCode(1), pattern)
            << path;
    }
};

// An existing file that SDL cannot read: SDL's reason on a line of its own.
const char* const NOT_FOUND = "\\.\\.\\.doh! sorry sir, not found\\.\n  reason: [^\n]+\n$";
const char* const BAD_SIZE = "refused: image is -?[0-9]+x[0-9]+, a heightmap must be square";

TEST_F(HeightmapRefused, MissingUnreadableOrNotABmp)
{
    expectRefused(::testing::TempDir() + "no_such_heightmap.bmp",
                  "^creating heightmap\\{\n  trying to load file `[^`]*no_such_heightmap\\.bmp`"
                  "\\.\\.\\.doh! sorry sir, not found\\.\n$");
    expectRefused(scratchFile(""), NOT_FOUND);
    expectRefused(scratchFile("BM"), NOT_FOUND);
    expectRefused(scratchFile("P5\n3 3\n255\nabcdefghi"), NOT_FOUND);

    Bmp bmp;
    bmp.w = bmp.h = 33;
    bmp.palette = Bmp::greyRamp(256);
    const std::string whole = bmp.bytes();
    expectRefused(scratchFile(whole.substr(0, 30)), NOT_FOUND);          // inside the header
    expectRefused(scratchFile(whole.substr(0, 14 + 40 + 100)), NOT_FOUND);  // in the palette
    expectRefused(scratchFile(whole.substr(0, whole.size() - 50)), NOT_FOUND);  // in the rows

    bmp.compression = 1;  // run-length encoded
    expectRefused(scratchFile(bmp.bytes()), "not found\\.\n  reason: Compressed BMP");
    expectRefused(::testing::TempDir(), NOT_FOUND);  // a directory
}

TEST_F(HeightmapRefused, SizesTheTreeCannotUse)
{
    Bmp bmp;
    bmp.palette = Bmp::greyRamp(256);
    bmp.w = bmp.h = 1;
    expectRefused(scratchFile(bmp.bytes()), BAD_SIZE);
    bmp.w = 9, bmp.h = 5;
    expectRefused(scratchFile(bmp.bytes()), BAD_SIZE);
    bmp.w = 5, bmp.h = 9;
    expectRefused(scratchFile(bmp.bytes()), BAD_SIZE);
    bmp.w = bmp.h = 10;
    expectRefused(scratchFile(bmp.bytes()), BAD_SIZE);
    bmp.w = bmp.h = 4;
    bmp.topDown = true;
    expectRefused(scratchFile(bmp.bytes()), BAD_SIZE);
}

TEST_F(HeightmapRefused, HugeDeclaredSizes)
{
    Bmp bmp;
    bmp.w = bmp.h = 3;
    bmp.palette = Bmp::greyRamp(256);
    const std::string small = bmp.bytes();
    auto withSize = [&](int32_t w, int32_t h, int bpp) {
        std::string b = small;
        memcpy(&b[18], &w, 4);
        memcpy(&b[22], &h, 4);
        b[28] = (char)bpp;
        return scratchFile(b);
    };
    expectRefused(withSize(1000000, 1000000, 8), BAD_SIZE);
    expectRefused(withSize(70000, 1, 1), BAD_SIZE);
    expectRefused(withSize(3, INT32_MIN, 8), BAD_SIZE);
    expectRefused(withSize(INT32_MIN, INT32_MIN, 24), BAD_SIZE);
    expectRefused(withSize(32769, 32769, 32), BAD_SIZE);
    expectRefused(withSize(16385, 16385, 8), BAD_SIZE);
    // A usable size whose rows are missing: SDL gives up while reading.
    expectRefused(withSize(8193, 8193, 8), NOT_FOUND);
    expectRefused(withSize(8193, -8193, 24), NOT_FOUND);

    // SDL 1.2 keeps the pitch in 16 bits: 16385 pixels of 4 bytes would come
    // out with a pitch of 4. Refused before SDL sees it.
    std::string wrapped = small.substr(0, 14 + 40);
    const int32_t side = 16385;
    memcpy(&wrapped[18], &side, 4);
    memcpy(&wrapped[22], &side, 4);
    wrapped[28] = 32;
    const uint32_t noPalette = 0, offBits = 14 + 40;
    memcpy(&wrapped[46], &noPalette, 4);
    memcpy(&wrapped[10], &offBits, 4);
    wrapped += std::string(4 * side, '\xff');
    expectRefused(scratchFile(wrapped), BAD_SIZE);
}

// One- and four-bit images hold palette indices, not heights; with the
// palette-size field at 0, SDL 1.2 fills 256 entries from whatever follows.
TEST_F(HeightmapRefused, PaletteIndexImages)
{
    Bmp bmp;
    bmp.pixel = [](int u, int) { return (uint32_t)(u & 1); };
    bmp.bpp = 1;
    bmp.palette = {0x000000u, 0xFFFFFFu};
    const char* const indices = "`\\.\\.\\.refused: a 1-bit image holds palette indices";
    expectRefused(scratchFile(bmp.bytes()), indices);
    bmp.clrUsed = 0;
    expectRefused(scratchFile(bmp.bytes()), indices);
    bmp.bpp = 4;
    bmp.palette = Bmp::greyRamp(16);
    bmp.headerSize = 124;
    expectRefused(scratchFile(bmp.bytes()), "refused: a 4-bit image holds palette indices");
    bmp.clrUsed = -1;
    bmp.headerSize = 40;
    expectRefused(scratchFile(bmp.bytes()), "refused: a 4-bit image holds palette indices");
}

}  // namespace
