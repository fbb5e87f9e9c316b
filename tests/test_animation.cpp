#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tesk_app.h"
#include "tesk_math.h"

namespace {

const double kHalfPi = 1.5707963267948966;

matrix identity()
{
    matrix m = {};
    m._11 = m._22 = m._33 = m._44 = 1.0f;
    return m;
}

void expectMatrixEq(const matrix& a, const matrix& b)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(a.m[r][c], b.m[r][c]) << "element " << r + 1 << c + 1;
}

void expectMatrixNear(const matrix& a, const matrix& b, float tol)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(a.m[r][c], b.m[r][c], tol) << "element " << r + 1 << c + 1;
}

TEST(Matrices, BuildersAtZeroAreIdentity)
{
    matrix m;
    memset(&m, 0xff, sizeof(m));  // every element must be written
    rotationX(&m, 0.0f);
    expectMatrixEq(m, identity());
    memset(&m, 0xff, sizeof(m));
    rotationY(&m, 0.0f);
    expectMatrixEq(m, identity());
    memset(&m, 0xff, sizeof(m));
    translation(&m, 0.0f, 0.0f, 0.0f);
    expectMatrixEq(m, identity());
    const matrix i = identity();
    memset(&m, 0xff, sizeof(m));
    multiply(&m, &i, &i);
    expectMatrixEq(m, i);
}

TEST(Matrices, BuilderElements)
{
    const scalar a = 0.7f;
    matrix x, y, t;
    rotationX(&x, a);
    rotationY(&y, a);
    translation(&t, 1.5f, -2.0f, 3.25f);

    matrix ex = identity();
    ex._22 = cosf(a);
    ex._23 = sinf(a);
    ex._32 = -sinf(a);
    ex._33 = cosf(a);
    expectMatrixEq(x, ex);

    matrix ey = identity();
    ey._11 = cosf(a);
    ey._13 = -sinf(a);
    ey._31 = sinf(a);
    ey._33 = cosf(a);
    expectMatrixEq(y, ey);

    matrix et = identity();
    et._41 = 1.5f;
    et._42 = -2.0f;
    et._43 = 3.25f;
    expectMatrixEq(t, et);
}

TEST(Matrices, MultiplyOrderAndComposition)
{
    // Translations add exactly; rotations about one axis add their angles.
    matrix a, b, out;
    translation(&a, 1.0f, 2.0f, 3.0f);
    translation(&b, 10.0f, 20.0f, 30.0f);
    multiply(&out, &a, &b);
    matrix sum;
    translation(&sum, 11.0f, 22.0f, 33.0f);
    expectMatrixEq(out, sum);

    rotationY(&a, 0.3f);
    rotationY(&b, 0.5f);
    multiply(&out, &a, &b);
    matrix rot;
    rotationY(&rot, 0.8f);
    expectMatrixNear(out, rot, 1e-6f);

    // out = a x b: a point goes through a first. Translate, then turn by 90 degrees
    // about Y: (1, 0, 0) moved to (2, 0, 0), then turned to (0, 0, -2).
    translation(&a, 1.0f, 0.0f, 0.0f);
    rotationY(&b, (scalar)kHalfPi);
    multiply(&out, &a, &b);
    const scalar p[3] = {1.0f, 0.0f, 0.0f};
    scalar q[3];
    transform(q, &out, p);
    EXPECT_NEAR(q[0], 0.0f, 1e-6);
    EXPECT_NEAR(q[1], 0.0f, 1e-6);
    EXPECT_NEAR(q[2], -2.0f, 1e-6);

    // A full product against hand-computed values.
    matrix g = {}, h = {};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            g.m[r][c] = (scalar)(r * 4 + c + 1);
            h.m[r][c] = (scalar)((r == c) ? 2 : (c == 0 ? 1 : 0));
        }
    multiply(&out, &g, &h);
    // Column 0 of h is (2, 1, 1, 1): row sums plus the first element again.
    EXPECT_EQ(out._11, 1 * 2 + 2 + 3 + 4);
    EXPECT_EQ(out._41, 13 * 2 + 14 + 15 + 16);
    EXPECT_EQ(out._23, 7 * 2);
    EXPECT_EQ(out._44, 16 * 2);
}

