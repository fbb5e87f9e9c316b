#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tesk_app.h"
#include "tesk_plasma.h"
#include "tesk_qkd_internal.h"

namespace {

struct Map {
    std::vector<t_qkdHeightVal> samples;
    t_qkd qkd;
};

// Builds the tree over map.samples; returns the build report.
std::string build(Map* map, uint32_t size, uint32_t minNodeSize, scalar s, scalar h)
{
    map->qkd = t_qkd{};
    map->qkd.heightmap = map->samples.data();
    map->qkd.size = size;
    map->qkd.minNodeSize = minNodeSize;
    map->qkd.s = s;
    map->qkd.h = h;
    testing::internal::CaptureStderr();
    const int ret = invalidate_qkd(&map->qkd);
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ret, 0);
    map->qkd.groundColorA[0] = 0.25f;
    map->qkd.groundColorA[1] = 0.5f;
    map->qkd.groundColorA[2] = 0.75f;
    return report;
}

void release(t_qkd* q)
{
    free(q->nodes);
    free(q->S05);
    free(q->W05);
    free(q->vertexX);
    q->nodes = nullptr;
}

void release(Map* map) { release(&map->qkd); }

// The build's plasma heightmap, as the programs load it, in a temporary file.
std::string writePlasmaMap()
{
    char name[] = "/tmp/tesk_qkd_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(plasmaWriteRGB(plasmaSamples(2049, 1, 0.55), 2049, name), 0);
    return name;
}

enum class Relief { Noise, Smooth, Terraced, TerracedOnTheBox, Flat };

void fill(Map* map, uint32_t size, Relief relief, std::mt19937* rng)
{
    map->samples.assign((size_t)size * size, 0);
    std::uniform_int_distribution<int> any(0, 65535);
    std::uniform_real_distribution<double> phase(0.0, 6.28);
    const double p0 = phase(*rng), p1 = phase(*rng);
    for (uint32_t r = 0; r < size; ++r) {
        for (uint32_t c = 0; c < size; ++c) {
            const double fx = 9.0 * c / size, fz = 7.0 * r / size;
            const double smooth = 0.5 + 0.25 * std::sin(fx + p0) + 0.2 * std::cos(fz * 1.3 + p1);
            int v;
            if (relief == Relief::Noise)
                v = any(*rng);
            else if (relief == Relief::Smooth)
                v = (int)(smooth * 60000.0) + any(*rng) % 2000;
            else if (relief == Relief::Terraced)
                v = 1000 + (int)(smooth * 4.0) * 16000;  // plateaus of equal samples
            else if (relief == Relief::Flat)
                v = 30000;
            else
                v = std::min((int)(smooth * 4.0), 3) * 21845;  // plateaus 0 to 65535
            map->samples[(size_t)r * size + c] = (t_qkdHeightVal)std::clamp(v, 0, 65535);
        }
    }
    if (relief == Relief::Terraced) {
        // Plateaus inside the box, off its floor and top.
        map->samples.front() = 0;
        map->samples.back() = 65535;
    }
}

std::string expectedReport(uint32_t size, uint32_t minNodeSize, uint32_t numNodes,
                           uint32_t numRecursions, const char* mega)
{
    char buf[512];
    snprintf(buf, sizeof buf,
             "qkd-invalidation{\n  heightmap size|minNodeSize = %u|%u\n  numNodes = %u\n"
             "  numRecursions = %u\n  allocating %s M of node mem...excellent\n"
             "  building lookup tables...hoorah\n  building qkd tree...\n  accomplished\n}\n",
             size, minNodeSize, numNodes, numRecursions, mega);
    return buf;
}

// --- Build -----------------------------------------------------------------

TEST(QkdBuild, CountsTablesAndReport)
{
    struct Case {
        uint32_t size, minNodeSize, numNodes, numRecursions;
        const char* mega;
    };
    const Case cases[] = {
        {3, 2, 1, 0, "0.000"},
        {65, 4, 341, 4, "0.003"},
        {2049, 2, 1398101, 10, "10.667"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Map map;
        map.samples.assign((size_t)c.size * c.size, 1000);
        const std::string report = build(&map, c.size, c.minNodeSize, 1000.0f, 50.0f);
        EXPECT_EQ(report, expectedReport(c.size, c.minNodeSize, c.numNodes, c.numRecursions,
                                         c.mega));
        const t_qkd& q = map.qkd;
        EXPECT_EQ(q.numNodes, c.numNodes);
        EXPECT_EQ(q.numRecursions, c.numRecursions);
        EXPECT_EQ(q.nodeFree, q.numNodes);
        for (uint32_t L = 0; L <= q.numRecursions; ++L) {
            EXPECT_EQ(q.S05[L], 1000.0f * std::ldexp(1.0f, -(int)L - 1));
            EXPECT_EQ(q.W05[L], c.size >> L);
        }
        release(&map);
    }
}

TEST(QkdBuild, RootBoxUsesTheOneHeightEvaluation)
{
    Map map;
    map.samples = {100, 200, 300, 400, 65535, 500, 600, 700, 7};
    build(&map, 3, 2, 10.0f, 123.4f);
    const t_qkd& q = map.qkd;
    EXPECT_EQ(q.bbMin[0], -5.0f);
    EXPECT_EQ(q.bbMin[2], -5.0f);
    EXPECT_EQ(q.bbMax[0], 5.0f);
    EXPECT_EQ(q.bbMax[2], 5.0f);
    EXPECT_EQ(q.bbMin[1], (scalar)(7.0 * (1.5259021896696422e-05 * 123.4f)));
    EXPECT_EQ(q.bbMax[1], (scalar)(65535.0 * (1.5259021896696422e-05 * 123.4f)));
    EXPECT_EQ(q.bbMin[1], qkd_sampleHeight(&q, 7));
    EXPECT_EQ(q.nodes[0].heightmapUL, 0u);
    // Vertex positions by sample index: column c at -s/2 + c s/(size-1), row
    // r at s/2 - r s/(size-1), the borders exactly on the box.
    const scalar columns[3] = {-5, 0, 5};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(q.vertexX[i], columns[i]);
        EXPECT_EQ(q.vertexZ[i], -columns[i]);
    }
    release(&map);
    // The loaders' maps: exactly there.
    for (const auto& m : {std::make_pair(1025u, 200.0f), std::make_pair(2049u, 16.0f)}) {
        map.samples.assign((size_t)m.first * m.first, 0);
        build(&map, m.first, 2, m.second, 1.0f);
        for (uint32_t i = 0; i < m.first; ++i) {
            const double x = -0.5 * m.second + i * ((double)m.second / (m.first - 1));
            ASSERT_EQ(map.qkd.vertexX[i], x) << m.first << " column " << i;
            ASSERT_EQ(map.qkd.vertexZ[i], -x) << m.first << " row " << i;
        }
        release(&map);
    }
    // Any other width: the column at a node's centre is that centre as the
    // walk forms it (parent + or - S05), so splitting planes pass exactly
    // through vertices; all within rounding of the placement.
    map.samples.assign(17 * 17, 0);
    build(&map, 17, 2, 7.3f, 1.0f);
    const scalar* S05 = map.qkd.S05;
    const scalar* vx = map.qkd.vertexX;
    EXPECT_EQ(vx[8], 0.0f);
    EXPECT_EQ(vx[4], 0.0f - S05[1]);
    EXPECT_EQ(vx[12], 0.0f + S05[1]);
    EXPECT_EQ(vx[6], (0.0f - S05[1]) + S05[2]);
    EXPECT_EQ(vx[7], ((0.0f - S05[1]) + S05[2]) + S05[3]);
    EXPECT_EQ(vx[0], map.qkd.bbMin[0]);
    EXPECT_EQ(vx[16], map.qkd.bbMax[0]);
    EXPECT_EQ(map.qkd.vertexZ[16], map.qkd.bbMin[2]);
    for (int i = 0; i < 17; ++i)
        EXPECT_NEAR(vx[i], -0.5 * 7.3f + i * (7.3f / 16.0), 1e-6) << i;
    release(&map);
}

struct NodeCheck {
    const t_qkd* q;
    std::vector<int> seen;
};

// Walks the tree, checking every node's bounds against its square and that
// every index is handed out exactly once.
void checkNode(NodeCheck* nc, uint32_t index, uint32_t u, uint32_t v, uint32_t n, uint32_t rec)
{
    const t_qkd* q = nc->q;
    ASSERT_LT(index, q->numNodes);
    ++nc->seen[index];
    const t_qkd_node& node = q->nodes[index];
    t_qkdHeightVal lo = 65535, hi = 0;
    for (uint32_t r = v; r <= v + n; ++r) {
        for (uint32_t c = u; c <= u + n; ++c) {
            lo = std::min(lo, q->heightmap[(size_t)r * q->size + c]);
            hi = std::max(hi, q->heightmap[(size_t)r * q->size + c]);
        }
    }
    ASSERT_EQ(node.minH, lo) << "node " << index;
    ASSERT_EQ(node.maxH, hi) << "node " << index;
    if (rec == q->numRecursions) {
        ASSERT_EQ(n, q->minNodeSize);
        ASSERT_EQ(node.heightmapUL, v * q->size + u);
        return;
    }
    const uint32_t first = index + node.ofs, ns = n >> 1;
    checkNode(nc, first + 0, u, v, ns, rec + 1);
    checkNode(nc, first + 1, u + ns, v, ns, rec + 1);
    checkNode(nc, first + 2, u, v + ns, ns, rec + 1);
    checkNode(nc, first + 3, u + ns, v + ns, ns, rec + 1);
}

void checkTree(const t_qkd* q)
{
    NodeCheck nc{q, std::vector<int>(q->numNodes, 0)};
    checkNode(&nc, 0, 0, 0, q->size - 1, 0);
    for (uint32_t i = 0; i < q->numNodes; ++i)
        ASSERT_EQ(nc.seen[i], 1) << "node " << i;
}

TEST(QkdBuild, NodeBoundsMatchBruteForceOnRandomMaps)
{
    std::mt19937 rng(7);
    const uint32_t shapes[][2] = {{3, 2}, {5, 2}, {5, 4}, {9, 2}, {17, 4}, {33, 2}, {129, 4}};
    for (const auto& sh : shapes) {
        for (Relief relief : {Relief::Noise, Relief::Terraced}) {
            SCOPED_TRACE(sh[0]);
            Map map;
            fill(&map, sh[0], relief, &rng);
            build(&map, sh[0], sh[1], 64.0f, 10.0f);
            checkTree(&map.qkd);
            release(&map);
        }
    }
}

