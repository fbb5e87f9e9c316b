// MLRTA: entry-point search, tile recursion and its agreement with the
// single-ray intersection from the root.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tesk_qkd_internal.h"

namespace {

// Camera rays of a width x height image, image plane at nearDist.
std::vector<t_ray> cameraRays(unsigned int width, unsigned int height, scalar nearDist)
{
    std::vector<t_ray> rays(size_t(width) * height);
    const scalar iw = 1.0f / (scalar)width, ih = 1.0f / (scalar)height;
    for (unsigned int v = 0; v < height; ++v)
        for (unsigned int u = 0; u < width; ++u) {
            const scalar a = (scalar)u * iw - 0.5f, b = 0.5f - (scalar)v * ih;
            const scalar d = 1.0f / std::sqrt(a * a + b * b + nearDist * nearDist);
            t_ray& r = rays[size_t(v) * width + u];
            r.w[0] = a * d;
            r.w[1] = b * d;
            r.w[2] = nearDist * d;
            r.x[0] = r.x[1] = r.x[2] = 0;
        }
    return rays;
}

// Rotation rows (camera x, y, z in world space) and the camera position.
t_matrix viewMatrix(const scalar* right, const scalar* up, const scalar* fwd, scalar px,
                    scalar py, scalar pz)
{
    t_matrix m = {};
    for (int c = 0; c < 3; ++c) {
        m.m[0][c] = right[c];
        m.m[1][c] = up[c];
        m.m[2][c] = fwd[c];
    }
    m.m[3][0] = px;
    m.m[3][1] = py;
    m.m[3][2] = pz;
    m.m[3][3] = 1;
    return m;
}

const scalar kX[3] = {1, 0, 0}, kY[3] = {0, 1, 0}, kZ[3] = {0, 0, 1};
const scalar kNegX[3] = {-1, 0, 0}, kNegY[3] = {0, -1, 0}, kNegZ[3] = {0, 0, -1};

// Looking straight down from (px, py, pz); screen up is world +z.
t_matrix lookDown(scalar px, scalar py, scalar pz)
{
    return viewMatrix(kX, kZ, kNegY, px, py, pz);
}

// A tree over a heightmap, built here independently of the module's build:
// breadth-first layout, siblings consecutive, which the tree allows.
struct TestTree {
    std::vector<t_qkdHeightVal> heights;
    std::vector<t_qkd_node> nodes;
    std::vector<scalar> S05;
    std::vector<scalar> vertexXZ;
    t_qkd qkd = {};

    void build(uint32_t size, uint32_t minNodeSize, scalar s, scalar h)
    {
        qkd.heightmap = heights.data();
        qkd.size = size;
        qkd.minNodeSize = minNodeSize;
        qkd.s = s;
        qkd.h = h;
        uint32_t levels = 0;
        for (uint32_t span = size - 1; span > minNodeSize; span >>= 1)
            ++levels;
        qkd.numRecursions = levels;
        qkd.numNodes = 0;
        for (uint32_t l = 0, n = 1; l <= levels; ++l, n *= 4)
            qkd.numNodes += n;
        nodes.assign(qkd.numNodes, t_qkd_node{});
        qkd.nodes = nodes.data();
        qkd.nodeFree = qkd.numNodes;
        S05.assign(levels + 1, s * 0.5f);
        for (uint32_t l = 1; l <= levels; ++l)
            S05[l] = S05[l - 1] * 0.5f;
        qkd.S05 = S05.data();
        // Column c at x = -s/2 + c s/(size-1), row r at z = s/2 - r s/(size-1).
        vertexXZ.resize(2 * size + 65536);
        for (uint32_t i = 0; i < size; ++i) {
            const double offset = (double)i * ((double)s / (size - 1));
            vertexXZ[i] = (scalar)(offset - 0.5 * s);
            vertexXZ[size + i] = (scalar)(0.5 * s - offset);
        }
        qkd.vertexX = vertexXZ.data();
        qkd.vertexZ = vertexXZ.data() + size;
        qkd.heightOfSample = vertexXZ.data() + 2 * size;
        for (uint32_t sample = 0; sample < 65536; ++sample)
            qkd.heightOfSample[sample] = qkd_sampleHeight(&qkd, (t_qkdHeightVal)sample);
        fill(0, 0, 0, size - 1, 0);
        for (int i = 0; i < 3; ++i) {
            qkd.bbMin[i] = i == 1 ? qkd_sampleHeight(&qkd, nodes[0].minH) : s * -0.5f;
            qkd.bbMax[i] = i == 1 ? qkd_sampleHeight(&qkd, nodes[0].maxH) : s * 0.5f;
        }
    }

