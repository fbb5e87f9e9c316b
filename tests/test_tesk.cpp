#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tesk.h"
#include "tesk_app.h"
#include "tesk_internal.h"
#include "tesk_math.h"
#include "tesk_plasma.h"
#include "tesk_qkd.h"
#include "tesk_qkd_internal.h"

namespace {

// A built tree over its own heightmap; both live until the process ends.
struct Terrain {
    std::vector<t_qkdHeightVal> heightmap;
    t_qkd qkd;
};

// 17 x 17 samples, leaves of 2 cells, 16 units wide, 2 units high at 65535.
t_qkd* buildTerrain(Terrain* terr, t_qkdHeightVal (*sample)(uint32_t r, uint32_t c))
{
    const uint32_t size = 17;
    terr->heightmap.resize(size * size);
    for (uint32_t r = 0; r < size; ++r)
        for (uint32_t c = 0; c < size; ++c)
            terr->heightmap[r * size + c] = sample(r, c);
    memset(&terr->qkd, 0, sizeof(terr->qkd));
    terr->qkd.heightmap = terr->heightmap.data();
    terr->qkd.size = size;
    terr->qkd.minNodeSize = 2;
    terr->qkd.s = 16.0f;
    terr->qkd.h = 2.0f;
    EXPECT_EQ(invalidate_qkd(&terr->qkd), 0);
    terr->qkd.groundColorA[0] = 0.8f;
    terr->qkd.groundColorA[1] = 0.6f;
    terr->qkd.groundColorA[2] = 0.4f;
    return &terr->qkd;
}

// Nearly level: a checkerboard ripple of 64 steps over 32768, so that no node
// is exactly flat and every hit has a neighbour at another height.
const t_qkdHeightVal kRipple = 64;
t_qkdHeightVal flatSample(uint32_t r, uint32_t c)
{
    return (t_qkdHeightVal)(32768 + ((r + c) & 1) * kRipple);
}
t_qkdHeightVal slopeSample(uint32_t r, uint32_t c)
{
    return (t_qkdHeightVal)(1000 + 3000 * r + 500 * c);
}

t_qkd* flatTree()
{
    static Terrain terr;
    static t_qkd* qkd = buildTerrain(&terr, flatSample);
    return qkd;
}

t_qkd* slopeTree()
{
    static Terrain terr;
    static t_qkd* qkd = buildTerrain(&terr, slopeSample);
    return qkd;
}

// The nearly level surface lies between these two heights.
scalar flatHeight()
{
    return qkd_sampleHeight(flatTree(), 32768);
}
scalar flatTop()
{
    return qkd_sampleHeight(flatTree(), 32768 + kRipple);
}

// A scene over the given tree with a sky that follows a low sun and no lights.
t_scene makeScene(t_qkd* qkd)
{
    t_scene scene;
    memset(&scene, 0, sizeof(scene));
    scene.p_qkd = qkd;
    scene.num_qkd = 1;
    const scalar k = 1.0f / sqrtf(0.09f + 0.64f + 0.25f);
    scene.sky.sunDirection[0] = 0.3f * k;
    scene.sky.sunDirection[1] = -0.8f * k;
    scene.sky.sunDirection[2] = -0.5f * k;
    sky_init(&scene.sky);
    return scene;
}

t_ray rayFrom(scalar x, scalar y, scalar z, scalar wx, scalar wy, scalar wz)
{
    t_ray ray = {};
    const scalar k = 1.0f / sqrtf(wx * wx + wy * wy + wz * wz);
    ray.x[0] = x;
    ray.x[1] = y;
    ray.x[2] = z;
    ray.w[0] = wx * k;
    ray.w[1] = wy * k;
    ray.w[2] = wz * k;
    return ray;
}

// Camera-to-world matrix from three basis rows and a position.
matrix basis(const scalar* rx, const scalar* ry, const scalar* rz, scalar px, scalar py,
             scalar pz)
{
    matrix m = {};
    for (int c = 0; c < 3; ++c) {
        m.m[0][c] = rx[c];
        m.m[1][c] = ry[c];
        m.m[2][c] = rz[c];
    }
    m._41 = px;
    m._42 = py;
    m._43 = pz;
    m._44 = 1.0f;
    return m;
}

TEST(RayBuffer, CornerCentreAndUnitDirections)
{
    t_ray* buff = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&buff, 512, 512, 0.5f), 0);
    ASSERT_NE(buff, nullptr);

    EXPECT_NEAR(buff[0].w[0], -0.57735f, 1e-5);
    EXPECT_NEAR(buff[0].w[1], 0.57735f, 1e-5);
    EXPECT_NEAR(buff[0].w[2], 0.57735f, 1e-5);

    const t_ray& centre = buff[256 * 512 + 256];
    EXPECT_EQ(centre.w[0], 0.0f);
    EXPECT_EQ(centre.w[1], 0.0f);
    EXPECT_EQ(centre.w[2], 1.0f);

    // Upper-left corners: the last column looks at 0.5 - 1/512, the last row at -0.5 + 1/512.
    const t_ray& last = buff[511 * 512 + 511];
    EXPECT_NEAR(last.w[0] / last.w[2], 2.0f * (0.5f - 1.0f / 512.0f), 1e-5);
    EXPECT_NEAR(last.w[1] / last.w[2], 2.0f * (-0.5f + 1.0f / 512.0f), 1e-5);
    // Row-major: pixel (U = 3, V = 1) sits at index 515, x still left of centre, y above.
    EXPECT_LT(buff[515].w[0], 0.0f);
    EXPECT_NEAR(buff[515].w[0] / buff[515].w[2], 2.0f * (3.0f / 512.0f - 0.5f), 1e-5);
    EXPECT_NEAR(buff[515].w[1] / buff[515].w[2], 2.0f * (0.5f - 1.0f / 512.0f), 1e-5);

    for (size_t i = 0; i < 512u * 512u; ++i) {
        const t_ray& r = buff[i];
        const scalar len = sqrtf(r.w[0] * r.w[0] + r.w[1] * r.w[1] + r.w[2] * r.w[2]);
        ASSERT_NEAR(len, 1.0f, 2e-6) << "ray " << i;
        ASSERT_EQ(r.x[0], 0.0f);
        ASSERT_EQ(r.x[1], 0.0f);
        ASSERT_EQ(r.x[2], 0.0f);
    }
    free(buff);
}