TEST(QkdBuild, SiblingsArePreOrderBlocks)
{
    Map map;
    map.samples.assign(33 * 33, 0);
    build(&map, 33, 2, 1.0f, 1.0f);
    const t_qkd_node* n = map.qkd.nodes;
    EXPECT_EQ(0 + n[0].ofs, 1u);
    EXPECT_EQ(1 + n[1].ofs, 5u);
    EXPECT_EQ(5 + n[5].ofs, 9u);
    EXPECT_EQ(2 + n[2].ofs, 5u + (4 + 16 + 64));  // after node 1's descendants
    release(&map);
}

TEST(QkdBuild, FlatMap)
{
    Map map;
    map.samples.assign(17 * 17, 4242);
    build(&map, 17, 2, 8.0f, 3.0f);
    for (uint32_t i = 0; i < map.qkd.numNodes; ++i) {
        EXPECT_EQ(map.qkd.nodes[i].minH, 4242);
        EXPECT_EQ(map.qkd.nodes[i].maxH, 4242);
    }
    EXPECT_EQ(map.qkd.bbMin[1], map.qkd.bbMax[1]);
    release(&map);
}

// Marks the nodes whose square contains sample (r, c), and the leaves.
void nodesContaining(const t_qkd* q, std::vector<bool>* hit, std::vector<bool>* leaf,
                     uint32_t index, uint32_t u, uint32_t v, uint32_t n, uint32_t rec, uint32_t r,
                     uint32_t c)
{
    (*hit)[index] = r >= v && r <= v + n && c >= u && c <= u + n;
    (*leaf)[index] = rec == q->numRecursions;
    if (rec == q->numRecursions)
        return;
    const uint32_t first = index + q->nodes[index].ofs, ns = n >> 1;
    nodesContaining(q, hit, leaf, first + 0, u, v, ns, rec + 1, r, c);
    nodesContaining(q, hit, leaf, first + 1, u + ns, v, ns, rec + 1, r, c);
    nodesContaining(q, hit, leaf, first + 2, u, v + ns, ns, rec + 1, r, c);
    nodesContaining(q, hit, leaf, first + 3, u + ns, v + ns, ns, rec + 1, r, c);
}

TEST(QkdBuild, SingleHighSampleRaisesEveryNodeTouchingIt)
{
    // (1, 2): border between two leaves; (8, 8): centre of the map, on the
    // border of all four children of the root; (4, 4): corner of four leaves.
    const uint32_t spots[][2] = {{1, 2}, {8, 8}, {4, 4}};
    for (const auto& spot : spots) {
        Map map;
        map.samples.assign(17 * 17, 10);
        map.samples[spot[0] * 17 + spot[1]] = 60000;
        build(&map, 17, 2, 16.0f, 1.0f);
        const t_qkd& q = map.qkd;
        std::vector<bool> touched(q.numNodes), leaf(q.numNodes);
        nodesContaining(&q, &touched, &leaf, 0, 0, 0, 16, 0, spot[0], spot[1]);
        int raisedLeaves = 0;
        for (uint32_t i = 0; i < q.numNodes; ++i) {
            EXPECT_EQ(q.nodes[i].maxH, touched[i] ? 60000 : 10) << i;
            EXPECT_EQ(q.nodes[i].minH, 10);
            raisedLeaves += touched[i] && leaf[i] ? 1 : 0;
        }
        if (spot[0] == 8) {
            for (uint32_t c = 1; c <= 4; ++c)
                EXPECT_EQ(q.nodes[c].maxH, 60000);
        }
        EXPECT_EQ(raisedLeaves, spot[0] == 1 ? 2 : 4);
        release(&map);
    }
}

// --- Ray queries of the math header ----------------------------------------

t_ray makeRay(scalar x0, scalar x1, scalar x2, scalar w0, scalar w1, scalar w2)
{
    t_ray r{};
    r.x[0] = x0;
    r.x[1] = x1;
    r.x[2] = x2;
    r.w[0] = w0;
    r.w[1] = w1;
    r.w[2] = w2;
    return r;
}

TEST(RayTriangle, HitsFromAboveAndBelowWithUpwardNormal)
{
    const scalar a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 0, -1};
    scalar t, u, v, n[3];
    t_ray down = makeRay(0.25f, 2.0f, -0.5f, 0, -1, 0);
    ASSERT_EQ(ray_triangle_intersection(&down, a, b, c, &t, &u, &v, n), 1);
    EXPECT_EQ(t, 2.0f);
    EXPECT_EQ(u, 0.25f);  // weight of b
    EXPECT_EQ(v, 0.5f);   // weight of c
    EXPECT_EQ(n[0], 0.0f);
    EXPECT_EQ(n[1], 1.0f);
    EXPECT_EQ(n[2], 0.0f);

    t_ray up = makeRay(0.25f, -3.0f, -0.5f, 0, 1, 0);
    ASSERT_EQ(ray_triangle_intersection(&up, a, b, c, &t, &u, &v, n), -1);
    EXPECT_EQ(t, 3.0f);
    EXPECT_EQ(n[1], 1.0f);

    // Outside each barycentric bound, and behind the origin.
    t_ray r1 = makeRay(-0.1f, 1, -0.5f, 0, -1, 0);
    t_ray r2 = makeRay(0.5f, 1, 0.1f, 0, -1, 0);
    t_ray r3 = makeRay(0.6f, 1, -0.6f, 0, -1, 0);
    t_ray r4 = makeRay(0.25f, 1, -0.25f, 0, 1, 0);
    for (const t_ray* r : {&r1, &r2, &r3, &r4})
        EXPECT_EQ(ray_triangle_intersection(r, a, b, c, &t, &u, &v, n), 0);
}

TEST(RayTriangle, ParallelThresholdOriginOnTriangleAndNormalisation)
{
    const scalar a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 0, -1};
    scalar t, u, v, n[3];
    // det = -w.y here: |det| < 1e-6 is parallel, even in the plane itself.
    t_ray flat = makeRay(-1, 5e-7f, -0.25f, 1, -9.9e-7f, 0);
    EXPECT_EQ(ray_triangle_intersection(&flat, a, b, c, &t, &u, &v, n), 0);
    t_ray inPlane = makeRay(-1, 0, -0.25f, 1, 0, 0);
    EXPECT_EQ(ray_triangle_intersection(&inPlane, a, b, c, &t, &u, &v, n), 0);
    t_ray steepEnough = makeRay(0.25f, 2e-6f, -0.25f, 0, -1.01e-6f, 0);
    EXPECT_EQ(ray_triangle_intersection(&steepEnough, a, b, c, &t, &u, &v, n), 1);

    t_ray onIt = makeRay(0.25f, 0, -0.25f, 0.3f, -1, 0.2f);
    ASSERT_EQ(ray_triangle_intersection(&onIt, a, b, c, &t, &u, &v, n), 1);
    EXPECT_EQ(t, 0.0f);

    const scalar sa[3] = {0, 1, 0}, sb[3] = {2, 3, 0}, sc[3] = {0, 2, -3};
    t_ray down = makeRay(0.5f, 10, -0.5f, 0, -1, 0);
    ASSERT_EQ(ray_triangle_intersection(&down, sa, sb, sc, &t, &u, &v, n), 1);
    // (2, 2, 0) x (0, 1, -3) = (-6, 6, 2); scaled by 1/sqrt(76) in double.
    const scalar k = (scalar)(1.0 / std::sqrt(76.0));
    EXPECT_EQ(n[0], -6.0f * k);
    EXPECT_EQ(n[1], 6.0f * k);
    EXPECT_EQ(n[2], 2.0f * k);
    for (int i = 0; i < 3; ++i)  // the hit point agrees with the barycentric weights
        EXPECT_NEAR(down.x[i] + t * down.w[i],
                    sa[i] + u * (sb[i] - sa[i]) + v * (sc[i] - sa[i]), 1e-5);
}

TEST(RayAABB, SlabsAndZeroDirectionComponents)
{
    const scalar lo[3] = {-1, 0, -2}, hi[3] = {1, 1, 2};
    scalar tmin = 77, tmax = 77;
    t_ray r = makeRay(-3, 0.5f, 0, 1, 0.125f, 0.25f);
    ASSERT_EQ(intersectRayAABB(&tmin, &tmax, &r, lo, hi), 1);
    EXPECT_EQ(tmin, 2.0f);
    EXPECT_EQ(tmax, 4.0f);

    t_ray away = makeRay(-3, 0.5f, 0, -1, 0.01f, 0);
    ASSERT_EQ(intersectRayAABB(&tmin, &tmax, &away, lo, hi), 1);  // the line meets it
    EXPECT_EQ(tmin, -4.0f);
    EXPECT_EQ(tmax, -2.0f);

    tmin = tmax = 77;
    t_ray miss = makeRay(-3, 5, 0, 1, 0, 0);
    EXPECT_EQ(intersectRayAABB(&tmin, &tmax, &miss, lo, hi), 0);
    EXPECT_EQ(tmin, 77.0f);
    EXPECT_EQ(tmax, 77.0f);

    // Zero components of either sign: inside the slab (faces included) the
    // other axes decide, outside it the box is missed.
    for (scalar zero : {0.0f, -0.0f}) {
        const scalar ys[] = {0.5f, 0.0f, 1.0f};
        for (scalar y : ys) {
            t_ray r2 = makeRay(-3, y, 0, 1, zero, zero);
            ASSERT_EQ(intersectRayAABB(&tmin, &tmax, &r2, lo, hi), 1) << y;
            EXPECT_EQ(tmin, 2.0f);
            EXPECT_EQ(tmax, 4.0f);
        }
        t_ray vertical = makeRay(1, 5, -2, zero, -1, zero);
        ASSERT_EQ(intersectRayAABB(&tmin, &tmax, &vertical, lo, hi), 1);
        EXPECT_EQ(tmin, 4.0f);
        EXPECT_EQ(tmax, 5.0f);
        t_ray beside = makeRay(1.001f, 5, 0, zero, -1, 0.5f);
        EXPECT_EQ(intersectRayAABB(&tmin, &tmax, &beside, lo, hi), 0);
    }
}

// --- Traversal pieces ------------------------------------------------------