    void fill(uint32_t index, uint32_t u, uint32_t v, uint32_t n, uint32_t level)
    {
        t_qkd_node& node = nodes[index];
        node.minH = 65535;
        node.maxH = 0;
        if (level == qkd.numRecursions) {
            for (uint32_t q = v; q <= v + n; ++q)
                for (uint32_t p = u; p <= u + n; ++p) {
                    const t_qkdHeightVal hv = heights[size_t(q) * qkd.size + p];
                    node.minH = std::min(node.minH, hv);
                    node.maxH = std::max(node.maxH, hv);
                }
            node.heightmapUL = v * qkd.size + u;
            return;
        }
        const uint32_t first = 4 * index + 1, ns = n >> 1;
        node.ofs = first - index;
        for (uint32_t c = 0; c < 4; ++c) {
            fill(first + c, u + (c & 1) * ns, v + (c >> 1) * ns, ns, level + 1);
            node.minH = std::min(node.minH, nodes[first + c].minH);
            node.maxH = std::max(node.maxH, nodes[first + c].maxH);
        }
    }
};

void flatTree(TestTree& tree, uint32_t size, scalar s, scalar h, t_qkdHeightVal value)
{
    tree.heights.assign(size_t(size) * size, value);
    tree.build(size, 2, s, h);
}

// Heights that grow with the row only: every node has a height range (a
// flat box is met by no ray), and every normal has x component 0, so a hit
// is shaded with f = 0.5.
void rampTree(TestTree& tree, uint32_t size, scalar s, scalar h)
{
    tree.heights.resize(size_t(size) * size);
    for (uint32_t v = 0; v < size; ++v)
        for (uint32_t u = 0; u < size; ++u)
            tree.heights[size_t(v) * size + u] = (t_qkdHeightVal)(v * 1000);
    tree.build(size, 2, s, h);
}

t_renderData context(const t_qkd* qkd, std::vector<t_ray>& rays, t_pixel* pbuff, int width,
                     int height, t_matrix* view)
{
    t_renderData r;
    r.p_pbuff = pbuff;
    r.p_rbuff = rays.data();
    r.STRIDE = (uint32_t)width;
    r.matView = view;
    r.qkd = qkd;
    r.mlrta_minSize = 16;
    r.mlrta_numSubdivisions = 2;
    r.clipX = width;
    r.clipY = height;
    return r;
}

t_mlrta_EP rootEP(const t_qkd& qkd)
{
    t_mlrta_EP ep = {};
    ep.ep = &qkd.nodes[0];
    ep.rec = 0;
    return ep;
}

// ---------------------------------------------------------------------------
// Frustum and box test

TEST(MlrtaFrustum, IdentityViewPlanesOfCornerAndCentreTiles)
{
    std::vector<t_ray> rays = cameraRays(512, 512, 0.5f);
    t_matrix view = viewMatrix(kX, kY, kZ, 0, 0, 0);
    TestTree tree;
    flatTree(tree, 5, 8, 1, 0);
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);

    t_plane P[8];
    ASSERT_EQ(7u, mlrta_buildFrustum(P, 0, 0, 128, &rdat));
    const scalar expectAxis[3][4] = {{-1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(expectAxis[k][i], P[4 + k].f[i]) << "plane " << 4 + k << " f" << i;

    ASSERT_EQ(5u, mlrta_buildFrustum(P, 192, 192, 128, &rdat));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(expectAxis[2][i], P[4].f[i]);

    // The side normals point inwards: every ray of the tile is on their inner
    // side (the corner rays themselves lie on them up to rounding), and a
    // ray of a neighbouring tile is not.
    for (int u = 0; u < 4; ++u) {
        const scalar* f = P[u].f;
        for (int k = 5; k < 123; k += 9) {
            const scalar* w = rays[size_t(192 + k) * 512 + 192 + (127 - k)].w;
            EXPECT_GE(f[0] * w[0] + f[1] * w[1] + f[2] * w[2], 0) << "plane " << u;
        }
    }
    const scalar* out = rays[size_t(250) * 512 + 100].w;
    EXPECT_LT(P[0].f[0] * out[0] + P[0].f[1] * out[1] + P[0].f[2] * out[2], 0);
}

// Rolled 60 degrees about the view axis, the tile at (256, 205) has its
// corners a, b and d looking up and c looking down: no y plane may be made,
// or a box below the camera that rays near c enter would be culled.
TEST(MlrtaFrustum, AxisPlaneOnlyWhenAllFourCornersAgree)
{
    std::vector<t_ray> rays = cameraRays(512, 512, 0.5f);
    const scalar right[3] = {0.5f, 0.8660254f, 0}, up[3] = {-0.8660254f, 0.5f, 0};
    t_matrix view = viewMatrix(right, up, kZ, 0, 1, 0);
    TestTree tree;
    flatTree(tree, 5, 8, 1, 0);
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);

    t_plane P[8];
    ASSERT_EQ(5u, mlrta_buildFrustum(P, 256, 205, 128, &rdat));
    EXPECT_EQ(0, P[4].f[0]);
    EXPECT_EQ(0, P[4].f[1]);
    EXPECT_EQ(1, P[4].f[2]);

    t_ray ray;
    transformW(ray.w, &view, rays[size_t(205 + 125) * 512 + 256 + 2].w);
    ASSERT_LT(ray.w[1], 0);
    scalar lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
        const scalar at = view.m[3][i] + 5 * ray.w[i];
        lo[i] = at - 0.01f;
        hi[i] = at + 0.01f;
    }
    ASSERT_LT(hi[1], 1.0f);
    EXPECT_EQ(0, isAABBOutsideFrustum(lo, hi, P, 5));
}