TEST(RayBuffer, NonSquareScalesEachAxisByItsOwnSize)
{
    t_ray* buff = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&buff, 4, 2, 1.0f), 0);
    // Pixel (U = 1, V = 1): a = 1/4 - 0.5, b = 0.5 - 1/2.
    const t_ray& r = buff[1 * 4 + 1];
    EXPECT_NEAR(r.w[0] / r.w[2], -0.25f, 1e-6);
    EXPECT_EQ(r.w[1], 0.0f);
    free(buff);
}

TEST(Lighting, AmbientOnlyAndFacing)
{
    t_scene scene = makeScene(flatTree());
    scene.ambientLight[0] = 0.5f;
    scene.ambientLight[1] = 0.25f;
    scene.ambientLight[2] = 2.0f;
    scalar x[3] = {0.5f, 50.0f, 0.5f};
    scalar N[3] = {0.0f, 1.0f, 0.0f};

    // No lights: material times ambient.
    scalar rgbt[4] = {0.8f, 0.6f, 0.4f, 0.0f};
    EXPECT_EQ(applyLighting(rgbt, &scene, x, N), 0);
    EXPECT_FLOAT_EQ(rgbt[0], 0.4f);
    EXPECT_FLOAT_EQ(rgbt[1], 0.15f);
    EXPECT_FLOAT_EQ(rgbt[2], 0.8f);

    // A light grazing the surface (dot = 0) and one from behind add nothing.
    t_dirLight lights[2] = {};
    lights[0].w[0] = 1.0f;
    lights[1].w[1] = 1.0f;
    for (auto& l : lights)
        l.rgb[0] = l.rgb[1] = l.rgb[2] = 5.0f;
    scene.p_dirLights = lights;
    scene.num_dirLights = 2;
    scalar rgbt2[4] = {0.8f, 0.6f, 0.4f, 0.0f};
    applyLighting(rgbt2, &scene, x, N);
    EXPECT_FLOAT_EQ(rgbt2[0], 0.4f);
    EXPECT_FLOAT_EQ(rgbt2[1], 0.15f);
    EXPECT_FLOAT_EQ(rgbt2[2], 0.8f);
}