TEST(QkdTraversal, PresortOfsFourCases)
{
    struct Case {
        scalar w0, w2;
        uint32_t expect[4];
    };
    const Case cases[] = {
        {1, 1, {1, 0, 3, 2}},  {1, -1, {3, 2, 1, 0}},  {-1, 1, {0, 1, 2, 3}},
        {-1, -1, {2, 3, 0, 1}}, {0, 1, {0, 1, 2, 3}},   {1, 0, {3, 2, 1, 0}},
        {-0.0f, 0, {2, 3, 0, 1}},
    };
    for (const Case& c : cases) {
        t_ray r = makeRay(0, 0, 0, c.w0, -1, c.w2);
        uint32_t ofs[4];
        presort_ofs(ofs, &r);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(ofs[k], c.expect[k]) << c.w0 << " " << c.w2 << " " << k;
    }
}

scalar max3(scalar a, scalar b, scalar c) { return std::max(std::max(a, b), c); }

TEST(QkdTraversal, SimdIntervalsEqualTheScalarTable)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> any(-10.0f, 10.0f);
    const scalar special[] = {0.0f, -0.0f, INFINITY, -INFINITY, 1.0f, 2.5f};
    for (int i = 0; i < 4000; ++i) {
        scalar tx = i % 5 == 0 ? special[rng() % 6] : any(rng);
        scalar tz = i % 7 == 0 ? special[rng() % 6] : any(rng);
        scalar tmin = std::abs(any(rng)), tmax = std::abs(any(rng));
        if (i % 3 == 0)
            tmax = tmin + std::abs(any(rng));
        sse_float in, out;
        qkd_childIntervals(&in, &out, tx, tx, tz, tz, tmin, tmax);
        const scalar eIn[4] = {max3(tx, tz, 0), max3(tz, tmin, 0), max3(tx, tmin, 0), tmin};
        const scalar eOut[4] = {tmax, std::min(tx, tmax), std::min(tz, tmax), std::min(tx, tz)};
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(in.f[k], eIn[k]) << i << " lane " << k;
            ASSERT_EQ(out.f[k], eOut[k]) << i << " lane " << k;
        }
    }
}

TEST(QkdTraversal, SplitCrossingForParallelRays)
{
    scalar tIn, tOut;
    qkd_splitCrossing(&tIn, &tOut, 2.0f, 1.0f, 0.5f, true);
    EXPECT_EQ(tIn, 0.5f);
    EXPECT_EQ(tOut, 0.5f);
    for (scalar inv : {INFINITY, -INFINITY}) {
        qkd_splitCrossing(&tIn, &tOut, 2.0f, 3.0f, inv, true);  // stays in the near half
        EXPECT_EQ(tIn, INFINITY);
        EXPECT_EQ(tOut, INFINITY);
        qkd_splitCrossing(&tIn, &tOut, 2.0f, 1.0f, inv, true);  // in the far half from 0 on
        EXPECT_EQ(tIn, -INFINITY);
        EXPECT_EQ(tOut, -INFINITY);
        qkd_splitCrossing(&tIn, &tOut, 2.0f, 1.0f, inv, false);
        EXPECT_EQ(tIn, INFINITY);
        qkd_splitCrossing(&tIn, &tOut, 2.0f, 2.0f, inv, false);  // in the plane: both halves
        EXPECT_EQ(tIn, -INFINITY);
        EXPECT_EQ(tOut, INFINITY);
    }
}

// The packet walk culls a child at once where both heights pass its bound
// by more than qkd_farMargin, so the slack test must never keep such a
// child: heights just beyond the margin, from origins far above or below
// whose descent nearly cancels them (the largest slack), on either side.
TEST(QkdTraversal, FarMarginLeavesNoHeightWithinTheSlack)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto logUniform = [&](float lo, float hi) { return lo * std::pow(hi / lo, unit(rng)); };
    int checked = 0;
    for (int i = 0; i < 200000; ++i) {
        const scalar maxHeight = logUniform(1e-3f, 1e6f);
        const scalar bound = i % 4 == 0 ? maxHeight : maxHeight * (2.0f * unit(rng) - 1.0f);
        const scalar x1Size = i % 8 == 0 ? 0.0f : logUniform(1e-3f, 1e7f);
        const scalar x1 = rng() % 2 ? x1Size : -x1Size;
        const scalar side = rng() % 2 ? 1.0f : -1.0f;
        const scalar margin = qkd_farMargin(maxHeight, std::abs(x1));
        const scalar target = bound + side * margin * (1.0f + 1e-5f * unit(rng));
        const scalar tIn = logUniform(1e-2f, 1e8f), tOut = tIn * (1.0f + 1e-3f * unit(rng));
        const scalar w1 = (target - x1) / tIn;
        const scalar yMin = tIn * w1 + x1, yMax = tOut * w1 + x1;
        const scalar cut = bound + side * margin;
        const bool far = side > 0 ? yMin > cut && yMax > cut : yMin < cut && yMax < cut;
        if (!far)
            continue;
        ++checked;
        ASSERT_FALSE(qkd_nearHeight(yMin, yMax, bound, tIn, tOut, w1, x1))
            << "bound " << bound << " x1 " << x1 << " t " << tIn << " w1 " << w1 << " y " << yMin;
    }
    EXPECT_GT(checked, 20000);
}

// --- Leaf triangles --------------------------------------------------------

// A 3 x 3 map with h = 65535 (heights equal to the samples) and s = 2: the
// root is the only leaf, with cells one unit wide.
void buildUnitLeaf(Map* map, std::vector<t_qkdHeightVal> samples)
{
    map->samples = std::move(samples);
    build(map, 3, 2, 2.0f, 65535.0f);
}

TEST(QkdLeaf, TiesKeepTheFirstTriangleAndNearestWins)
{
    Map map;
    // Cell (0, 0): the two triangles meet on the diagonal from (0, 2) to
    // (-1, 4) at different slopes.
    buildUnitLeaf(&map, {0, 2, 20, 4, 10, 20, 20, 20, 20});
    ASSERT_EQ(qkd_sampleHeight(&map.qkd, 4), 4.0f);
    const scalar centre[2] = {0, 0};
    scalar t, N[3];
    t_material mat{};
    t_ray r = makeRay(-0.5f, 100, 0.5f, 0, -1, 0);
    ASSERT_EQ(intersectLeaf(&t, N, &mat, centre, 1.0f, &r, &map.qkd.nodes[0], &map.qkd), 1);
    EXPECT_EQ(t, 97.0f);
    const scalar k = (scalar)(1.0 / std::sqrt(21.0));  // (-2, 1, 4) of the first triangle
    EXPECT_EQ(N[0], -2.0f * k);
    EXPECT_EQ(N[1], 1.0f * k);
    EXPECT_EQ(N[2], 4.0f * k);
    EXPECT_EQ(mat.rgb[0], 0.25f);
    EXPECT_EQ(mat.rgb[2], 0.75f);

    // A ray through the lower cells first (in test order) and the wall at
    // the upper row later: the nearer hit wins, from below.
    t_ray low = makeRay(-0.5f, 1, -0.5f, 0, 1, 0);
    ASSERT_EQ(intersectLeaf(&t, N, &mat, centre, 1.0f, &low, &map.qkd.nodes[0], &map.qkd), -1);
    EXPECT_GT(N[1], 0.0f);
    EXPECT_LT(t, 19.0f);
    release(&map);
}

TEST(QkdLeaf, MissWritesOnlyT)
{
    Map map;
    buildUnitLeaf(&map, std::vector<t_qkdHeightVal>(9, 5));
    const scalar centre[2] = {0, 0};
    scalar t = 1, N[3] = {9, 9, 9};
    t_material mat{{7, 7, 7}};
    t_ray r = makeRay(-0.5f, 10, 0.5f, 0, 1, 0);
    EXPECT_EQ(intersectLeaf(&t, N, &mat, centre, 1.0f, &r, &map.qkd.nodes[0], &map.qkd), 0);
    EXPECT_EQ(t, 3.4028235e+38f);
    EXPECT_EQ(N[0], 9.0f);
    EXPECT_EQ(mat.rgb[1], 7.0f);
    // Flat tile: every normal is straight up.
    t_ray d = makeRay(0.3f, 10, -0.7f, 0.1f, -1, 0.05f);
    EXPECT_EQ(intersectLeaf(&t, N, &mat, centre, 1.0f, &d, &map.qkd.nodes[0], &map.qkd), 1);
    EXPECT_EQ(N[0], 0.0f);
    EXPECT_EQ(N[1], 1.0f);
    EXPECT_EQ(N[2], 0.0f);
    release(&map);
}

// --- intersect_qkd ---------------------------------------------------------

TEST(QkdIntersect, MissesOfTheBoxTouchNothingMissesInsideItClearT)
{
    // Flat at 1000 with one peak in the (-x, +z) corner.
    Map map;
    map.samples.assign(17 * 17, 1000);
    map.samples[0] = 60000;
    build(&map, 17, 2, 16.0f, 4.0f);
    const scalar midY = 0.5f * (map.qkd.bbMin[1] + map.qkd.bbMax[1]);
    const uint64_t before = g_qkdStats.numRaysHitRoot;
    const t_ray outside[] = {
        makeRay(-20, midY, 9, 1, 0, 0),     // beside the box
        makeRay(20, midY, 0, 1, 0.01f, 0),  // points away from a box behind it
        makeRay(0, 50, 0, 1, 0, 0),         // above it, parallel
        makeRay(-20, 50, 0, 1, -0.01f, 0),  // passes over it
        makeRay(-20, -1, 0, 1, 0, 0),       // below it, parallel
    };
    for (const t_ray& r : outside) {
        scalar t = 5, N[3] = {6, 6, 6};
        t_material mat{{7, 7, 7}};
        EXPECT_EQ(intersect_qkd(&t, N, &mat, &r, &map.qkd), 0);
        EXPECT_EQ(t, 5.0f);
        EXPECT_EQ(N[2], 6.0f);
        EXPECT_EQ(mat.rgb[0], 7.0f);
    }
    EXPECT_EQ(g_qkdStats.numRaysHitRoot, before);

    // Through the box above the terrain, and up from inside it: counted, t
    // at the largest float, black material, N untouched.
    const t_ray inside[] = {makeRay(-20, midY, -4, 1, 0, 0), makeRay(3, midY, 3, 0.2f, 1, 0)};
    for (const t_ray& r : inside) {
        scalar t = 5, N[3] = {6, 6, 6};
        t_material mat{{7, 7, 7}};
        EXPECT_EQ(intersect_qkd(&t, N, &mat, &r, &map.qkd), 0);
        EXPECT_EQ(t, 3.4028235e+38f);
        EXPECT_EQ(mat.rgb[0], 0.0f);
        EXPECT_EQ(mat.rgb[1], 0.0f);
        EXPECT_EQ(N[0], 6.0f);
    }
    EXPECT_EQ(g_qkdStats.numRaysHitRoot, before + 2);
    EXPECT_EQ(g_qkdStats.numLeafsVisited, 0u);
    EXPECT_EQ(g_qkdStats.numNodesVisited, 0u);

    // Level at exactly the peak's height, through the peak: the box's top
    // face still counts as inside, and the peak is met.
    const t_ray level = makeRay(-20, map.qkd.bbMax[1], map.qkd.bbMax[2], 1, 0, 0);
    scalar t = 5, N[3];
    t_material mat;
    EXPECT_NE(intersect_qkd(&t, N, &mat, &level, &map.qkd), 0);
    EXPECT_EQ(t, 20.0f + map.qkd.bbMin[0]);
    release(&map);
}

