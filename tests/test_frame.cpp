// One frame of the interactive flight, end to end: heightmap file, tree,
// camera, sun, shading, sky and the conversion the window uses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tesk_app.h"
#include "tesk_frame.h"
#include "tesk_math.h"
#include "tesk_plasma.h"

namespace {

constexpr unsigned int kSide = 128;
// At t = 41 the sun stands about 9 degrees up while the camera flies low
// over the ground, seeing terrain below and sky above.
constexpr scalar kLowSun = 41.0f;

std::string writeHeightmap()
{
    char name[] = "/tmp/tesk_frame_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    const std::vector<uint8_t> bmp = plasmaBmp(plasmaGrey(129, 7), 129);
    EXPECT_EQ(write(fd, bmp.data(), bmp.size()), (ssize_t)bmp.size());
    close(fd);
    return name;
}

struct Frame {
    t_frameContext ctx = {};
    std::vector<uint8_t> rgb;
    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { frameRelease(&ctx); }
};

void renderAt(Frame* f, const std::string& heightmap, scalar t)
{
    testing::internal::CaptureStderr();  // the loader's progress report
    const int setup = frameSetup(&f->ctx, kSide, heightmap.c_str());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(setup, 0);
    frameRender(&f->ctx, t);
    f->rgb.resize(3 * kSide * kSide);
    frameToRGB(&f->ctx, f->rgb.data());
}

void worldRay(const Frame& f, t_matrix* matView, unsigned int i, t_ray* ray)
{
    transform(ray->x, matView, f.ctx.p_rbuff[i].x);
    transformW(ray->w, matView, f.ctx.p_rbuff[i].w);
}

// Shadowed share of the terrain pixels of the frame at t.
double shadowedShare(const Frame& f, scalar t)
{
    t_matrix matView;
    interactiveCameraPath(&matView, t, const_cast<t_scene*>(&f.ctx.scene));
    const t_dirLight* sun = f.ctx.scene.p_dirLights;
    int hits = 0, shadowed = 0;
    for (unsigned int i = 0; i < kSide * kSide; ++i) {
        t_ray ray;
        worldRay(f, &matView, i, &ray);
        scalar th, N[3];
        t_material mat = {};
        if (!intersect_qkd(&th, N, &mat, &ray, f.ctx.scene.p_qkd))
            continue;
        t_ray shadow;
        for (int c = 0; c < 3; ++c) {
            shadow.x[c] = ray.x[c] + ray.w[c] * th + 0.01f * N[c];
            shadow.w[c] = -sun->w[c];
        }
        ++hits;
        shadowed += doesIntersect(const_cast<t_scene*>(&f.ctx.scene), &shadow);
    }
    return hits ? (double)shadowed / hits : 0.0;
}

TEST(Frame, SkyAboveLitTerrainBelow)
{
    const std::string heightmap = writeHeightmap();
    Frame f;
    renderAt(&f, heightmap, kLowSun);
    t_matrix matView;
    interactiveCameraPath(&matView, kLowSun, &f.ctx.scene);
    for (unsigned int u = 0; u < kSide; ++u) {
        // Top row: sky, the sky model's colour, bluer than red.
        t_ray ray;
        worldRay(f, &matView, u, &ray);
        scalar t, N[3];
        t_material mat = {};
        ASSERT_EQ(intersect_qkd(&t, N, &mat, &ray, f.ctx.scene.p_qkd), 0) << "column " << u;
        scalar sky[3];
        sky_intersect(sky, &f.ctx.scene.sky, &ray);
        const uint8_t* px = &f.rgb[3 * u];
        EXPECT_EQ(px[0], channelByte(sky[0]));
        EXPECT_EQ(px[1], channelByte(sky[1]));
        EXPECT_EQ(px[2], channelByte(sky[2]));
        EXPECT_GT(px[2], px[0]);

        // Bottom row: terrain, lit, earth-coloured (red over blue).
        const unsigned int i = (kSide - 1) * kSide + u;
        worldRay(f, &matView, i, &ray);
        ASSERT_NE(intersect_qkd(&t, N, &mat, &ray, f.ctx.scene.p_qkd), 0) << "column " << u;
        const uint8_t* tp = &f.rgb[3 * i];
        EXPECT_GT(tp[0], tp[2]);
        EXPECT_GT(tp[0] + tp[1] + tp[2], 60);
    }
    remove(heightmap.c_str());
}

TEST(Frame, LowSunCastsMoreShadowsThanHighSun)
{
    const std::string heightmap = writeHeightmap();
    Frame low;
    renderAt(&low, heightmap, kLowSun);
    ASSERT_GT(low.ctx.scene.p_dirLights->w[1], -0.45f) << "the sun should stand low";
    const double lowShare = shadowedShare(low, kLowSun);
    // At t = 157 the sun stands about 66 degrees up.
    Frame high;
    renderAt(&high, heightmap, 157.0f);
    ASSERT_LT(high.ctx.scene.p_dirLights->w[1], -0.7f) << "the sun should stand high";
    const double highShare = shadowedShare(high, 157.0f);
    EXPECT_GT(lowShare, 0.005);
    EXPECT_GT(lowShare, 3.0 * highShare) << "low " << lowShare << ", high " << highShare;
    remove(heightmap.c_str());
}

TEST(Frame, SameMomentGivesTheSameBytes)
{
    const std::string heightmap = writeHeightmap();
    Frame a;
    renderAt(&a, heightmap, 3.5f);
    Frame b;
    renderAt(&b, heightmap, 3.5f);
    EXPECT_EQ(a.rgb, b.rgb);
    Frame c;
    renderAt(&c, heightmap, 4.5f);
    EXPECT_NE(a.rgb, c.rgb) << "the camera moves";
    remove(heightmap.c_str());
}

TEST(Frame, BmpHoldsTheImageBottomUpWithPaddedRows)
{
    // 3 pixels a row: 9 bytes padded to 12.
    const uint8_t rgb[3 * 3 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                                    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    const std::string name = "/tmp/tesk_frame_test_bmp.bmp";
    ASSERT_EQ(frameWriteBmp(rgb, 3, name.c_str()), 0);
    SDL_Surface* img = SDL_LoadBMP(name.c_str());
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->w, 3);
    EXPECT_EQ(img->h, 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) {
            Uint32 pixel = 0;
            memcpy(&pixel, (Uint8*)img->pixels + y * img->pitch + x * 3, 3);
            Uint8 r, g, b;
            SDL_GetRGB(pixel, img->format, &r, &g, &b);
            const uint8_t* want = &rgb[3 * (y * 3 + x)];
            EXPECT_EQ(r, want[0]);
            EXPECT_EQ(g, want[1]);
            EXPECT_EQ(b, want[2]);
        }
    }
    SDL_FreeSurface(img);
    remove(name.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(frameWriteBmp(rgb, 3, "/nonexistent-dir/x.bmp"), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write"), std::string::npos);
}

}  // namespace