// A scene whose tree lies far from the flight path: findMaxHeight finds nothing.
struct EmptyGround {
    std::vector<t_qkdHeightVal> heightmap;
    t_qkd qkd;
    t_scene scene;
};

EmptyGround* emptyGround()
{
    static EmptyGround* g = [] {
        EmptyGround* e = new EmptyGround();
        e->heightmap.assign(9, 0);
        e->heightmap[4] = 60000;
        memset(&e->qkd, 0, sizeof(e->qkd));
        e->qkd.heightmap = e->heightmap.data();
        e->qkd.size = 3;
        e->qkd.minNodeSize = 2;
        e->qkd.s = 0.5f;  // only |x|, |z| <= 0.25; the low flight stays further out
        e->qkd.h = 1.0f;
        invalidate_qkd(&e->qkd);
        memset(&e->scene, 0, sizeof(e->scene));
        e->scene.p_qkd = &e->qkd;
        e->scene.num_qkd = 1;
        return e;
    }();
    return g;
}

scalar viewForwardY(const matrix& m)
{
    const scalar f[3] = {0.0f, 0.0f, 1.0f};
    scalar w[3];
    transformW(w, &m, f);
    return w[1];
}

TEST(CameraPath, LowFlightAtStart)
{
    t_scene* scene = &emptyGround()->scene;
    matrix m;
    interactiveCameraPath(&m, 0.0f, scene);
    EXPECT_FLOAT_EQ(m._41, (scalar)(4.0 * sin(11.826)));
    EXPECT_FLOAT_EQ(m._43, (scalar)(4.0 * sin(10.035)));
    EXPECT_EQ(m._42, 1.0f);  // no ground under the camera
    EXPECT_EQ(m._44, 1.0f);
    // Rotation: yaw 0.15 s + 10.333, pitch 0.45 sin(0.03 s + 10.333), s = 90.
    const scalar yaw = (scalar)(0.15 * 90.0 + 10.333);
    const scalar pitch = (scalar)(0.45 * sin(0.03 * 90.0 + 10.333));
    EXPECT_NEAR(m._11, cosf(yaw), 1e-6);
    EXPECT_NEAR(m._31, sinf(yaw), 1e-6);
    EXPECT_NEAR(m._22, cosf(pitch), 1e-6);
    EXPECT_NEAR(m._23, sinf(pitch), 1e-6);
    EXPECT_EQ(m._21, 0.0f);
    EXPECT_EQ(m._14, 0.0f);
}

TEST(CameraPath, SegmentsSwitchAtTheirBoundaries)
{
    t_scene* scene = &emptyGround()->scene;
    matrix m;
    auto circlingY = [](double s) {
        return (scalar)(2.0 * sin(0.011223 * s) + 10.494999992847443);
    };
    auto overviewY = [](double s) {
        return (scalar)(2.0 * sin(0.011223 * s) + 25.004499999899416);
    };

    interactiveCameraPath(&m, 5.9f, scene);
    EXPECT_EQ(m._42, 1.0f);

    // Phase exactly 0.3: circling.
    interactiveCameraPath(&m, 6.0f, scene);
    EXPECT_FLOAT_EQ(m._41, (scalar)(13.2 * sin(0.1314 * 96.0 + 5.0)));
    EXPECT_FLOAT_EQ(m._42, circlingY(96.0));
    EXPECT_FLOAT_EQ(m._43, (scalar)(13.2 * sin(0.1115 * 96.0 + 10.0)));
    EXPECT_NEAR(m._11, cosf((scalar)(0.05 * 96.0)), 1e-6);

    interactiveCameraPath(&m, 11.9f, scene);
    EXPECT_FLOAT_EQ(m._42, circlingY((double)(scalar)(11.9f + 90.0)));

    // Phase exactly 0.6: overview, tilted down by 0.45 and barely turned.
    interactiveCameraPath(&m, 12.0f, scene);
    EXPECT_FLOAT_EQ(m._41, (scalar)(0.12 * sin(0.1314 * 102.0)));
    EXPECT_FLOAT_EQ(m._42, overviewY(102.0));
    EXPECT_FLOAT_EQ(m._43, (scalar)(0.12 * sin(0.1115 * 102.0) - 100.0));
    EXPECT_NEAR(viewForwardY(m), -sinf(0.45f), 1e-6);
    EXPECT_NEAR(m._31, sinf(0.0001f), 1e-7);

    interactiveCameraPath(&m, 19.9f, scene);
    EXPECT_NEAR(m._43, -100.0f, 0.2f);

    // The path repeats every 20 seconds.
    interactiveCameraPath(&m, 20.0f, scene);
    EXPECT_EQ(m._42, 1.0f);
    EXPECT_FLOAT_EQ(m._41, (scalar)(4.0 * sin(0.1314 * 110.0)));
    interactiveCameraPath(&m, 26.0f, scene);
    EXPECT_FLOAT_EQ(m._42, circlingY(116.0));
}