// The box of a flat map has no height, so a ray crosses it in a single
// point; the terrain lies exactly there and must still be found.
TEST(QkdIntersect, FlatMapIsHitFromAboveAndBelow)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (const t_qkdHeightVal value : {0, 1000, 32768, 65535}) {
        Map map;
        map.samples.assign(65 * 65, value);
        build(&map, 65, 2, 200.0f, 15.0f);
        const scalar ground = qkd_sampleHeight(&map.qkd, value);
        for (int i = 0; i < 500; ++i) {
            const bool below = i % 5 == 0;
            t_ray ray = makeRay(90.0f * unit(rng), ground + (below ? -5.0f : 20.0f),
                                90.0f * unit(rng), 0, 0, 0);
            const scalar target[3] = {95.0f * unit(rng), ground, 95.0f * unit(rng)};
            scalar len = 0;
            for (int c = 0; c < 3; ++c) {
                ray.w[c] = target[c] - ray.x[c];
                len += ray.w[c] * ray.w[c];
            }
            for (int c = 0; c < 3; ++c)
                ray.w[c] /= std::sqrt(len);
            scalar t = -1, N[3];
            t_material mat;
            const int r = intersect_qkd(&t, N, &mat, &ray, &map.qkd);
            ASSERT_EQ(r, below ? -1 : 1) << "value " << value << " ray " << i;
            EXPECT_NEAR(ray.x[1] + t * ray.w[1], ground, 1e-4f);
            EXPECT_EQ(N[1], 1.0f);
        }
        release(&map);
    }
}

TEST(QkdIntersect, RootOnlyTreeAndHeightProbe)
{
    Map leaf;
    buildUnitLeaf(&leaf, {0, 2, 20, 4, 10, 20, 20, 20, 20});
    scalar t, N[3];
    t_material mat;
    t_ray r = makeRay(-0.5f, 100, 0.5f, 0, -1, 0);
    ASSERT_EQ(intersect_qkd(&t, N, &mat, &r, &leaf.qkd), 1);
    EXPECT_EQ(t, 97.0f);
    release(&leaf);

    // The nearly vertical probe finds the ground under every point.
    Map map;
    std::mt19937 rng(5);
    fill(&map, 65, Relief::Noise, &rng);
    build(&map, 65, 2, 64.0f, 10.0f);
    for (int i = 0; i < 400; ++i) {
        const scalar x = -31.9f + 63.8f * (i % 20) / 19.0f, z = -31.9f + 63.8f * (i / 20) / 19.0f;
        t_ray probe = makeRay(x, 1000.0f, z, 0.00001f, -1, 0.00001f);
        ASSERT_EQ(intersect_qkd(&t, N, &mat, &probe, &map.qkd), 1) << x << " " << z;
        EXPECT_GT(N[1], 0.0f);
        EXPECT_EQ(mat.rgb[1], 0.5f);
        // And from underneath the surface, looking up.
        t_ray below = makeRay(x, -1.0f, z, 0.00001f, 1, 0.00001f);
        ASSERT_EQ(intersect_qkd(&t, N, &mat, &below, &map.qkd), -1);
        EXPECT_GT(N[1], 0.0f);
    }
    release(&map);
}

// --- Traversal against brute force -------------------------------------------

struct LeafHit {
    int r;
    scalar t;
    scalar N[3];
    double entry;  // where the ray enters the leaf's footprint (from t = 0 on)
};

// Where the ray enters the footprint [x0, x1] x [z0, z1] (from t = 0 on).
double footprintEntry(const t_ray* ray, const double (&lo)[2], const double (&hi)[2])
{
    double tLo = 0.0, tHi = INFINITY;
    for (int k = 0; k < 2; ++k) {
        const double x = ray->x[2 * k], w = ray->w[2 * k];
        if (w == 0.0) {
            if (x < lo[k] || x > hi[k])
                return INFINITY;
            continue;
        }
        double t0 = (lo[k] - x) / w, t1 = (hi[k] - x) / w;
        if (t0 > t1)
            std::swap(t0, t1);
        tLo = std::max(tLo, t0);
        tHi = std::min(tHi, t1);
    }
    return tLo <= tHi ? tLo : INFINITY;
}

// Every triangle of every leaf, cut exactly as the leaves are cut. Keeps the
// first nearest hit per leaf.
void bruteForce(const t_qkd* q, const t_qkd_node* node, scalar cx, scalar cz, uint32_t rec,
                const t_ray* ray, std::vector<LeafHit>* hits)
{
    if (rec < q->numRecursions) {
        const scalar S = q->S05[rec + 1];
        const t_qkd_node* first = node + node->ofs;
        for (uint32_t c = 0; c < 4; ++c)
            bruteForce(q, first + c, cx + ((c & 1) ? S : -S), cz - ((c >> 1) ? S : -S),
                       rec + 1, ray, hits);
        return;
    }
    const scalar S = q->S05[rec];
    const uint32_t n = q->minNodeSize;
    LeafHit best{0, FLT_MAX, {0, 0, 0}, 0.0};
    // Vertices sit where their column and row put them.
    const uint32_t row0 = node->heightmapUL / q->size, col0 = node->heightmapUL % q->size;
    for (uint32_t v = 0; v < n; ++v) {
        for (uint32_t u = 0; u < n; ++u) {
            const uint32_t i = node->heightmapUL + v * q->size + u;
            auto y = [&](uint32_t idx) { return qkd_sampleHeight(q, q->heightmap[idx]); };
            const scalar x0 = q->vertexX[col0 + u], x1 = q->vertexX[col0 + u + 1];
            const scalar z0 = q->vertexZ[row0 + v], z1 = q->vertexZ[row0 + v + 1];
            const scalar p0[3] = {x0, y(i), z0};
            const scalar p1[3] = {x1, y(i + 1), z0};
            const scalar p2[3] = {x0, y(i + q->size), z1};
            const scalar p3[3] = {x1, y(i + q->size + 1), z1};
            const scalar* tris[2][3] = {{p0, p1, p2}, {p2, p1, p3}};
            for (auto& tri : tris) {
                scalar t, bu, bv, nn[3];
                const int r = ray_triangle_intersection(ray, tri[0], tri[1], tri[2], &t, &bu, &bv,
                                                        nn);
                if (r != 0 && t < best.t)
                    best = LeafHit{r, t, {nn[0], nn[1], nn[2]}, 0.0};
            }
        }
    }
    if (best.r != 0) {
        // The footprint of the triangles as cut, rounding of the edges included,
        // grown by a hair: the triangle test accepts points that far outside.
        const double eps = 1e-5 * S;
        const double lo[2] = {q->vertexX[col0] - eps, q->vertexZ[row0 + n] - eps};
        const double hi[2] = {q->vertexX[col0 + n] + eps, q->vertexZ[row0] + eps};
        best.entry = footprintEntry(ray, lo, hi);
        hits->push_back(best);
    }
}

bool sameHit(const LeafHit& h, int r, scalar t, const scalar* N)
{
    return h.r == r && h.t == t && h.N[0] == N[0] && h.N[1] == N[1] && h.N[2] == N[2];
}

// Compares intersect_qkd with the brute force; returns 1 for a hit, 0 for a
// miss. The walk returns the hit of the first leaf it crosses that has one,
// so of the leaves with a hit the one the ray enters first must win, with its
// exact t, normal and side. Leaves entered at the same point (the ray runs
// along their common border, or through a shared corner) may each win: on a
// border the same point comes out of two triangles with different rounding.
// Being first crossed, the winner also holds the nearest hit, up to that
// rounding.
int compareWithBruteForce(const t_qkd* q, const t_ray& ray)
{
    std::vector<LeafHit> hits;
    bruteForce(q, q->nodes, 0.0f, 0.0f, 0, &ray, &hits);
    scalar t = -1, N[3] = {0, 0, 0};
    t_material mat{{-1, -1, -1}};
    const int r = intersect_qkd(&t, N, &mat, &ray, q);
    if (hits.empty()) {
        EXPECT_EQ(r, 0);
        return 0;
    }
    scalar tBest = FLT_MAX;
    double firstEntry = INFINITY;
    for (const LeafHit& h : hits) {
        tBest = std::min(tBest, h.t);
        firstEntry = std::min(firstEntry, h.entry);
    }
    int entered = 0;
    bool matched = false;
    for (const LeafHit& h : hits) {
        if (h.entry <= firstEntry + 1e-6 * (1.0 + std::abs(firstEntry))) {
            ++entered;
            matched = matched || sameHit(h, r, t, N);
        }
    }
    EXPECT_TRUE(matched) << "traversal " << r << " t=" << t << " N=(" << N[0] << "," << N[1]
                         << "," << N[2] << "), brute force t=" << tBest << " in "
                         << hits.size() << " leaves, " << entered << " entered first";
    if (entered == 1)
        EXPECT_EQ(t, tBest);
    else
        EXPECT_NEAR(t, tBest, 1e-4 * std::max(1.0f, tBest));
    EXPECT_EQ(mat.rgb[0], q->groundColorA[0]);
    EXPECT_EQ(mat.rgb[2], q->groundColorA[2]);
    return 1;
}

enum class RayKind { FromAbove, UnderSurface, InsideBox, NearVertical, Grazing, Count };