TEST(MlrtaFrustum, BoxTestCullsOnlyBoxesWhollyOutside)
{
    t_plane P[2] = {{{0, 0, 1, 2}}, {{1, 1, 0, 0}}};
    const scalar lo[3] = {-1, -1, -1};
    const scalar touching[3] = {1, 1, 2};  // the +z corner lies on z = 2
    EXPECT_EQ(0, isAABBOutsideFrustum(lo, touching, P, 1));
    const scalar below[3] = {1, 1, 1.99f};
    EXPECT_EQ(1, isAABBOutsideFrustum(lo, below, P, 1));
    // The second plane is only consulted when it is in use.
    const scalar farLo[3] = {-5, -5, 3}, farHi[3] = {-4, -4, 4};
    EXPECT_EQ(0, isAABBOutsideFrustum(farLo, farHi, P, 1));
    EXPECT_EQ(1, isAABBOutsideFrustum(farLo, farHi, P, 2));
}

// ---------------------------------------------------------------------------
// Entry-point search

class MlrtaFindEP : public ::testing::Test {
protected:
    void SetUp() override { rays = cameraRays(512, 512, 0.5f); }
    std::vector<t_ray> rays;
    TestTree tree;
};

TEST_F(MlrtaFindEP, SingleChildOnEveryLevelDescendsToLastInnerLevel)
{
    flatTree(tree, 17, 8, 1, 0);  // levels: half widths 4, 2, 1, leaves 0.5
    ASSERT_EQ(3u, tree.qkd.numRecursions);
    t_matrix view = lookDown(3, 2, -1);  // above the centre of a level-2 node
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);

    t_mlrta_EP ep = rootEP(tree.qkd);
    ASSERT_EQ(1, mlrta_findEP(&ep, 248, 248, 16, &rdat));
    EXPECT_EQ(2, ep.rec);
    EXPECT_EQ(3.0f, ep.centerXZ[0]);
    EXPECT_EQ(-1.0f, ep.centerXZ[1]);
    // Root child 3 (+x, -z), then its child 1 (+x, +z).
    const t_qkd_node* child3 = &tree.nodes[0] + tree.nodes[0].ofs + 3;
    EXPECT_EQ(child3 + child3->ofs + 1, ep.ep);
    const scalar expMin[3] = {2, 0, -2}, expMax[3] = {4, 0, 0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(expMin[i], ep.bbMin[i]);
        EXPECT_EQ(expMax[i], ep.bbMax[i]);
    }

    // Started at the node itself, the search keeps it and its leaves are
    // not examined.
    t_mlrta_EP again = ep;
    ASSERT_EQ(1, mlrta_findEP(&again, 248, 248, 16, &rdat));
    EXPECT_EQ(ep.ep, again.ep);
    EXPECT_EQ(2, again.rec);
}

TEST_F(MlrtaFindEP, TwoPassingChildrenStopTheDescent)
{
    flatTree(tree, 17, 8, 1, 0);
    // Straddling the border of root children 1 and 3 (x > 0, z around 0).
    t_matrix view = lookDown(2, 2, 0);
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);
    t_mlrta_EP ep = rootEP(tree.qkd);
    ASSERT_EQ(1, mlrta_findEP(&ep, 248, 248, 16, &rdat));
    EXPECT_EQ(&tree.nodes[0], ep.ep);
    EXPECT_EQ(0, ep.rec);
    EXPECT_EQ(0.0f, ep.centerXZ[0]);
    EXPECT_EQ(0.0f, ep.centerXZ[1]);
    EXPECT_EQ(-4.0f, ep.bbMin[0]);
    EXPECT_EQ(4.0f, ep.bbMax[2]);

    // One level down: inside root child 3, straddling its children 0 and 1.
    view = lookDown(2, 2, -1);
    t_mlrta_EP ep3 = rootEP(tree.qkd);
    ASSERT_EQ(1, mlrta_findEP(&ep3, 248, 248, 16, &rdat));
    EXPECT_EQ(1, ep3.rec);
    EXPECT_EQ(2.0f, ep3.centerXZ[0]);
    EXPECT_EQ(-2.0f, ep3.centerXZ[1]);
}

TEST_F(MlrtaFindEP, MissReturnsZeroWithStartBoxAndUnchangedNode)
{
    flatTree(tree, 17, 8, 1, 30000);
    t_matrix view = lookDown(20, 2, 20);  // beside the terrain
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);
    t_mlrta_EP ep = rootEP(tree.qkd);
    ASSERT_EQ(0, mlrta_findEP(&ep, 0, 0, 128, &rdat));
    EXPECT_EQ(&tree.nodes[0], ep.ep);
    EXPECT_EQ(0, ep.rec);
    EXPECT_EQ(-4.0f, ep.bbMin[0]);
    EXPECT_EQ(qkd_sampleHeight(&tree.qkd, 30000), ep.bbMin[1]);
    EXPECT_EQ(qkd_sampleHeight(&tree.qkd, 30000), ep.bbMax[1]);
    EXPECT_EQ(4.0f, ep.bbMax[2]);
}

TEST_F(MlrtaFindEP, PassingNodeWithoutPassingChildIsTheEntryPoint)
{
    flatTree(tree, 17, 8, 1, 0);
    // Only the root reaches above the camera, which looks up-left-forward.
    tree.nodes[0].maxH = 65535;
    for (uint32_t c = 1; c <= 4; ++c)
        tree.nodes[c].maxH = 6000;  // 0.09 below the camera height 0.3
    t_matrix view = viewMatrix(kX, kY, kZ, 3, 0.3f, -3);
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);
    t_mlrta_EP ep = rootEP(tree.qkd);
    ASSERT_EQ(1, mlrta_findEP(&ep, 0, 0, 128, &rdat));
    EXPECT_EQ(&tree.nodes[0], ep.ep);
    EXPECT_EQ(0, ep.rec);
    EXPECT_EQ(1.0f, ep.bbMax[1]);
}