TEST(CameraPath, LowFlightFollowsTheGround)
{
    // A 16-unit map rising towards -z; the camera at t = 0 is inside it.
    static std::vector<t_qkdHeightVal> hm(17 * 17);
    for (uint32_t r = 0; r < 17; ++r)
        for (uint32_t c = 0; c < 17; ++c)
            hm[r * 17 + c] = (t_qkdHeightVal)(2000 * r + 100 * c);
    static t_qkd qkd;
    memset(&qkd, 0, sizeof(qkd));
    qkd.heightmap = hm.data();
    qkd.size = 17;
    qkd.minNodeSize = 2;
    qkd.s = 16.0f;
    qkd.h = 4.0f;
    ASSERT_EQ(invalidate_qkd(&qkd), 0);
    t_scene scene;
    memset(&scene, 0, sizeof(scene));
    scene.p_qkd = &qkd;
    scene.num_qkd = 1;

    matrix m;
    interactiveCameraPath(&m, 0.0f, &scene);
    const scalar ground = findMaxHeight(&scene, m._41, m._43);
    EXPECT_GT(ground, qkd.bbMin[1]);
    EXPECT_EQ(m._42, ground + 1.0f);
    // The other segments ignore the terrain.
    interactiveCameraPath(&m, 6.0f, &scene);
    EXPECT_FLOAT_EQ(m._42, (scalar)(2.0 * sin(0.011223 * 96.0) + 10.494999992847443));
}

TEST(CameraPath, YawAndPitchCompose)
{
    // Benchmark parameter p with yaw 0.05 p = pi/2 faces +x; its pitch then rolls
    // the image instead of tilting the view.
    const scalar p = (scalar)(kHalfPi / 0.05);
    matrix m;
    benchmarkCameraPath(&m, p);
    const scalar f[3] = {0.0f, 0.0f, 1.0f};
    const scalar up[3] = {0.0f, 1.0f, 0.0f};
    scalar w[3], u[3];
    transformW(w, &m, f);
    transformW(u, &m, up);
    EXPECT_NEAR(w[0], 1.0f, 1e-5);
    EXPECT_NEAR(w[1], 0.0f, 1e-5);
    const scalar pitch = (scalar)(0.45 * sin(0.03 * (double)p));
    EXPECT_NEAR(u[1], cosf(pitch), 1e-5);
    EXPECT_NEAR(u[2], sinf(pitch), 1e-5);

    // Facing +z, a positive pitch tilts the view down.
    t_matrix ry, rx, r, t, v;
    rotationY(&ry, 0.0f);
    rotationX(&rx, 0.3f);
    multiply(&r, &ry, &rx);
    translation(&t, 0, 0, 0);
    multiply(&v, &r, &t);
    EXPECT_LT(viewForwardY(v), 0.0f);
}

TEST(CameraPath, BenchmarkFirstFrame)
{
    const scalar p = 50.0f + 0.3f;
    const double pd = p;
    matrix m;
    benchmarkCameraPath(&m, p);
    EXPECT_FLOAT_EQ(m._41, (scalar)(4.0 * sin(0.1314 * pd)));
    EXPECT_FLOAT_EQ(m._42, (scalar)(2.0 * sin(0.011223 * pd) + 0.15));
    EXPECT_FLOAT_EQ(m._43, (scalar)(4.0 * sin(0.1115 * pd)));
    EXPECT_NEAR(m._11, cosf((scalar)(0.05 * pd)), 1e-6);
    EXPECT_NEAR(m._22, cosf((scalar)(0.45 * sin(0.03 * pd))), 1e-6);
    EXPECT_EQ(m._44, 1.0f);
}

