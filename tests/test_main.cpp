// Application shell: presentation, screenshots, event handling, console
// reports, denormal mode, heightmap loading.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <xmmintrin.h>

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

}  // namespace