t_ray randomRay(const t_qkd* q, RayKind kind, std::mt19937* rng)
{
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    auto u = [&]() { return unit(*rng); };
    const scalar half = q->s * 0.5f, yLo = q->bbMin[1], yHi = q->bbMax[1];
    const scalar yMid = 0.5f * (yLo + yHi), ySpan = std::max(yHi - yLo, 1e-3f);
    t_ray r{};
    switch (kind) {
    case RayKind::FromAbove: {
        r = makeRay(1.4f * half * u(), yHi + ySpan * (1.5f + u()), 1.4f * half * u(), 0, 0, 0);
        const scalar target[3] = {half * u(), yMid + 0.5f * ySpan * u(), half * u()};
        for (int i = 0; i < 3; ++i)
            r.w[i] = target[i] - r.x[i];
        break;
    }
    case RayKind::UnderSurface:
        r = makeRay(half * u(), yLo + 0.3f * ySpan * (1.0f + u()), half * u(), u(),
                    0.5f * (1.0f + u()), u());
        break;
    case RayKind::InsideBox:
        r = makeRay(half * u(), yMid + 0.5f * ySpan * u(), half * u(), u(), u(), u());
        break;
    case RayKind::NearVertical:
        r = makeRay(half * u(), yHi + ySpan, half * u(), 1e-4f * u(), -1, 1e-4f * u());
        break;
    default:
        r = makeRay(1.2f * half * u(), yMid + 0.5f * ySpan * u(), 1.2f * half * u(), u(),
                    0.002f * u(), u());
        break;
    }
    // Some rays get a zero x or z component (of either sign), a few both;
    // some of those start exactly on a splitting plane of the tree.
    const int axisCase = (int)((*rng)() % 10);
    if (axisCase < 4) {
        const int axis = axisCase < 2 ? 0 : 2;
        const scalar zero = (axisCase & 1) ? -0.0f : 0.0f;
        r.w[axis] = zero;
        if ((*rng)() % 3 == 0) {
            const uint32_t level = (*rng)() % (q->numRecursions + 1);
            const int k = (int)((*rng)() % (1u << level)) * 2 + 1 - (1 << level);
            r.x[axis] = (scalar)k * q->S05[level];  // a node centre of that level
        }
        if (axisCase == 3 && (*rng)() % 4 == 0)
            r.w[0] = 0.0f;
    }
    return r;
}

TEST(QkdIntersect, MatchesBruteForceOnRandomRays)
{
    struct Case {
        uint32_t size, minNodeSize, rays;
        scalar s, h;
        Relief relief;
    };
    const Case cases[] = {
        {3, 2, 1500, 2.0f, 1.0f, Relief::Noise},
        {5, 2, 1500, 100.0f, 40.0f, Relief::Smooth},
        {5, 4, 1500, 1000.0f, 80.0f, Relief::Noise},
        {17, 2, 2500, 64.0f, 30.0f, Relief::Terraced},
        {17, 4, 2000, 7.3f, 2.1f, Relief::Smooth},
        {65, 2, 500, 1000.0f, 300.0f, Relief::Noise},
        {65, 4, 500, 64.0f, 5.0f, Relief::Smooth},
        {257, 2, 50, 2048.0f, 400.0f, Relief::Smooth},
        {257, 4, 50, 512.0f, 90.0f, Relief::Terraced},
        // A ray meets a plateau on the box's top where it enters the box, or
        // on its floor where it leaves it: rounding must not cull the node.
        {17, 2, 2500, 64.0f, 30.0f, Relief::TerracedOnTheBox},
        {65, 2, 1500, 200.0f, 15.0f, Relief::TerracedOnTheBox},
    };
    std::mt19937 rng(2024);
    int hits = 0, total = 0;
    for (const Case& c : cases) {
        Map map;
        fill(&map, c.size, c.relief, &rng);
        build(&map, c.size, c.minNodeSize, c.s, c.h);
        for (uint32_t i = 0; i < c.rays; ++i) {
            const RayKind kind = (RayKind)(i % (uint32_t)RayKind::Count);
            const t_ray ray = randomRay(&map.qkd, kind, &rng);
            SCOPED_TRACE(testing::Message()
                         << "size " << c.size << "/" << c.minNodeSize << " kind " << (int)kind
                         << " x=(" << ray.x[0] << "," << ray.x[1] << "," << ray.x[2] << ") w=("
                         << ray.w[0] << "," << ray.w[1] << "," << ray.w[2] << ")");
            hits += compareWithBruteForce(&map.qkd, ray);
            ++total;
            if (testing::Test::HasFailure())
                break;
        }
        release(&map);
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(hits, total / 4);  // the comparison is not about misses only
}

// --- Against an exact reference --------------------------------------------

// The terrain's triangles in double precision, found through a min/max
// pyramid of the test's own: the nearest hit of a ray, no thresholds.
// Vertices are the float positions of the tree's vertex tables (checked
// against the map's placement by QkdBuild) at the samples' heights.
struct RefTerrain {
    uint32_t size = 0, cells = 0;
    std::vector<double> x, z, y;
    std::vector<std::vector<double>> lo, hi;  // level l: blocks of 2^l cells
};

struct RefHit {
    bool hit = false;
    double t = INFINITY;
    double minWeight = 0;  // smallest barycentric weight: distance from the edges
    double n[3] = {0, 0, 0};  // unit normal of (b - a) x (c - a)
    double det = 0;           // -(w . (b - a) x (c - a))
};

void refBuild(RefTerrain* ref, const t_qkd* q)
{
    const uint32_t size = q->size, cells = size - 1;
    ASSERT_EQ(cells & (cells - 1), 0u) << "the pyramid wants a power of two";
    ref->size = size;
    ref->cells = cells;
    ref->x.assign(q->vertexX, q->vertexX + size);
    ref->z.assign(q->vertexZ, q->vertexZ + size);
    ref->y.resize((size_t)size * size);
    for (size_t i = 0; i < ref->y.size(); ++i)
        ref->y[i] = (scalar)((double)q->heightmap[i] * (1.5259021896696422e-05 * (double)q->h));
    ref->lo.assign(1, std::vector<double>((size_t)cells * cells));
    ref->hi.assign(1, std::vector<double>((size_t)cells * cells));
    for (uint32_t r = 0; r < cells; ++r)
        for (uint32_t c = 0; c < cells; ++c) {
            const size_t i = (size_t)r * size + c;
            const double v[4] = {ref->y[i], ref->y[i + 1], ref->y[i + size], ref->y[i + size + 1]};
            ref->lo[0][(size_t)r * cells + c] = *std::min_element(v, v + 4);
            ref->hi[0][(size_t)r * cells + c] = *std::max_element(v, v + 4);
        }
    for (uint32_t n = cells / 2; n >= 1; n /= 2) {
        const std::vector<double>& plo = ref->lo.back();
        const std::vector<double>& phi = ref->hi.back();
        std::vector<double> lo((size_t)n * n), hi((size_t)n * n);
        for (uint32_t r = 0; r < n; ++r)
            for (uint32_t c = 0; c < n; ++c) {
                const size_t a = (size_t)2 * r * 2 * n + 2 * c, b = a + 2 * n;
                lo[(size_t)r * n + c] = std::min({plo[a], plo[a + 1], plo[b], plo[b + 1]});
                hi[(size_t)r * n + c] = std::max({phi[a], phi[a + 1], phi[b], phi[b + 1]});
            }
        ref->lo.push_back(lo);
        ref->hi.push_back(hi);
    }
}

// One triangle, in double: plane distance, then the weights of the hit point
// from the footprint in x and z, where no triangle of the map is degenerate.
void refTriangle(const double* o, const double* w, const double* a, const double* b,
                 const double* c, RefHit* best)
{
    const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    const double denom = n[0] * w[0] + n[1] * w[1] + n[2] * w[2];
    if (denom == 0)
        return;
    const double d[3] = {o[0] - a[0], o[1] - a[1], o[2] - a[2]};
    const double t = -(n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / denom;
    if (!(t >= 0) || t >= best->t)
        return;
    const double px = d[0] + t * w[0], pz = d[2] + t * w[2];  // hit point - a
    const double area = e1[0] * e2[2] - e1[2] * e2[0];
    const double wb = (px * e2[2] - pz * e2[0]) / area;
    const double wc = (e1[0] * pz - e1[2] * px) / area;
    const double wa = 1.0 - wb - wc;
    if (wa < 0 || wb < 0 || wc < 0)
        return;
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    best->hit = true;
    best->t = t;
    best->minWeight = std::min({wa, wb, wc});
    for (int i = 0; i < 3; ++i)
        best->n[i] = n[i] / len;
    best->det = -denom;
}

// Ray against the box of a block of cells, in double, grown by a hair.
bool refBox(const RefTerrain& ref, const double* o, const double* w, uint32_t level, uint32_t br,
            uint32_t bc, double* t0)
{
    const uint32_t n = 1u << level, blocks = ref.cells >> level;
    const double lo[3] = {ref.x[bc * n], ref.lo[level][(size_t)br * blocks + bc],
                          ref.z[(br + 1) * n]};
    const double hi[3] = {ref.x[(bc + 1) * n], ref.hi[level][(size_t)br * blocks + bc],
                          ref.z[br * n]};
    double tIn = 0, tOut = INFINITY;
    for (int k = 0; k < 3; ++k) {
        const double margin = 1e-9 * (1.0 + std::fabs(lo[k]) + std::fabs(hi[k]));
        const double l = lo[k] - margin, h = hi[k] + margin;
        if (w[k] == 0) {
            if (o[k] < l || o[k] > h)
                return false;
            continue;
        }
        double ta = (l - o[k]) / w[k], tb = (h - o[k]) / w[k];
        if (ta > tb)
            std::swap(ta, tb);
        tIn = std::max(tIn, ta);
        tOut = std::min(tOut, tb);
    }
    *t0 = tIn;
    return tIn <= tOut;
}

void refVisit(const RefTerrain& ref, const double* o, const double* w, uint32_t level,
              uint32_t br, uint32_t bc, RefHit* best)
{
    if (level == 0) {
        const size_t i = (size_t)br * ref.size + bc, s = ref.size;
        const double v0[3] = {ref.x[bc], ref.y[i], ref.z[br]};
        const double v1[3] = {ref.x[bc + 1], ref.y[i + 1], ref.z[br]};
        const double v2[3] = {ref.x[bc], ref.y[i + s], ref.z[br + 1]};
        const double v3[3] = {ref.x[bc + 1], ref.y[i + s + 1], ref.z[br + 1]};
        refTriangle(o, w, v0, v1, v2, best);
        refTriangle(o, w, v2, v1, v3, best);
        return;
    }
    struct Child {
        double t0;
        uint32_t r, c;
    } kids[4];
    int numKids = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        Child ch{0, 2 * br + (k >> 1), 2 * bc + (k & 1)};
        if (refBox(ref, o, w, level - 1, ch.r, ch.c, &ch.t0) && ch.t0 <= best->t)
            kids[numKids++] = ch;
    }
    for (int k = 1; k < numKids; ++k)  // nearest first
        for (int j = k; j > 0 && kids[j].t0 < kids[j - 1].t0; --j)
            std::swap(kids[j], kids[j - 1]);
    for (int k = 0; k < numKids; ++k)
        if (kids[k].t0 <= best->t)
            refVisit(ref, o, w, level - 1, kids[k].r, kids[k].c, best);
}

RefHit refNearest(const RefTerrain& ref, const t_ray& ray)
{
    const double o[3] = {ray.x[0], ray.x[1], ray.x[2]};
    const double w[3] = {ray.w[0], ray.w[1], ray.w[2]};
    RefHit best;
    const uint32_t top = (uint32_t)ref.lo.size() - 1;
    double t0;
    if (refBox(ref, o, w, top, 0, 0, &t0))
        refVisit(ref, o, w, top, 0, 0, &best);
    return best;
}

// How one ray's project result compares with the reference.
struct RefTally {
    int interior = 0;       // reference hits a triangle at least 1e-3 inside its edges
    int wrong = 0;          // ... and the project misses it or reports another hit
    int parallelRule = 0;   // reference triangle within the kept |det| < 1e-6 rule
    double worstT = 0;      // largest |t - t_ref| / t_ref on the agreeing rays
};

void refCompare(const RefTerrain& ref, const t_qkd* q, const t_ray& ray, RefTally* tally)
{
    const RefHit want = refNearest(ref, ray);
    if (!want.hit || want.minWeight < 1e-3)
        return;
    if (std::fabs(want.det) < 1.001e-6) {
        ++tally->parallelRule;
        return;
    }
    ++tally->interior;
    scalar t = -1, N[3] = {0, 0, 0};
    t_material mat;
    const int r = intersect_qkd(&t, N, &mat, &ray, q);
    const double dt = std::fabs(t - want.t) / want.t;
    const bool sameNormal = std::fabs(N[0] - want.n[0]) < 1e-5 &&
                            std::fabs(N[1] - want.n[1]) < 1e-5 && std::fabs(N[2] - want.n[2]) < 1e-5;
    // t within float rounding of the exact distance.
    if (r == 0 || !sameNormal || dt > FLT_EPSILON) {
        if (++tally->wrong <= 5)
            ADD_FAILURE() << "ray x=(" << ray.x[0] << "," << ray.x[1] << "," << ray.x[2]
                          << ") w=(" << ray.w[0] << "," << ray.w[1] << "," << ray.w[2]
                          << "): got " << r << " t=" << t << ", want t=" << want.t
                          << " weight " << want.minWeight;
        return;
    }
    tally->worstT = std::max(tally->worstT, dt);
}

// Every primary ray of frames of both flights that crosses a triangle's
// interior gets that triangle, with its normal and t. Before the test was
// made watertight and exact at distance, frame 200 of the benchmark flight
// alone had 194 such rays missing or taking a farther slope.
TEST(QkdReference, FlightRaysGetTheTriangleTheyCross)
{
    constexpr unsigned int kSide = 512;
    t_ray* cameraRays = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&cameraRays, kSide, kSide, 0.5f), 0);
    auto checkFrame = [&](const RefTerrain& ref, const t_qkd* q, const t_matrix& view,
                          const char* name, int frame) {
        RefTally tally;
        for (unsigned int i = 0; i < kSide * kSide; ++i) {
            t_ray ray;
            transform(ray.x, &view, cameraRays[i].x);
            transformW(ray.w, &view, cameraRays[i].w);
            refCompare(ref, q, ray, &tally);
            if (tally.wrong > 5)
                break;
        }
        EXPECT_EQ(tally.wrong, 0) << name << " frame " << frame;
        EXPECT_GT(tally.interior, 20000) << name << " frame " << frame;
        printf("%s frame %d: %d interior rays, %d parallel by rule, worst t %.3g\n", name, frame,
               tally.interior, tally.parallelRule, tally.worstT);
    };

    {
        t_qkd qkd = {};
        testing::internal::CaptureStderr();
        benchmark_init_qkd(&qkd);
        testing::internal::GetCapturedStderr();
        RefTerrain ref;
        refBuild(&ref, &qkd);
        scalar p = 50.0f;
        int frame = 0;
        for (int target : {1, 60, 200, 420}) {
            for (; frame < target; ++frame)
                p = (scalar)((double)p + 0.3);
            t_matrix view;
            benchmarkCameraPath(&view, p);
            checkFrame(ref, &qkd, view, "benchmark", frame);
        }
        free(qkd.heightmap);
        release(&qkd);
    }
    {
        const std::string file = writePlasmaMap();
        t_scene scene = {};
        t_qkd qkd = {};
        scene.p_qkd = &qkd;
        scene.num_qkd = 1;
        testing::internal::CaptureStderr();
        init_qkd_from(&qkd, file.c_str());
        testing::internal::GetCapturedStderr();
        remove(file.c_str());
        RefTerrain ref;
        refBuild(&ref, &qkd);
        // Low flight, circling, overview, and low again with the sun low.
        for (scalar t : {0.0f, 8.0f, 15.0f, 41.0f}) {
            t_matrix view;
            interactiveCameraPath(&view, t, &scene);
            checkFrame(ref, &qkd, view, "interactive", (int)t);
        }
        free(qkd.heightmap);
        release(&qkd);
    }
    free(cameraRays);
}