TEST_F(MlrtaFindEP, RootOnlyTreeIsItsOwnEntryPoint)
{
    flatTree(tree, 3, 8, 1, 100);
    ASSERT_EQ(0u, tree.qkd.numRecursions);
    t_matrix view = lookDown(0, 2, 0);
    t_renderData rdat = context(&tree.qkd, rays, nullptr, 512, 512, &view);
    t_mlrta_EP ep = rootEP(tree.qkd);
    ASSERT_EQ(1, mlrta_findEP(&ep, 0, 0, 128, &rdat));
    EXPECT_EQ(&tree.nodes[0], ep.ep);
    EXPECT_EQ(4.0f, ep.bbMax[0]);

    view = viewMatrix(kX, kNegZ, kY, 0, 2, 0);  // looking up into the sky
    t_mlrta_EP up = rootEP(tree.qkd);
    EXPECT_EQ(0, mlrta_findEP(&up, 0, 0, 128, &rdat));
}

// ---------------------------------------------------------------------------
// Tile recursion and colours

struct Frame {
    int width, height;
    std::vector<t_ray> rays;
    std::vector<t_pixel> pixels;
    Frame(int w, int h, t_pixel fillWith) : width(w), height(h)
    {
        rays = cameraRays((unsigned)w, (unsigned)h, 0.5f);
        pixels.assign(size_t(w) * h, fillWith);
    }
    t_pixel& at(int u, int v) { return pixels[size_t(v) * width + u]; }
    void render(const t_qkd* qkd, int x, int y, int size, t_matrix* view)
    {
        render_qkd_mlrta(qkd, x, y, size, pixels.data(), rays.data(), (unsigned)width, view);
    }
};

const t_pixel kCleared = {{0, 0, 0, 0}};  // density 0 marks untraced pixels

bool onGrid(int u, int v, int x0, int y0, int tile)
{
    const int du = (u - x0) % tile, dv = (v - y0) % tile;
    return du == 0 || du == tile - 1 || dv == 0 || dv == tile - 1;
}

TEST(MlrtaRender, TileWithoutEntryPointGetsOnlyARedFrame)
{
    TestTree tree;
    flatTree(tree, 17, 8, 1, 0);
    t_matrix view = viewMatrix(kX, kNegZ, kY, 0, 2, 0);  // above, looking up
    const t_pixel bg = {{0.25f, 0.5f, 0.75f, 0.125f}};
    Frame fr(128, 128, bg);
    fr.render(&tree.qkd, 0, 0, 128, &view);
    for (int v = 0; v < 128; ++v)
        for (int u = 0; u < 128; ++u) {
            const t_pixel& p = fr.at(u, v);
            const bool border = u == 0 || u == 127 || v == 0 || v == 127;
            ASSERT_EQ(border ? 1.25f : 0.25f, p.r) << u << "," << v;
            ASSERT_EQ(0.5f, p.g);
            ASSERT_EQ(0.75f, p.b);
            ASSERT_EQ(0.125f, p.density);
        }

    // A tile cut to its first column, and a tile of one pixel: each framed
    // pixel gets its red once, however many sides of the frame it lies on.
    Frame thin(129, 128, bg);
    thin.render(&tree.qkd, 128, 0, 128, &view);
    thin.render(&tree.qkd, 5, 7, 1, &view);
    for (int v = 0; v < 128; ++v)
        for (int u = 0; u < 129; ++u)
            ASSERT_EQ(u == 128 || (u == 5 && v == 7) ? 1.25f : 0.25f, thin.at(u, v).r)
                << u << "," << v;
}

TEST(MlrtaRender, SplitsTo16PixelTilesAndTracesThemWithLevelCheckerboard)
{
    TestTree tree;
    rampTree(tree, 17, 8, 1);
    tree.qkd.groundColorA[2] = 1;  // hits add (0, 0, f)
    t_matrix view = lookDown(3, 2, -1);
    Frame fr(512, 512, kCleared);
    fr.render(&tree.qkd, 192, 192, 128, &view);
    int framed = 0;
    for (int v = 0; v < 512; ++v)
        for (int u = 0; u < 512; ++u) {
            const t_pixel& p = fr.at(u, v);
            if (u < 192 || u >= 320 || v < 192 || v >= 320) {
                ASSERT_EQ(0.0f, p.density) << "outside the tile " << u << "," << v;
                continue;
            }
            // Ground below: every ray hits, with N[0] = 0.
            ASSERT_EQ(1.0f, p.density);
            ASSERT_EQ(0.5f, p.b) << u << "," << v;
            ASSERT_EQ(onGrid(u, v, 192, 192, 16) ? 1.0f : 0.0f, p.r) << u << "," << v;
            framed += onGrid(u, v, 192, 192, 16);
            if ((u + v) % 2) {
                ASSERT_EQ(0.0f, p.g);
            }
        }
    EXPECT_EQ(64 * 60, framed);

    // The 16-pixel tile over the middle of a level-2 node has that node as
    // entry point: 2 / 3 of green on every other pixel; it is traced whole.
    Frame one(512, 512, kCleared);
    one.render(&tree.qkd, 248, 248, 16, &view);
    for (int v = 248; v < 264; ++v)
        for (int u = 248; u < 264; ++u) {
            ASSERT_EQ((u + v) % 2 ? 0.0f : 2.0f / 3.0f, one.at(u, v).g) << u << "," << v;
            ASSERT_EQ(onGrid(u, v, 248, 248, 16) ? 1.0f : 0.0f, one.at(u, v).r);
        }

    // A flat map's boxes have no height: a ray's interval in them is a single
    // point, which holds the terrain. It is traced and hits, as the
    // single-ray query has it, instead of taking the box-miss colour.
    flatTree(tree, 17, 8, 1, 30000);
    tree.qkd.groundColorA[2] = 1;
    Frame flat(512, 512, kCleared);
    flat.render(&tree.qkd, 192, 192, 128, &view);
    for (int v = 192; v < 320; ++v)
        for (int u = 192; u < 320; ++u)
            ASSERT_EQ(0.5f, flat.at(u, v).b) << u << "," << v;
}