TEST(Lighting, LitShadowedAndSummedLights)
{
    t_scene scene = makeScene(flatTree());
    const scalar ground = flatHeight();
    // Light travelling slightly off vertical so the shadow ray has non-zero x and z.
    t_ray down = rayFrom(0, 0, 0, 0.01f, -1.0f, 0.02f);
    t_dirLight light = {};
    light.rgb[0] = light.rgb[1] = light.rgb[2] = 1.0f;
    memcpy(light.w, down.w, sizeof(light.w));
    scene.p_dirLights = &light;
    scene.num_dirLights = 1;
    scalar N[3] = {-down.w[0], -down.w[1], -down.w[2]};

    // Above the terrain, facing the light: the material is kept.
    scalar above[3] = {0.5f, ground + 3.0f, 0.5f};
    scalar rgbt[4] = {0.8f, 0.6f, 0.4f, 0.0f};
    applyLighting(rgbt, &scene, above, N);
    EXPECT_FLOAT_EQ(rgbt[0], 0.8f);
    EXPECT_FLOAT_EQ(rgbt[1], 0.6f);
    EXPECT_FLOAT_EQ(rgbt[2], 0.4f);

    // Under the surface the shadow ray meets the terrain from behind, which still counts.
    scalar below[3] = {0.5f, ground - 0.5f, 0.5f};
    scalar rgbt2[4] = {1.0f, 1.0f, 1.0f, 0.0f};
    applyLighting(rgbt2, &scene, below, N);
    EXPECT_NEAR(rgbt2[0], 0.3f, 1e-6);

    // Two lights add up on top of the ambient term, each scaled by its own facing.
    t_dirLight two[2] = {light, light};
    two[1].rgb[0] = 2.0f;
    two[1].rgb[1] = 0.0f;
    scene.p_dirLights = two;
    scene.num_dirLights = 2;
    scene.ambientLight[0] = scene.ambientLight[1] = scene.ambientLight[2] = 0.1f;
    scalar rgbt3[4] = {1.0f, 1.0f, 1.0f, 0.0f};
    applyLighting(rgbt3, &scene, above, N);
    EXPECT_NEAR(rgbt3[0], 3.1f, 1e-5);
    EXPECT_NEAR(rgbt3[1], 1.1f, 1e-5);
    EXPECT_NEAR(rgbt3[2], 2.1f, 1e-5);
}

TEST(Intersect, MissLeavesColourAndHitIsFogged)
{
    t_scene scene = makeScene(flatTree());
    scene.ambientLight[0] = scene.ambientLight[1] = scene.ambientLight[2] = 1.0f;
    const scalar ground = flatHeight();

    t_ray up = rayFrom(0.5f, ground + 1.0f, 0.5f, 0.1f, 1.0f, 0.2f);
    scalar rgbt[4] = {7.0f, 8.0f, 9.0f, 0.0f};
    EXPECT_EQ(intersect(rgbt, &scene, &up), 0);
    EXPECT_EQ(rgbt[0], 7.0f);
    EXPECT_EQ(rgbt[1], 8.0f);
    EXPECT_EQ(rgbt[2], 9.0f);
    EXPECT_EQ(doesIntersect(&scene, &up), 0);

    for (scalar dist : {0.5f, 200.0f}) {
        SCOPED_TRACE(dist);
        t_ray ray = rayFrom(0.5f, ground + dist, 0.5f, 0.00001f, -1.0f, 0.00001f);
        scalar hit[4] = {};
        ASSERT_EQ(intersect(hit, &scene, &ray), 1);
        EXPECT_GE(hit[3], dist - (flatTop() - flatHeight()) - 1e-4f);
        EXPECT_LE(hit[3], dist + 1e-4f);
        EXPECT_EQ(doesIntersect(&scene, &ray), 1);

        scalar atmo[3];
        sky_intersect(atmo, &scene.sky, &ray);
        const scalar d = 1.0f / (1.0f + 0.015f * dist);
        if (dist == 200.0f) {
            EXPECT_NEAR(d, 0.25f, 1e-6);
        }
        const scalar* mat = scene.p_qkd->groundColorA;
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(hit[c], d * mat[c] + (1.0f - d) * atmo[c], 1e-4) << c;
    }
}