// Rays aimed at points on the edges that triangles share (a cell's
// diagonal, the borders between cells, between leaves and between larger
// nodes) and at vertices where six triangles meet, from 1 to 2000 cells away
// and from every side above the surface: none slips through, and t is the
// exact distance within float rounding.
TEST(QkdWatertight, RaysAtSharedEdgesAndVerticesHit)
{
    struct Case {
        uint32_t size, minNodeSize;
        scalar s, h;
        Relief relief;
    };
    const Case cases[] = {
        {65, 2, 64.0f, 20.0f, Relief::Smooth},
        {257, 2, 16.0f, 0.5f, Relief::Smooth},
        {129, 4, 200.0f, 15.0f, Relief::Noise},
        {65, 2, 7.3f, 2.1f, Relief::Terraced},
    };
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    enum Target { Diagonal, CellColumnBorder, CellRowBorder, LeafBorder, NodeBorder, Vertex, Kinds };
    int rays = 0, hits = 0;
    for (const Case& c : cases) {
        Map map;
        fill(&map, c.size, c.relief, &rng);
        build(&map, c.size, c.minNodeSize, c.s, c.h);
        RefTerrain ref;
        refBuild(&ref, &map.qkd);
        const uint32_t cells = c.size - 1;
        auto vertex = [&](uint32_t r, uint32_t col, double* v) {
            v[0] = ref.x[col];
            v[1] = ref.y[(size_t)r * c.size + col];
            v[2] = ref.z[r];
        };
        for (int i = 0; i < 2500; ++i) {
            const Target kind = (Target)(i % Kinds);
            uint32_t r = 1 + (uint32_t)(unit(rng) * (cells - 2));
            uint32_t col = 1 + (uint32_t)(unit(rng) * (cells - 2));
            const double lambda = 0.02 + 0.96 * unit(rng);
            double a[3], b[3];
            switch (kind) {
            case Diagonal:  // from the upper-right to the lower-left corner
                vertex(r, col + 1, a);
                vertex(r + 1, col, b);
                break;
            case CellColumnBorder:
                vertex(r, col, a);
                vertex(r + 1, col, b);
                break;
            case CellRowBorder:
                vertex(r, col, a);
                vertex(r, col + 1, b);
                break;
            case LeafBorder:  // along a column or a row where two leaves meet
                col -= col % c.minNodeSize;
                r -= r % c.minNodeSize;
                vertex(r, col, a);
                vertex(i % 2 ? r + 1 : r, i % 2 ? col : col + 1, b);
                break;
            case NodeBorder:  // the root's splitting lines
                if (i % 2)
                    col = cells / 2;
                else
                    r = cells / 2;
                vertex(r, col, a);
                vertex(i % 2 ? r + 1 : r, i % 2 ? col : col + 1, b);
                break;
            default:
                vertex(r, col, a);
                vertex(r, col, b);
                break;
            }
            double target[3];
            for (int k = 0; k < 3; ++k)
                target[k] = a[k] + lambda * (b[k] - a[k]);
            // From 1 to 2000 cells away, 10 to 80 degrees above the horizon.
            const double cell = (double)c.s / cells;
            const double distance = cell * std::pow(2000.0, unit(rng));
            const double elevation = 0.17 + 1.23 * unit(rng), azimuth = 6.283 * unit(rng);
            const double dir[3] = {std::cos(elevation) * std::cos(azimuth), std::sin(elevation),
                                   std::cos(elevation) * std::sin(azimuth)};
            t_ray ray{};
            double w[3], len = 0;
            for (int k = 0; k < 3; ++k) {
                ray.x[k] = (scalar)(target[k] + distance * dir[k]);
                w[k] = target[k] - ray.x[k];
                len += w[k] * w[k];
            }
            for (int k = 0; k < 3; ++k)
                ray.w[k] = (scalar)(w[k] / std::sqrt(len));

            const RefHit want = refNearest(ref, ray);
            ++rays;
            if (!want.hit || std::fabs(want.det) < 1.001e-6)
                continue;
            ++hits;
            scalar t = -1, N[3];
            t_material mat;
            const int got = intersect_qkd(&t, N, &mat, &ray, &map.qkd);
            ASSERT_NE(got, 0) << "size " << c.size << " target kind " << kind << ", "
                              << distance / cell << " cells away, x=(" << ray.x[0] << ","
                              << ray.x[1] << "," << ray.x[2] << ") w=(" << ray.w[0] << ","
                              << ray.w[1] << "," << ray.w[2] << "), want t=" << want.t;
            ASSERT_LE(std::fabs(t - want.t), FLT_EPSILON * want.t)
                << "size " << c.size << " target kind " << kind << ": t=" << t << ", want "
                << want.t;
        }
        release(&map);
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(hits, rays * 95 / 100);  // nearly every aimed ray meets the surface
}

// --- Fast paths against the reference walk ---------------------------------

// A walk: its path, and on the AVX-512 path the build that single rays take.
struct t_walkChoice {
    t_qkdPath path;
    bool singleRaysAvx512;
};

std::ostream& operator<<(std::ostream& out, const t_walkChoice& c)
{
    return out << c.path << (c.singleRaysAvx512 ? " (single rays AVX-512)" : "");
}

// Selects a walk while it lives; the one selected before comes back after.
struct PathScope {
    explicit PathScope(t_walkChoice c)
        : before(qkd_setPath(c.path)), singleBefore(qkd_setSingleRaysAvx512(c.singleRaysAvx512))
    {
    }
    explicit PathScope(t_qkdPath path) : PathScope(t_walkChoice{path, false}) {}
    ~PathScope()
    {
        qkd_setPath(before);
        qkd_setSingleRaysAvx512(singleBefore);
    }
    const t_qkdPath before;
    const bool singleBefore;
};

const t_walkChoice kPaths[] = {{QKD_PATH_REFERENCE, false},
                               {QKD_PATH_SSE2, false},
                               {QKD_PATH_AVX2, false},
                               {QKD_PATH_AVX512, false},
                               {QKD_PATH_AVX512, true}};

// Same result and, for a hit, the same t, normal and material bits.
bool sameHit(const t_qkdHit& a, const t_qkdHit& b)
{
    return a.result == b.result && (!a.result || memcmp(&a.t, &b.t, 7 * sizeof(scalar)) == 0);
}

std::string describe(const t_ray& r, const t_qkdHit& got, const t_qkdHit& want)
{
    char buf[256];
    snprintf(buf, sizeof buf, "ray x=(%a,%a,%a) w=(%a,%a,%a): got %d t=%a, want %d t=%a", r.x[0],
             r.x[1], r.x[2], r.w[0], r.w[1], r.w[2], got.result, got.t, want.result, want.t);
    return buf;
}

// One ray from start by the plain walk, or by the selected one, its children
// in the given order or presort_ofs's; from the root through intersect_qkd
// without a start.
t_qkdHit walk(const t_ray& ray, const t_qkd* q, const t_state* start = nullptr, bool plain = false,
              const uint32_t* order = nullptr)
{
    t_qkdHit o = {0, FLT_MAX, {0, 0, 0}, {{0, 0, 0}}};
    if (!start) {
        o.result = intersect_qkd(&o.t, o.N, &o.mat, &ray, q);
        return o;
    }
    const scalar inv_w[3] = {1.0f / ray.w[0], 1.0f / ray.w[1], 1.0f / ray.w[2]};
    uint32_t ofs[4];
    presort_ofs(ofs, &ray);
    o.result = (plain ? qkd_walkReference : iterativeQkdTraverse)(&o.t, o.N, &o.mat,
                                                                  order ? order : ofs, &ray,
                                                                  inv_w, start, q);
    return o;
}

// The ray's interval in the node's box, t_min clamped to 0.
bool enters(t_state* s, const t_ray& ray, const t_qkd* q)
{
    const scalar S = q->S05[s->rec];
    const scalar lo[3] = {s->centerXZ[0] - S, q->heightOfSample[s->node->minH], s->centerXZ[1] - S};
    const scalar hi[3] = {s->centerXZ[0] + S, q->heightOfSample[s->node->maxH], s->centerXZ[1] + S};
    scalar t0, t1;
    if (!intersectRayAABB(&t0, &t1, &ray, lo, hi) || t0 > t1 || t1 <= 0.0f)
        return false;
    s->t_min = std::max(t0, 0.0f);
    s->t_max = t1;
    return true;
}

// Turns the ray towards a vertex at a corner of leaves from 1 to 300 cells
// away, keeping a zero x or z direction component zero.
void aimAtLeafCorner(t_ray* ray, const t_qkd* q, std::mt19937* rng)
{
    const uint32_t corners = (q->size - 1) / q->minNodeSize + 1;
    const uint32_t row = (*rng)() % corners * q->minNodeSize;
    const uint32_t col = (*rng)() % corners * q->minNodeSize;
    const double target[3] = {q->vertexX[col], q->heightOfSample[q->heightmap[row * q->size + col]],
                              q->vertexZ[row]};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double distance = q->s / (q->size - 1) * std::pow(300.0, unit(*rng));
    const double elevation = 0.17 + 1.23 * unit(*rng), azimuth = 6.283 * unit(*rng);
    double w[3] = {ray->w[0] == 0 ? 0 : std::cos(elevation) * std::cos(azimuth),
                   -std::sin(elevation),
                   ray->w[2] == 0 ? 0 : std::cos(elevation) * std::sin(azimuth)};
    const double len = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (int k = 0; k < 3; ++k) {
        ray->w[k] = (scalar)(w[k] / len);
        ray->x[k] = (scalar)(target[k] - distance * ray->w[k]);
    }
}

// Random packets on random maps (noise, plateaus, plateaus on the box's top
// and floor, flat; leaves of 2, 4 and 8 cells): a ray of the brute-force
// test's kinds, or one aimed at a corner of leaves, and up to fifteen
// neighbours with jittered origins and directions (zero components kept in
// some), walked from the root or from a node that the first ray enters down
// to three levels, some with intervals that do not end; lanes dropped at
// random, and those of another child order or missing the node left out. On
// every path each lane, and each ray walked alone, equals the plain walk bit
// for bit.
TEST(QkdFastPaths, RandomRaysAndPacketsMatchTheReferenceWalk)
{
    struct Case {
        uint32_t size, minNodeSize, packets;
        scalar s, h;
        Relief relief;
    };
    const Case cases[] = {
        {3, 2, 60, 2.0f, 1.0f, Relief::Noise},
        {5, 4, 60, 100.0f, 40.0f, Relief::Smooth},
        {17, 2, 120, 64.0f, 30.0f, Relief::Terraced},
        {17, 4, 120, 64.0f, 30.0f, Relief::TerracedOnTheBox},
        {17, 2, 300, 64.0f, 30.0f, Relief::TerracedOnTheBox},
        {65, 2, 200, 200.0f, 15.0f, Relief::TerracedOnTheBox},
        {33, 2, 150, 10.0f, 3.0f, Relief::Flat},
        {65, 2, 150, 1000.0f, 300.0f, Relief::Noise},
        {65, 4, 150, 64.0f, 5.0f, Relief::Smooth},
        {65, 8, 100, 7.3f, 2.1f, Relief::Terraced},
        {257, 2, 150, 2048.0f, 400.0f, Relief::Smooth},
        {257, 4, 100, 512.0f, 90.0f, Relief::Noise},
    };
    std::mt19937 rng(77);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int lanes = 0, hits = 0, deepStarts = 0;
    int hitsAlong[3] = {0, 0, 0};  // by the ray's dominant axis, which shapes the leaf test
    for (const Case& c : cases) {
        Map map;
        fill(&map, c.size, c.relief, &rng);
        build(&map, c.size, c.minNodeSize, c.s, c.h);
        const t_qkd* q = &map.qkd;
        for (uint32_t n = 0; n < c.packets; ++n) {
            const bool atCorner = n % 3 == 2;
            t_ray base;
            t_state start = {{0.0f, 0.0f}, 0.0f, 0.0f, 0, q->nodes};
            uint32_t tries = 0;
            do {  // under a flat map some kinds never enter: then the next kind
                base = randomRay(q, (RayKind)((n + tries++ / 20) % (uint32_t)RayKind::Count), &rng);
                if (atCorner)
                    aimAtLeafCorner(&base, q, &rng);
            } while (!enters(&start, base, q));
            // Down to three levels, through children that the first ray enters.
            uint32_t levels = rng() % 2 ? 0 : 1 + rng() % 3;
            for (; levels > 0 && start.rec < q->numRecursions; --levels) {
                const scalar S = q->S05[start.rec + 1];
                for (uint32_t j = 0, k0 = rng(); j < 4; ++j) {
                    const uint32_t k = (k0 + j) % 4;
                    t_state child = start;
                    child.centerXZ[0] += (k & 1) ? S : -S;
                    child.centerXZ[1] += (k & 2) ? -S : S;
                    child.rec = start.rec + 1;
                    child.node = start.node + start.node->ofs + k;
                    if (enters(&child, base, q)) {
                        start = child;
                        break;
                    }
                }
            }
            deepStarts += start.rec > 0;
            uint32_t order[4];
            presort_ofs(order, &base);

            t_qkdPacket packet;
            memset(&packet, 0xff, sizeof packet);  // NaN rays in the lanes left out
            packet.lanes = 0;
            t_qkdHit want[QKD_PACKET_LANES];
            for (int i = 0; i < QKD_PACKET_LANES; ++i) {
                t_ray ray = base;
                for (int k = 0; k < 3 && i > 0; ++k) {
                    if (rng() % 2)
                        ray.x[k] += c.s * (atCorner ? 1e-7f : 0.01f) * unit(rng);
                    if (rng() % 4 && !(ray.w[k] == 0.0f && rng() % 2))
                        ray.w[k] += (atCorner ? 1e-6f : 0.05f) * unit(rng);
                    // Nearly parallel to a plane: crossings beyond the floats.
                    if (ray.w[k] == 0.0f && k != 1 && rng() % 3 == 0)
                        ray.w[k] = rng() % 2 ? -1e-37f : -1e-30f;
                }
                uint32_t laneOrder[4];
                presort_ofs(laneOrder, &ray);
                t_state lane = start;
                if (rng() % 10 < 3 || laneOrder[3] != order[3] || !enters(&lane, ray, q))
                    continue;
                // An interval without end: heights that overflow to infinity.
                if (n % 8 == 5)
                    lane.t_max = INFINITY;
                packet.lanes |= 1 << i;
                packet.ray[i] = ray;
                packet.t_min[i] = lane.t_min;
                packet.t_max[i] = lane.t_max;
                packet.t[i] = FLT_MAX;
                packet.mat[i] = t_material{{0.0f, 0.0f, 0.0f}};
                want[i] = walk(ray, q, &lane, true);
                if (want[i].result != 0) {
                    t_rayFrame frame;
                    rayFrame(&frame, &ray);
                    ++hitsAlong[frame.kz];
                    ++hits;
                }
                ++lanes;
            }
            for (const t_walkChoice& path : kPaths) {
                if (!qkd_pathRuns(path.path))
                    continue;
                const PathScope scope(path);
                t_qkdPacket p = packet;
                qkd_walkPacket(&p, order, &start, q);
                for (int i = 0; i < QKD_PACKET_LANES; ++i) {
                    SCOPED_TRACE(testing::Message()
                                 << "path " << path << ", map " << c.size << "/" << c.minNodeSize
                                 << ", packet " << n << " from level " << start.rec << ", lane "
                                 << i);
                    if (!(packet.lanes & (1 << i))) {
                        ASSERT_EQ(p.result[i], 0);
                        continue;
                    }
                    const t_qkdHit got = {
                        p.result[i], p.t[i], {p.N[i][0], p.N[i][1], p.N[i][2]}, p.mat[i]};
                    ASSERT_TRUE(sameHit(got, want[i])) << describe(p.ray[i], got, want[i]);
                    t_state lane = start;
                    lane.t_min = packet.t_min[i];
                    lane.t_max = packet.t_max[i];
                    const t_qkdHit alone = walk(p.ray[i], q, &lane);
                    ASSERT_TRUE(sameHit(alone, want[i]))
                        << "alone " << describe(p.ray[i], alone, want[i]);
                    // The walks keep a copy for each order that presort_ofs
                    // makes: another ray's order takes another copy, and an
                    // order that it never makes the general one.
                    const uint32_t others[2][4] = {{order[3], order[2], order[1], order[0]},
                                                   {order[0], order[2], order[1], order[3]}};
                    for (int k = 0; k < 2 && i % 4 == 0; ++k) {
                        const t_qkdHit plainOther = walk(p.ray[i], q, &lane, true, others[k]);
                        const t_qkdHit other = walk(p.ray[i], q, &lane, false, others[k]);
                        ASSERT_TRUE(sameHit(other, plainOther))
                            << "order " << k << " " << describe(p.ray[i], other, plainOther);
                    }
                }
            }
        }
        release(&map);
    }
    printf("%d lanes, %d hits (%d, %d, %d along x, y, z), %d packets from below the root\n",
           lanes, hits, hitsAlong[0], hitsAlong[1], hitsAlong[2], deepStarts);
    EXPECT_GT(hits, lanes / 5);  // not about misses alone, nor about the root alone
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_GT(hitsAlong[axis], hits / 10);
    EXPECT_GT(deepStarts, 400);
}

// Frames of both flights, every pixel of a 131 x 97 frame: on every path
// intersect_qkd equals the plain walk bit for bit; qkd_traceTile, on tiles
// of 16 x 16 as the renderer cuts them and of other sizes, cut at the
// frame's edges, gives each ray and its hit as intersect_qkd does;
// qkd_occluded answers as intersect_qkd for the shadow rays of the hits.
// Both count the rays that enter the root as intersect_qkd does.
TEST(QkdFastPaths, FlightRaysTilesAndShadowRaysMatchTheReference)
{
    const unsigned int W = 131, H = 97;  // edge tiles 3 wide, 1 high
    const unsigned int tiles[][2] = {{16, 16}, {7, 5}, {33, 16}, {16, 16}};
    t_ray* cameraRays = nullptr;
    ASSERT_EQ(allocAndInitSimpleRayBuffer(&cameraRays, W, H, 0.5f), 0);
    t_scene scene = {};
    ASSERT_EQ(initLights(&scene), 0);
    t_qkd qkd = {};
    scene.p_qkd = &qkd;
    int frame = 0, hits = 0, shadowed = 0;
    auto check = [&](t_matrix view) {
        SCOPED_TRACE(testing::Message() << "frame " << frame);
        const unsigned int tw = tiles[frame % 4][0], th = tiles[frame % 4][1];
        ++frame;
        std::vector<t_ray> world(W * H), shadows;
        std::vector<t_qkdHit> want(W * H);
        std::vector<int> occludedWant;
        uint64_t counted[2];  // rays entering the root, primary and shadow rays
        {
            const PathScope scope(QKD_PATH_REFERENCE);
            counted[0] = g_qkdStats.numRaysHitRoot;
            for (unsigned int i = 0; i < W * H; ++i) {
                transform(world[i].x, &view, cameraRays[i].x);
                transformW(world[i].w, &view, cameraRays[i].w);
                want[i] = walk(world[i], &qkd);
            }
            counted[0] = g_qkdStats.numRaysHitRoot - counted[0];
            counted[1] = g_qkdStats.numRaysHitRoot;
            for (unsigned int i = 0; i < W * H; ++i) {
                if (!want[i].result)
                    continue;
                t_ray s = {};  // lifted off the surface as the renderer lifts it
                for (int c = 0; c < 3; ++c) {
                    s.x[c] = world[i].x[c] + world[i].w[c] * want[i].t + 0.01f * want[i].N[c];
                    s.w[c] = -scene.p_dirLights[0].w[c];
                }
                shadows.push_back(s);
                occludedWant.push_back(walk(s, &qkd).result != 0);
                shadowed += occludedWant.back();
            }
            counted[1] = g_qkdStats.numRaysHitRoot - counted[1];
            hits += (int)shadows.size();
        }
        for (const t_walkChoice& path : kPaths) {
            if (!qkd_pathRuns(path.path))
                continue;
            SCOPED_TRACE(testing::Message() << "path " << path);
            const PathScope scope(path);
            for (unsigned int i = 0; i < W * H; ++i)
                ASSERT_TRUE(sameHit(walk(world[i], &qkd), want[i])) << "pixel " << i;

            uint64_t before = g_qkdStats.numRaysHitRoot;
            std::vector<t_ray> rays(tw * th);
            std::vector<t_qkdHit> got(tw * th);
            for (unsigned int y = 0; y < H; y += th)
                for (unsigned int x = 0; x < W; x += tw) {
                    const unsigned int w = std::min(tw, W - x), h = std::min(th, H - y);
                    qkd_traceTile(&qkd, (int)x, (int)y, (int)w, (int)h, cameraRays, W, &view,
                                  rays.data(), got.data());
                    for (unsigned int k = 0; k < w * h; ++k) {
                        const unsigned int i = (y + k / w) * W + x + k % w;
                        ASSERT_EQ(memcmp(&rays[k], &world[i], 6 * sizeof(scalar)), 0) << i;
                        ASSERT_TRUE(sameHit(got[k], want[i]))
                            << "tile " << x << "," << y << " " << w << "x" << h << ", "
                            << describe(world[i], got[k], want[i]);
                    }
                }
            EXPECT_EQ(g_qkdStats.numRaysHitRoot - before, counted[0]);

            before = g_qkdStats.numRaysHitRoot;
            std::vector<int> occluded(shadows.size(), -1);
            for (size_t k = 0; k < shadows.size(); k += 253)  // at most a tile's rays
                qkd_occluded(&qkd, &shadows[k], (int)std::min<size_t>(253, shadows.size() - k),
                             &occluded[k]);
            ASSERT_EQ(occluded, occludedWant);
            EXPECT_EQ(g_qkdStats.numRaysHitRoot - before, counted[1]);
        }
    };

    testing::internal::CaptureStderr();
    benchmark_init_qkd(&qkd);
    updateLights(&scene, 0.0f);
    scalar p = 50.0f;
    for (int f = 0; f < 420; ++f) {
        p = (scalar)((double)p + 0.3);
        t_matrix view;
        benchmarkCameraPath(&view, p);
        if (f == 0 || f == 59 || f == 199 || f == 419)
            check(view);
    }
    free(qkd.heightmap);
    release(&qkd);

    const std::string file = writePlasmaMap();
    init_qkd_from(&qkd, file.c_str());
    testing::internal::GetCapturedStderr();
    remove(file.c_str());
    for (scalar t : {0.0f, 8.0f, 15.0f, 41.0f}) {
        t_matrix view;
        interactiveCameraPath(&view, t, &scene);
        updateLights(&scene, t);
        check(view);
    }
    free(qkd.heightmap);
    release(&qkd);
    free(scene.p_dirLights);
    free(cameraRays);
    printf("%d hits, %d of them in shadow\n", hits, shadowed);
    EXPECT_GT(hits, 8 * 2000);
    EXPECT_GT(shadowed, 500);  // the low sun casts shadows
}

// The packets' box test, four rays at a time, against the single ray's:
// directions parallel to the box's faces (zero components of either sign,
// and one too small for its reciprocal), from origins on the faces, inside,
// beside and behind the box, in groups that leave rows of a packet part full.
TEST(QkdFastPaths, ShadowRayPacketsMeetTheRootBoxAsSingleRaysDo)
{
    Map map;
    map.samples.assign(17 * 17, 1000);
    map.samples[40] = 60000;
    build(&map, 17, 2, 16.0f, 4.0f);
    const scalar* lo = map.qkd.bbMin;
    const scalar* hi = map.qkd.bbMax;
    const scalar components[] = {-1.0f, -0.0f, 0.0f, 1e-39f, 0.6f};
    uint64_t entering = 0, hits = 0;
    for (int d = 1; d < 125; ++d) {
        const scalar w0 = components[d % 5], w1 = components[d / 5 % 5],
                     w2 = components[d / 25];
        std::vector<t_ray> rays;  // one direction, as for one light
        for (int o = 0; o < 125; ++o) {
            scalar x[3];
            for (int c = 0, k = o; c < 3; ++c, k /= 5) {
                const scalar place[] = {lo[c] - 3.0f, lo[c], 0.5f * (lo[c] + hi[c]), hi[c],
                                        hi[c] + 3.0f};
                x[c] = place[k % 5];
            }
            rays.push_back(makeRay(x[0], x[1], x[2], w0, w1, w2));
        }
        std::vector<int> want(rays.size());
        uint64_t before = g_qkdStats.numRaysHitRoot;
        {
            const PathScope scope(QKD_PATH_REFERENCE);
            for (size_t i = 0; i < rays.size(); ++i) {
                scalar t, N[3];
                t_material mat;
                want[i] = intersect_qkd(&t, N, &mat, &rays[i], &map.qkd) != 0;
                hits += want[i];
            }
        }
        const uint64_t counted = g_qkdStats.numRaysHitRoot - before;
        entering += counted;
        for (const t_walkChoice& path : kPaths) {
            if (!qkd_pathRuns(path.path))
                continue;
            SCOPED_TRACE(testing::Message() << "path " << path << ", direction " << d);
            const PathScope scope(path);
            before = g_qkdStats.numRaysHitRoot;
            std::vector<int> got(rays.size(), -1);
            for (size_t k = 0; k < rays.size(); k += 7)
                qkd_occluded(&map.qkd, &rays[k], (int)std::min<size_t>(7, rays.size() - k),
                             &got[k]);
            ASSERT_EQ(got, want);
            ASSERT_EQ(g_qkdStats.numRaysHitRoot - before, counted);
        }
    }
    printf("%llu rays enter the box, %llu hit\n", (unsigned long long)entering,
           (unsigned long long)hits);
    EXPECT_GT(entering, 3000u);  // not misses alone
    EXPECT_GT(hits, 500u);
    release(&map);
}

}  // namespace