TEST(MlrtaRender, RootOnlyTreeTracesWholeTileWithoutLevelShading)
{
    TestTree tree;
    rampTree(tree, 3, 8, 1);
    tree.qkd.groundColorA[2] = 1;
    t_matrix view = lookDown(0, 2, 0);
    Frame fr(128, 128, kCleared);
    fr.render(&tree.qkd, 0, 0, 128, &view);
    for (int v = 0; v < 128; ++v)
        for (int u = 0; u < 128; ++u) {
            const t_pixel& p = fr.at(u, v);
            ASSERT_EQ(u == 0 || u == 127 || v == 0 || v == 127 ? 1.0f : 0.0f, p.r);
            ASSERT_EQ(0.0f, p.g) << u << "," << v;
            ASSERT_EQ(0.5f, p.b);
            ASSERT_EQ(1.0f, p.density);
        }
}

TEST(MlrtaRender, MissColoursForTheBoxAndForTheTerrain)
{
    TestTree tree;
    rampTree(tree, 3, 8, 1);
    // Rays right of x = 4 pass beside the box: box-miss colour.
    t_matrix view = lookDown(3.5f, 2, 0);
    Frame fr(128, 128, kCleared);
    fr.render(&tree.qkd, 0, 0, 128, &view);
    int boxMisses = 0;
    for (int v = 1; v < 127; ++v)
        for (int u = 1; u < 127; ++u) {
            const t_pixel& p = fr.at(u, v);
            ASSERT_EQ(1.0f, p.density);
            if (p.r == 0.9f) {
                ++boxMisses;
                ASSERT_EQ(0.6f, p.g);
                ASSERT_EQ(0.4f, p.b);
            }
        }
    EXPECT_GT(boxMisses, 30 * 126);

    // A camera inside the box, above the slopes of a peak in the middle,
    // looking up meets the box (from t = 0) and no terrain: terrain-miss
    // colour.
    flatTree(tree, 3, 8, 1, 0);
    tree.heights[4] = 65535;
    tree.build(3, 2, 8, 1);
    view = viewMatrix(kX, kNegZ, kY, 3.5f, 0.5f, 3.5f);
    Frame up(128, 128, kCleared);
    up.render(&tree.qkd, 0, 0, 128, &view);
    for (int v = 1; v < 127; ++v)
        for (int u = 1; u < 127; ++u) {
            const t_pixel& p = up.at(u, v);
            ASSERT_EQ(0.5f, p.r) << u << "," << v;
            ASSERT_EQ(0.2f, p.g);
            ASSERT_EQ(0.6f, p.b);
            ASSERT_EQ(1.0f, p.density);
        }
}

// A wall a hundred thousand units high between x = 0 and 0.5 (facing -x) or
// between x = -0.5 and 0 (facing +x): hits with N[0] = -1 and +1.
TEST(MlrtaRender, HitShadingFollowsTheNormalsXComponent)
{
    const scalar ground[3] = {0.2f, 0.4f, 0.8f};
    for (int facing = -1; facing <= 1; facing += 2) {
        TestTree tree;
        tree.heights.assign(17 * 17, 0);
        for (int v = 0; v < 17; ++v)
            for (int u = 0; u < 17; ++u)
                if (facing < 0 ? u >= 9 : u <= 7)
                    tree.heights[size_t(v) * 17 + u] = 65535;
        tree.build(17, 2, 8, 1e5f);
        for (int i = 0; i < 3; ++i)
            tree.qkd.groundColorA[i] = ground[i];
        t_matrix view = facing < 0 ? viewMatrix(kNegZ, kY, kX, -3, 1, 0.25f)
                                   : viewMatrix(kZ, kY, kNegX, 3, 1, 0.25f);
        Frame fr(512, 512, kCleared);
        fr.render(&tree.qkd, 248, 248, 16, &view);
        for (int v = 249; v < 263; ++v)
            for (int u = 249; u < 263; ++u) {
                if ((u + v) % 2 == 0)
                    continue;  // keep the level shading out of g
                t_ray ray;
                transform(ray.x, &view, fr.rays[size_t(v) * 512 + u].x);
                transformW(ray.w, &view, fr.rays[size_t(v) * 512 + u].w);
                scalar t, N[3];
                t_material mat;
                ASSERT_NE(0, intersect_qkd(&t, N, &mat, &ray, &tree.qkd));
                ASSERT_NEAR((scalar)facing, N[0], 1e-5f);
                const scalar f = 0.5f + 0.5f * N[0];
                const t_pixel& p = fr.at(u, v);
                ASSERT_EQ(1.0f, p.density);
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(f * ground[i], p.m[i]) << "facing " << facing << " " << u;
            }
    }
}