t_scene lightScene()
{
    t_scene scene;
    memset(&scene, 0xcd, sizeof(scene));  // initLights must leave nothing undefined
    scene.p_qkd = nullptr;
    scene.num_qkd = 0;
    EXPECT_EQ(initLights(&scene), 0);
    EXPECT_EQ(scene.num_dirLights, 1u);
    EXPECT_NE(scene.p_dirLights, nullptr);
    return scene;
}

TEST(Lights, InitLeavesTheSkyOfTheFirstFrame)
{
    t_scene scene = lightScene();
    EXPECT_NEAR(scene.sky.sunDirection[0], 0.0f, 1e-7);
    EXPECT_NEAR(scene.sky.sunDirection[1], -0.6097f, 1e-4);
    EXPECT_NEAR(scene.sky.sunDirection[2], -0.7926f, 1e-4);
    EXPECT_EQ(scene.sky.sunColor[0], 0.0f);
    EXPECT_EQ(scene.ambientLight[0], 0.0f);

    // The first frame colours the light with this sky, then sets up the same sky again.
    const skySystem before = scene.sky;
    updateLights(&scene, 0.0f);
    EXPECT_EQ(memcmp(&before, &scene.sky, sizeof(before)), 0);
    t_ray ray = {};
    ray.w[1] = -2.0f;
    ray.w[2] = -2.6f;
    scalar rgb[3];
    sky_intersect(rgb, &before, &ray);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(scene.p_dirLights[0].rgb[c], rgb[c]);
    free(scene.p_dirLights);
}

TEST(Lights, UpdateAtZero)
{
    t_scene scene = lightScene();
    updateLights(&scene, 0.0f);
    const t_dirLight& l = scene.p_dirLights[0];
    EXPECT_EQ(l.w[0], 0.0f);
    EXPECT_NEAR(l.w[1], -0.6097f, 1e-4);
    EXPECT_NEAR(l.w[2], -0.7926f, 1e-4);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(scene.sky.sunDirection[c], l.w[c]);

    // Ambient: a fifth of the sky seen with the heading reversed, height kept.
    t_ray ray = {};
    ray.w[0] = -l.w[0];
    ray.w[1] = l.w[1];
    ray.w[2] = -l.w[2];
    EXPECT_NEAR(ray.w[2], 0.7926f, 1e-4);
    scalar amb[3];
    sky_intersect(amb, &scene.sky, &ray);
    for (int c = 0; c < 3; ++c)
        EXPECT_FLOAT_EQ(scene.ambientLight[c], 0.2f * amb[c]);
    free(scene.p_dirLights);
}

TEST(Lights, LaterFramesUseThePreviousSky)
{
    t_scene scene = lightScene();
    updateLights(&scene, 0.0f);
    const skySystem previous = scene.sky;
    const scalar t = 37.5f;
    updateLights(&scene, t);

    const double A = sin(0.23 * t) + 2.6;
    const scalar raw[3] = {(scalar)(A * sin(0.04 * t)), (scalar)(1.7 * sin(0.03 * t) - 2.0),
                           (scalar)(-A * cos(0.04 * t))};
    const scalar len = sqrtf(raw[0] * raw[0] + raw[1] * raw[1] + raw[2] * raw[2]);
    const t_dirLight& l = scene.p_dirLights[0];
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(l.w[c], raw[c] / len, 1e-6) << c;
        EXPECT_EQ(scene.sky.sunDirection[c], l.w[c]);
    }
    EXPECT_NE(memcmp(&previous.sunDirection, &scene.sky.sunDirection, 12), 0);

    t_ray ray = {};
    memcpy(ray.w, raw, sizeof(raw));
    scalar rgb[3];
    sky_intersect(rgb, &previous, &ray);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(l.rgb[c], rgb[c]) << c;
    free(scene.p_dirLights);
}

}  // namespace