TEST(Intersect, LitPointIsLiftedOffTheSurface)
{
    // A light straight along the normal: if the shadow ray started on the surface
    // itself it could hit it and darken the point to 30 %.
    t_scene scene = makeScene(flatTree());
    const scalar ground = flatHeight();
    t_ray ray = rayFrom(1.3f, ground + 0.2f, 2.7f, 0.3f, -1.0f, 0.2f);
    t_dirLight light = {};
    light.rgb[0] = light.rgb[1] = light.rgb[2] = 1.0f;
    light.w[0] = 0.00001f;
    light.w[1] = -1.0f;
    light.w[2] = 0.00001f;
    scene.p_dirLights = &light;
    scene.num_dirLights = 1;
    scalar hit[4] = {};
    ASSERT_EQ(intersect(hit, &scene, &ray), 1);
    scalar atmo[3];
    sky_intersect(atmo, &scene.sky, &ray);
    const scalar d = 1.0f / (1.0f + 0.015f * hit[3]);
    EXPECT_NEAR(hit[0], d * 0.8f + (1.0f - d) * atmo[0], 1e-4);
}

TEST(FindMaxHeight, OutsideIsZeroInsideWithinBounds)
{
    t_scene flat = makeScene(flatTree());
    EXPECT_EQ(findMaxHeight(&flat, 100.0f, 0.0f), 0.0f);
    EXPECT_EQ(findMaxHeight(&flat, 0.0f, -9.0f), 0.0f);
    const scalar level = findMaxHeight(&flat, 2.5f, -3.25f);
    EXPECT_GE(level, flatHeight() - 2e-3f);
    EXPECT_LE(level, flatTop() + 2e-3f);

    t_scene slope = makeScene(slopeTree());
    const t_qkd* qkd = slopeTree();
    for (scalar x : {-7.5f, -1.0f, 0.3f, 6.9f}) {
        for (scalar z : {-7.7f, 0.0f, 4.4f}) {
            const scalar y = findMaxHeight(&slope, x, z);
            EXPECT_GE(y, qkd->bbMin[1] - 2e-3f) << x << " " << z;
            EXPECT_LE(y, qkd->bbMax[1] + 2e-3f) << x << " " << z;
        }
    }
    // The slope is one plane: sample 1000 + 3000 row + 500 column, rows towards -z.
    // The probe drifts by 1e-5 per unit on its way down, about 0.1 in x and z.
    auto plane = [](double x, double z) {
        return (1000.0 + 3000.0 * (8.0 - z) + 500.0 * (x + 8.0)) * 2.0 / 65535.0;
    };
    for (scalar x : {-3.3f, 0.3f, 5.1f}) {
        const scalar z = 1.7f;
        const scalar y = findMaxHeight(&slope, x, z);
        const double drift = (10000.0 - y) * 0.00001;
        EXPECT_NEAR(y, plane(x + drift, z + drift), 3e-3) << x;
    }
}

class RenderTest : public ::testing::Test {
protected:
    static const unsigned int W = 15, H = 15;  // odd: no ray has a zero x or z component
    t_ray* rays = nullptr;
    std::vector<t_pixel> pix;

    void SetUp() override
    {
        ASSERT_EQ(allocAndInitSimpleRayBuffer(&rays, W, H, 0.5f), 0);
        t_pixel sentinel;
        sentinel.r = sentinel.g = sentinel.b = -1.0f;
        sentinel.density = 7.0f;
        pix.assign(W * H, sentinel);
    }
    void TearDown() override { free(rays); }
};

TEST_F(RenderTest, EmptyFrameWritesNothing)
{
    t_scene scene = makeScene(flatTree());
    matrix m = {};
    m._11 = m._22 = m._33 = m._44 = 1.0f;
    EXPECT_EQ(render(pix.data(), rays, &scene, &m, 0, 0), 0);
    EXPECT_EQ(render(pix.data(), rays, &scene, &m, W, 0), 0);
    EXPECT_EQ(render(pix.data(), rays, &scene, &m, 0, H), 0);
    EXPECT_EQ(renderReference(pix.data(), rays, &scene, &m, W, 0), 0);
    EXPECT_EQ(renderReference(pix.data(), rays, &scene, &m, 0, H), 0);
    EXPECT_EQ(render_mlrta(pix.data(), rays, &scene, &m, 0, 0), 0);
    EXPECT_EQ(render_mlrta(pix.data(), rays, &scene, &m, W, 0), 0);
    for (const t_pixel& p : pix) {
        ASSERT_EQ(p.r, -1.0f);
        ASSERT_EQ(p.density, 7.0f);
    }
}