TEST(MlrtaRender, TilesAreCutAtTheRowWidthAndUnevenSizesTracedWhole)
{
    TestTree tree;
    rampTree(tree, 17, 8, 1);
    tree.qkd.groundColorA[2] = 1;
    t_matrix view = lookDown(0, 2, 0);

    // A 128-pixel tile starting at column 64 of a 160-pixel-wide buffer.
    Frame fr(160, 128, kCleared);
    fr.render(&tree.qkd, 64, 0, 128, &view);
    for (int v = 0; v < 128; ++v)
        for (int u = 0; u < 160; ++u) {
            const t_pixel& p = fr.at(u, v);
            ASSERT_EQ(u >= 64 ? 1.0f : 0.0f, p.density) << u << "," << v;
            if (u >= 64) {
                ASSERT_EQ(0.5f, p.b) << u << "," << v;
            }
        }
    // The cut tile keeps a frame on its last column.
    EXPECT_EQ(1.0f, fr.at(159, 40).r);
    // A tile starting past the row width draws nothing.
    Frame none(160, 128, kCleared);
    none.render(&tree.qkd, 160, 0, 128, &view);
    for (const t_pixel& p : none.pixels)
        ASSERT_EQ(0.0f, p.density);

    // 100 splits into 50, and 50 into 25, which does not halve evenly and
    // is traced whole: every pixel traced exactly once. Likewise 60 into 15
    // and 20 into 10; the three leave rows of 1, 3 and 2 pixels at a
    // packet's edge.
    for (const int size : {100, 60, 20}) {
        int whole = size;
        while (whole > 16 && whole % 2 == 0)
            whole /= 2;
        Frame odd(128, 128, kCleared);
        odd.render(&tree.qkd, 0, 0, size, &view);
        for (int v = 0; v < 128; ++v)
            for (int u = 0; u < 128; ++u) {
                const t_pixel& p = odd.at(u, v);
                const bool inside = u < size && v < size;
                ASSERT_EQ(inside ? 1.0f : 0.0f, p.density) << size << ": " << u << "," << v;
                ASSERT_EQ(inside ? 0.5f : 0.0f, p.b) << size << ": " << u << "," << v;
                if (inside) {
                    ASSERT_EQ(onGrid(u, v, 0, 0, whole) ? 1.0f : 0.0f, p.r)
                        << size << ": " << u << "," << v;
                }
            }
    }
}

// ---------------------------------------------------------------------------
// Agreement with the single-ray intersection over the benchmark flight

t_matrix multiplied(const t_matrix& a, const t_matrix& b)
{
    t_matrix o;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            o.m[i][j] = (a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j]) +
                        (a.m[i][2] * b.m[2][j] + a.m[i][3] * b.m[3][j]);
    return o;
}

t_matrix flightView(scalar p)
{
    const scalar x = (scalar)(4 * std::sin(0.1314 * p));
    const scalar y = (scalar)(2 * std::sin(0.011223 * p) + 0.15);
    const scalar z = (scalar)(4 * std::sin(0.1115 * p));
    const scalar pitch = (scalar)(0.45 * std::sin(0.03 * p));
    const scalar yaw = (scalar)(0.05 * p);
    t_matrix ry = {}, rx = {}, tr = {};
    ry._11 = std::cos(yaw);
    ry._13 = -std::sin(yaw);
    ry._22 = 1;
    ry._31 = std::sin(yaw);
    ry._33 = std::cos(yaw);
    ry._44 = 1;
    rx._11 = 1;
    rx._22 = std::cos(pitch);
    rx._23 = std::sin(pitch);
    rx._32 = -std::sin(pitch);
    rx._33 = std::cos(pitch);
    rx._44 = 1;
    tr._11 = tr._22 = tr._33 = tr._44 = 1;
    tr._41 = x;
    tr._42 = y;
    tr._43 = z;
    return multiplied(multiplied(ry, rx), tr);
}

// The benchmark's ripple map, at any sample count.
void rippleHeights(TestTree& tree, uint32_t size)
{
    tree.heights.resize(size_t(size) * size);
    const scalar step = 1.0f / (scalar)size;
    scalar y = -0.5f;
    for (uint32_t v = 0; v < size; ++v, y += step) {
        scalar x = -0.5f;
        for (uint32_t u = 0; u < size; ++u, x += step) {
            const double value = 0.5 * (1.0 + std::cos(125.6636 * std::sqrt(x * x + y * y)));
            tree.heights[size_t(v) * size + u] =
                value < 0 ? 0 : (t_qkdHeightVal)(std::min(value, 1.0) * 65535);
        }
    }
}