TEST_F(RenderTest, LookingUpGivesSkyWithDensityUntouched)
{
    t_scene scene = makeScene(flatTree());
    const scalar rx[3] = {1, 0, 0}, ry[3] = {0, 0, -1}, rz[3] = {0, 1, 0};
    matrix m = basis(rx, ry, rz, 0.0f, 1000.0f, 0.0f);
    ASSERT_EQ(render(pix.data(), rays, &scene, &m, W, H), 0);
    for (unsigned int i = 0; i < W * H; ++i) {
        t_ray world = {};
        transformW(world.w, &m, rays[i].w);
        scalar sky[3];
        sky_intersect(sky, &scene.sky, &world);
        ASSERT_EQ(pix[i].r, sky[0]) << i;
        ASSERT_EQ(pix[i].g, sky[1]) << i;
        ASSERT_EQ(pix[i].b, sky[2]) << i;
        ASSERT_EQ(pix[i].density, 7.0f) << i;
    }
}

TEST_F(RenderTest, LookingDownHitsEveryPixelWithUnitDensity)
{
    t_scene scene = makeScene(flatTree());
    scene.ambientLight[0] = scene.ambientLight[1] = scene.ambientLight[2] = 0.7f;
    const scalar rx[3] = {1, 0, 0}, ry[3] = {0, 0, 1}, rz[3] = {0, -1, 0};
    matrix m = basis(rx, ry, rz, 0.25f, flatHeight() + 4.0f, -0.5f);
    ASSERT_EQ(render(pix.data(), rays, &scene, &m, W, H), 0);
    for (unsigned int i = 0; i < W * H; ++i) {
        t_ray world = {};
        transform(world.x, &m, rays[i].x);
        transformW(world.w, &m, rays[i].w);
        scalar rgbt[4] = {};
        ASSERT_EQ(intersect(rgbt, &scene, &world), 1) << i;
        ASSERT_EQ(pix[i].density, 1.0f) << i;
        ASSERT_EQ(pix[i].r, rgbt[0]) << i;
        ASSERT_EQ(pix[i].g, rgbt[1]) << i;
        ASSERT_EQ(pix[i].b, rgbt[2]) << i;
    }
}

TEST(RenderMlrta, TilesOf128CoverTheFrame)
{
    // Looking up from high above, no tile's frustum reaches the tree: every tile
    // only marks its border in red, which shows where the tiles were cut.
    const unsigned int S = 256;
    t_ray* rays = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&rays, S, S, 0.5f), 0);
    t_pixel zero = {};
    std::vector<t_pixel> pix(S * S, zero);
    t_scene scene = makeScene(flatTree());
    const scalar rx[3] = {1, 0, 0}, ry[3] = {0, 0, -1}, rz[3] = {0, 1, 0};
    matrix m = basis(rx, ry, rz, 0.0f, 1000.0f, 0.0f);
    ASSERT_EQ(render_mlrta(pix.data(), rays, &scene, &m, S, S), 0);
    auto edge = [](unsigned int k) { return k % 128 == 0 || k % 128 == 127; };
    for (unsigned int v = 0; v < S; ++v) {
        for (unsigned int u = 0; u < S; ++u) {
            const scalar want = (edge(u) || edge(v)) ? 1.0f : 0.0f;
            ASSERT_EQ(pix[v * S + u].r, want) << u << "," << v;
        }
    }
    free(rays);
}

TEST(RenderMlrta, FrameSidesThatAreNotMultiplesOfTheTileStayInside)
{
    // 200 x 150: the tiles cut by the frame's edges end on its last column
    // and row (the sanitizer build checks that nothing reaches past them).
    const unsigned int W = 200, H = 150;
    t_ray* rays = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&rays, W, H, 0.5f), 0);
    t_pixel zero = {};
    std::vector<t_pixel> pix(W * H, zero);
    t_scene scene = makeScene(flatTree());
    const scalar rx[3] = {1, 0, 0}, ry[3] = {0, 0, -1}, rz[3] = {0, 1, 0};
    matrix m = basis(rx, ry, rz, 0.0f, 1000.0f, 0.0f);
    ASSERT_EQ(render_mlrta(pix.data(), rays, &scene, &m, W, H), 0);
    for (unsigned int u = 0; u < W; ++u) {
        EXPECT_EQ(pix[0 * W + u].r, 1.0f) << u;
        EXPECT_EQ(pix[(H - 1) * W + u].r, 1.0f) << u;
    }
    for (unsigned int v = 0; v < H; ++v) {
        EXPECT_EQ(pix[v * W + 0].r, 1.0f) << v;
        EXPECT_EQ(pix[v * W + W - 1].r, 1.0f) << v;
    }
    free(rays);
}