struct Mismatches {
    int lostInUntraced = 0, hitMiss = 0, shading = 0, distanceOrNormal = 0, traced = 0;
};

// Follows the tiles down to the traced ones and traces each of their rays
// from the entry point, comparing t and the normal with the root query.
void compareTracedTiles(const t_mlrta_EP& start, int x, int y, int size, t_renderData* rdat,
                        const std::vector<t_qkdHit>& root, Mismatches* mm)
{
    t_mlrta_EP ep = start;
    if (!mlrta_findEP(&ep, x, y, size, rdat))
        return;
    if (size > rdat->mlrta_minSize) {
        const int half = size / 2;
        for (int sy = y; sy < y + size; sy += half)
            for (int sx = x; sx < x + size; sx += half)
                compareTracedTiles(ep, sx, sy, half, rdat, root, mm);
        return;
    }
    t_state state;
    state.centerXZ[0] = ep.centerXZ[0];
    state.centerXZ[1] = ep.centerXZ[1];
    state.rec = (uint32_t)ep.rec;
    state.node = ep.ep;
    for (int v = y; v < y + size; ++v)
        for (int u = x; u < x + size; ++u) {
            const t_ray& cam = rdat->p_rbuff[size_t(v) * rdat->STRIDE + u];
            t_ray ray;
            transform(ray.x, rdat->matView, cam.x);
            transformW(ray.w, rdat->matView, cam.w);
            scalar t = FLT_MAX, N[3];
            t_material mat = {{0, 0, 0}};
            const t_qkdHit& ref = root[size_t(v) * rdat->STRIDE + u];
            int got = 0;
            if (intersectRayAABB(&state.t_min, &state.t_max, &ray, ep.bbMin, ep.bbMax) &&
                state.t_min <= state.t_max && state.t_max > 0) {
                state.t_min = std::max(state.t_min, 0.0f);
                const scalar inv_w[3] = {1 / ray.w[0], 1 / ray.w[1], 1 / ray.w[2]};
                uint32_t sortedOfs[4];
                presort_ofs(sortedOfs, &ray);
                got = iterativeQkdTraverse(&t, N, &mat, sortedOfs, &ray, inv_w, &state, rdat->qkd);
            }
            if (got != ref.result ||
                (got && (t != ref.t || N[0] != ref.N[0] || N[1] != ref.N[1] || N[2] != ref.N[2])))
                ++mm->distanceOrNormal;
        }
}

// The frame rendered on every fast walk this processor runs, against the
// root query of the plain walk; mismatches are summed over the walks, traced
// pixels are those of the walk that traced the fewest.
Mismatches checkFlightFrame(const t_qkd* qkd, Frame& fr, t_matrix* view)
{
    std::vector<t_qkdHit> root(fr.rays.size());
    const t_qkdPath before = qkd_setPath(QKD_PATH_REFERENCE);
    for (size_t i = 0; i < root.size(); ++i) {
        t_ray ray;
        transform(ray.x, view, fr.rays[i].x);
        transformW(ray.w, view, fr.rays[i].w);
        t_material mat;
        root[i].result = intersect_qkd(&root[i].t, root[i].N, &mat, &ray, qkd);
    }
    Mismatches sum;
    sum.traced = INT32_MAX;
    for (t_qkdPath path : {QKD_PATH_SSE2, QKD_PATH_AVX2, QKD_PATH_AVX512}) {
        if (!qkd_pathRuns(path))
            continue;
        qkd_setPath(path);
        Mismatches mm;
        for (t_pixel& p : fr.pixels)
            p = kCleared;
        for (int v = 0; v < fr.height; v += 128)
            for (int u = 0; u < fr.width; u += 128)
                fr.render(qkd, u, v, 128, view);
        for (int v = 0; v < fr.height; ++v)
            for (int u = 0; u < fr.width; ++u) {
                const t_qkdHit& ref = root[size_t(v) * fr.width + u];
                const t_pixel& p = fr.at(u, v);
                if (p.density == 0) {
                    mm.lostInUntraced += ref.result != 0;
                    continue;
                }
                ++mm.traced;
                // r: frame 0 or 1, plus 0.9 (box miss), 0.5 (terrain miss) or
                // 0 (hit, ground colour (0, 0, 1)); b of a hit is its shading.
                const scalar frac = p.r - std::floor(p.r);
                const bool hit = frac < 0.25f;
                if (hit != (ref.result != 0))
                    ++mm.hitMiss;
                else if (hit && p.b != 0.5f + 0.5f * ref.N[0])
                    ++mm.shading;
            }
        t_renderData rdat = context(qkd, fr.rays, fr.pixels.data(), fr.width, fr.height, view);
        for (int v = 0; v < fr.height; v += 128)
            for (int u = 0; u < fr.width; u += 128)
                compareTracedTiles(rootEP(*qkd), u, v, 128, &rdat, root, &mm);
        if (mm.lostInUntraced || mm.hitMiss || mm.shading || mm.distanceOrNormal)
            ADD_FAILURE() << "walk " << (int)path << ": " << mm.lostInUntraced << " lost, "
                          << mm.hitMiss << " hit or miss, " << mm.shading << " shading, "
                          << mm.distanceOrNormal << " t or normal";
        sum.lostInUntraced += mm.lostInUntraced;
        sum.hitMiss += mm.hitMiss;
        sum.shading += mm.shading;
        sum.distanceOrNormal += mm.distanceOrNormal;
        sum.traced = std::min(sum.traced, mm.traced);
    }
    qkd_setPath(before);
    return sum;
}