// --- The tiled renderer against the plain one ------------------------------

// Frames of both flights, shaded as the programs shade them: the benchmark
// flight under the sun of t = 0, the interactive one with the sun moving
// (low flight, circling, overview, low again with the sun low), at an odd
// size whose tiles are cut at the frame's edges and at 256 x 256. render
// and renderReference (its rays on the plain walk) give the same bytes on
// screen (exposure 1, as draw scales them) and the same densities; the HDR
// channels are at most one float step apart (the tiles' sky is the SIMD sky).
TEST(RenderTiled, FlightFramesEqualThePlainRenderer)
{
    t_scene scene = {};
    ASSERT_EQ(initLights(&scene), 0);
    t_qkd qkd = {};
    scene.p_qkd = &qkd;
    int frames = 0, hits = 0, sky = 0, oneStep = 0;
    auto compare = [&](t_matrix view, unsigned int W, unsigned int H) {
        SCOPED_TRACE(testing::Message() << "frame " << frames++ << " at " << W << "x" << H);
        t_ray* rays = nullptr;
        ASSERT_EQ(allocAndInitSimpleRayBuffer(&rays, W, H, 0.5f), 0);
        std::vector<t_pixel> fast(W * H), plain(W * H);
        flushSurf(fast.data(), (int)W, (int)H);
        flushSurf(plain.data(), (int)W, (int)H);
        render(fast.data(), rays, &scene, &view, W, H);
        const t_qkdPath before = qkd_setPath(QKD_PATH_REFERENCE);
        renderReference(plain.data(), rays, &scene, &view, W, H);
        qkd_setPath(before);
        for (unsigned int i = 0; i < W * H; ++i) {
            const t_pixel &a = fast[i], &b = plain[i];
            ASSERT_EQ(memcmp(&a.density, &b.density, sizeof(scalar)), 0) << "pixel " << i;
            t_ray world;
            transform(world.x, &view, rays[i].x);
            transformW(world.w, &view, rays[i].w);
            scalar t, N[3];
            t_material mat;
            (intersect_qkd(&t, N, &mat, &world, &qkd) ? hits : sky) += 1;
            for (int c = 0; c < 3; ++c) {
                int32_t ia, ib;  // same sign: the bits count float steps
                memcpy(&ia, &a.m[c], 4);
                memcpy(&ib, &b.m[c], 4);
                ASSERT_EQ(channelByte(a.m[c] / a.density), channelByte(b.m[c] / b.density))
                    << "pixel " << i << " channel " << c << ": " << a.m[c] << " vs " << b.m[c];
                ASSERT_LE(std::abs((int64_t)ia - ib), 1)
                    << "pixel " << i << " channel " << c << ": " << a.m[c] << " vs " << b.m[c];
                oneStep += ia != ib;
            }
        }
        free(rays);
    };
    auto release = [&]() {
        free(qkd.heightmap);
        free(qkd.nodes);
        free(qkd.S05);
        free(qkd.W05);
        free(qkd.vertexX);
        qkd = t_qkd{};
    };

    testing::internal::CaptureStderr();
    benchmark_init_qkd(&qkd);
    updateLights(&scene, 0.0f);
    scalar p = 50.0f;
    for (int f = 0; f < 420; ++f) {
        p = (scalar)((double)p + 0.3);
        t_matrix view;
        benchmarkCameraPath(&view, p);
        if (f == 0 || f == 199 || f == 419)
            compare(view, 77, 53);
        if (f == 199)
            compare(view, 256, 256);
    }
    release();

    char file[] = "/tmp/tesk_render_test_XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(plasmaWriteRGB(plasmaSamples(2049, 1, 0.55), 2049, file), 0);
    init_qkd_from(&qkd, file);
    testing::internal::GetCapturedStderr();
    remove(file);
    for (scalar t : {0.0f, 8.0f, 15.0f, 41.0f}) {
        t_matrix view;
        interactiveCameraPath(&view, t, &scene);
        updateLights(&scene, t);
        compare(view, 77, 53);
        if (t == 8.0f)
            compare(view, 256, 256);
    }
    release();
    free(scene.p_dirLights);
    printf("%d frames, %d hit and %d sky pixels, %d HDR channels one float step apart\n", frames,
           hits, sky, oneStep);
    EXPECT_GT(hits, 10000);
    EXPECT_GT(sky, 10000);
}

}  // namespace