// The frames include views that the yaw turns towards -x and +x, where the
// pitch rolls the image and the horizon cuts tile corners (p 84.5, 98.6,
// 155.9, 170.3); there an axis plane taken from two corners alone would cut
// away terrain.
TEST(MlrtaExactness, FlightFramesAgreeWithTheRootIntersection)
{
    TestTree tree;
    rippleHeights(tree, 257);
    tree.build(257, 2, 16, 0.5f);
    tree.qkd.groundColorA[2] = 1;
    Frame fr(512, 512, kCleared);
    const scalar targets[] = {50.3f, 62.9f, 84.5f, 98.6f, 120.2f, 155.9f, 170.3f};
    size_t next = 0;
    scalar p = 50.0f;
    while (next < sizeof targets / sizeof targets[0]) {
        p += 0.3f;
        if (std::fabs(p - targets[next]) > 0.01f)
            continue;
        ++next;
        t_matrix view = flightView(p);
        const Mismatches mm = checkFlightFrame(&tree.qkd, fr, &view);
        EXPECT_GT(mm.traced, 40000) << "p " << p;
        EXPECT_EQ(0, mm.lostInUntraced) << "p " << p;
        EXPECT_EQ(0, mm.hitMiss) << "p " << p;
        EXPECT_EQ(0, mm.shading) << "p " << p;
        EXPECT_EQ(0, mm.distanceOrNormal) << "p " << p;
    }
}

// Every path paints the same bytes: the packets are made and shaded in rows
// of four on some and in 4 x 4 squares on others. Tiles of 25 pixels (100
// halved twice) and tiles cut at the row width leave packets of every
// shape; the pixels start out uneven, so that every addition shows. Two
// views along the axes, from a splitting plane, give the rays of one column
// a direction with no x or no z component.
TEST(MlrtaExactness, EveryPathPaintsTheSamePixels)
{
    TestTree tree;
    rippleHeights(tree, 257);
    tree.build(257, 2, 16, 0.5f);
    tree.qkd.groundColorA[0] = 0.25f;
    tree.qkd.groundColorA[2] = 1;
    std::vector<t_matrix> views = {flightView(50.3f), flightView(98.6f), flightView(155.9f)};
    views.push_back(viewMatrix(kX, kY, kZ, 0.0f, 0.3f, -2.0f));
    views.push_back(viewMatrix(kZ, kY, kX, -2.0f, 0.3f, 0.0f));
    for (t_matrix& view : views) {
        std::vector<t_pixel> first;
        for (t_qkdPath path : {QKD_PATH_SSE2, QKD_PATH_AVX2, QKD_PATH_AVX512}) {
            if (!qkd_pathRuns(path))
                continue;
            const t_qkdPath before = qkd_setPath(path);
            Frame fr(300, 200, kCleared);
            for (int v = 0; v < 200; ++v)
                fr.rays[size_t(v) * 300 + 150].w[0] = 0.0f;
            for (size_t i = 0; i < fr.pixels.size(); ++i)
                fr.pixels[i] = t_pixel{{(scalar)(i % 7) * 0.1f, (scalar)(i % 5) * 0.3f,
                                        (scalar)(i % 3) * 0.7f, (scalar)(i % 2)}};
            for (int v = 0; v < 200; v += 100)
                for (int u = 0; u < 300; u += 100)
                    fr.render(&tree.qkd, u, v, 100, &view);
            fr.render(&tree.qkd, 270, 64, 64, &view);
            qkd_setPath(before);
            if (first.empty())
                first = fr.pixels;
            else
                EXPECT_EQ(0, std::memcmp(first.data(), fr.pixels.data(),
                                         first.size() * sizeof(t_pixel)))
                    << "view " << &view - views.data() << ", walk " << (int)path;
        }
    }
}

// The full benchmark map, built by the module itself, on the frame of the
// flight where most terrain went missing with two-corner axis planes.
TEST(MlrtaExactness, FullBenchmarkMapOnARolledFrame)
{
    TestTree tree;
    rippleHeights(tree, 2049);
    t_qkd& qkd = tree.qkd;
    qkd.heightmap = tree.heights.data();
    qkd.size = 2049;
    qkd.minNodeSize = 2;
    qkd.s = 16;
    qkd.h = 0.5f;
    ASSERT_EQ(0, invalidate_qkd(&qkd));
    qkd.groundColorA[2] = 1;
    scalar p = 50.0f;
    while (std::fabs(p - 155.9f) > 0.01f)
        p += 0.3f;
    t_matrix view = flightView(p);
    Frame fr(512, 512, kCleared);
    const Mismatches mm = checkFlightFrame(&qkd, fr, &view);
    free(qkd.nodes);
    free(qkd.S05);
    free(qkd.W05);
    free(qkd.vertexX);
    EXPECT_GT(mm.traced, 40000);
    EXPECT_EQ(0, mm.lostInUntraced);
    EXPECT_EQ(0, mm.hitMiss);
    EXPECT_EQ(0, mm.shading);
    EXPECT_EQ(0, mm.distanceOrNormal);
}

}  // namespace
