// Module tesk_qkd: the packets of MLRTA and of qkd_traceTile made (and
// MLRTA's shaded) sixteen lanes at a time, a 4 x 4 square of pixels per
// vector, where the row-by-row code in tesk_qkd.cpp takes four. Built for
// AVX-512, called only on processors that have it. The lanes compute as the
// rows do, so the pixels and the walks' input are the same bit for bit.
//
// The records are turned into lanes with shuffles: a ray is eight floats, two
// rays to a vector, and a pixel four, so a row of four pixels is one vector
// that masked operations change channel by channel.
#include <immintrin.h>
#include "tesk_qkd_internal.h"
#include "tesk_qkd_lanes.h"

namespace {

typedef float v16f __attribute__((vector_size(64)));
typedef int v16i __attribute__((vector_size(64)));
typedef t_laneRays<v16f> t_squareRays;

constexpr int kSquare = 16;  // lanes of a square: four rows of four
static_assert(QKD_PACKET_LANES == 2 * kSquare, "a packet is two squares side by side");
static_assert(sizeof(t_material) == 3 * sizeof(scalar), "a row's colours are twelve floats");

// Every lane: shuffles and conversions take it in their masked forms, as
// GCC 12 warns of the plain forms' undefined operand.
constexpr __mmask16 kAll = 0xffff;

// Lanes from two vectors, four at a time: groups i and j of a, then k and
// l of b.
template <int i, int j, int k, int l>
inline __m512 groups(__m512 a, __m512 b)
{
    return _mm512_maskz_shuffle_f32x4(kAll, a, b, i | j << 2 | k << 4 | l << 6);
}

// Which rays of a pair, two to a vector, a lane's two bits take.
constexpr __mmask16 kRayPair[4] = {0x0000, 0x00ff, 0xff00, 0xffff};

// A square's rays (rows at stride) into lanes 4 row + column: those whose
// bit in present is set; the others are zeros, never read from memory.
inline void squareLoad(t_squareRays* out, const t_ray* src, size_t stride, int present)
{
    // From a row's two vectors: w0, w1, w2 and x0 of its four rays, then x1
    // and x2.
    const __m512i pickW =
        _mm512_setr_epi32(0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27);
    const __m512i pickX = _mm512_add_epi32(pickW, _mm512_set1_epi32(4));
    __m512 a[4], b[4];
    for (int r = 0; r < 4; ++r) {
        const t_ray* row = src + (size_t)r * stride;
        const __m512 left = _mm512_maskz_loadu_ps(kRayPair[present >> 4 * r & 3], row);
        const __m512 right = _mm512_maskz_loadu_ps(kRayPair[present >> (4 * r + 2) & 3], row + 2);
        a[r] = _mm512_permutex2var_ps(left, pickW, right);
        b[r] = _mm512_permutex2var_ps(left, pickX, right);
    }
    // Each coordinate's group of four from every row.
    const __m512 w01 = groups<0, 1, 0, 1>(a[0], a[1]), w23 = groups<0, 1, 0, 1>(a[2], a[3]);
    const __m512 wx01 = groups<2, 3, 2, 3>(a[0], a[1]), wx23 = groups<2, 3, 2, 3>(a[2], a[3]);
    const __m512 x01 = groups<0, 1, 0, 1>(b[0], b[1]), x23 = groups<0, 1, 0, 1>(b[2], b[3]);
    out->w[0] = (v16f)groups<0, 2, 0, 2>(w01, w23);
    out->w[1] = (v16f)groups<1, 3, 1, 3>(w01, w23);
    out->w[2] = (v16f)groups<0, 2, 0, 2>(wx01, wx23);
    out->x[0] = (v16f)groups<1, 3, 1, 3>(wx01, wx23);
    out->x[1] = (v16f)groups<0, 2, 0, 2>(x01, x23);
    out->x[2] = (v16f)groups<1, 3, 1, 3>(x01, x23);
}

// The square's rays into records, the reverse of squareLoad: those whose
// bit in present is set, rows at stride. The records' pads, never read,
// get copies of w0.
inline void squareStore(t_ray* rays, size_t stride, int present, const t_squareRays* in)
{
    const __m512 w0 = (__m512)in->w[0], w1 = (__m512)in->w[1], w2 = (__m512)in->w[2];
    const __m512 x0 = (__m512)in->x[0], x1 = (__m512)in->x[1], x2 = (__m512)in->x[2];
    const __m512 w01 = groups<0, 1, 0, 1>(w0, w1), w23 = groups<2, 3, 2, 3>(w0, w1);
    const __m512 wx01 = groups<0, 1, 0, 1>(w2, x0), wx23 = groups<2, 3, 2, 3>(w2, x0);
    const __m512 x01 = groups<0, 1, 0, 1>(x1, x2), x23 = groups<2, 3, 2, 3>(x1, x2);
    const __m512 a[4] = {groups<0, 2, 0, 2>(w01, wx01), groups<1, 3, 1, 3>(w01, wx01),
                         groups<0, 2, 0, 2>(w23, wx23), groups<1, 3, 1, 3>(w23, wx23)};
    const __m512 b[4] = {groups<0, 2, 0, 2>(x01, x01), groups<1, 3, 1, 3>(x01, x01),
                         groups<0, 2, 0, 2>(x23, x23), groups<1, 3, 1, 3>(x23, x23)};
    const __m512i pickLeft =
        _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 0, 0, 1, 5, 9, 13, 17, 21, 1, 1);
    const __m512i pickRight = _mm512_add_epi32(pickLeft, _mm512_set1_epi32(2));
    for (int r = 0; r < 4; ++r) {
        t_ray* row = rays + (size_t)r * stride;
        _mm512_mask_storeu_ps(row, kRayPair[present >> 4 * r & 3],
                              _mm512_permutex2var_ps(a[r], pickLeft, b[r]));
        _mm512_mask_storeu_ps(row + 2, kRayPair[present >> (4 * r + 2) & 3],
                              _mm512_permutex2var_ps(a[r], pickRight, b[r]));
    }
}

// The lanes where the square's rays meet the box in an interval that is not
// empty and ends after 0; the interval in tmin and tmax.
inline int squareMeets(v16f* tmin, v16f* tmax, const t_squareRays* sq, const scalar* bbMin,
                       const scalar* bbMax)
{
    const v16i ok = lanesBoxIntervals<v16f, v16i>(tmin, tmax, sq, bbMin, bbMax);
    return _mm512_cmpneq_epi32_mask((__m512i)ok, _mm512_setzero_si512());
}

// A square's lanes of the packet made ready to walk from their intervals,
// and their nearest children: as presort_ofs finds it, bit 0 for a ray not
// heading towards +x, bit 1 for one heading towards +z.
inline void squareStart(t_qkdPacket* packet, uint8_t* nearest, int first, v16f tmin, v16f tmax,
                        const t_squareRays* sq)
{
    lanesStart(packet, first, tmin, tmax);
    const v16f zero = {};
    const v16i nearestChild =
        (sq->w[0] > zero ? v16i{} : v16i{} + 1) | (sq->w[2] > zero ? v16i{} + 2 : v16i{});
    _mm_storeu_si128((__m128i*)&nearest[first],
                     _mm512_maskz_cvtepi32_epi8(kAll, (__m512i)nearestChild));
}

// The square from lane first of the packet whose first pixel is (bx, by):
// its rays turned into the world, in lanes and in the packet's records.
// Returns its lanes whose pixels lie in the tile: none for a square past
// the tile's last column.
inline int squareRays(t_squareRays* sq, t_qkdPacket* packet, const t_packetTile* tile, int bx,
                      int by, int first)
{
    const int qx = bx + first / 4;
    if (qx > tile->x1)
        return 0;
    const int columns = tile->x1 - qx + 1 < 4 ? tile->x1 - qx + 1 : 4;
    const int rows = tile->y1 - by + 1 < 4 ? tile->y1 - by + 1 : 4;
    const int present = ((1 << columns) - 1) * 0x1111 & ((1 << 4 * rows) - 1);
    squareLoad(sq, &tile->rays[(size_t)by * tile->stride + (size_t)qx], tile->stride, present);
    lanesToWorld(sq, tile->view);
    squareStore(&packet->ray[first], 4, 0xffff, sq);
    return present;
}

// Bits 0-3 of a row's lanes spread to the first channel of its four pixels.
alignas(32) constexpr uint16_t kPixelBits[16] = {
    0x0000, 0x0001, 0x0010, 0x0011, 0x0100, 0x0101, 0x0110, 0x0111,
    0x1000, 0x1001, 0x1010, 0x1011, 0x1100, 0x1101, 0x1110, 0x1111};

// The channels (bit 0 red, 1 green, 2 blue, 3 density) of the row's pixels
// whose lanes are set in bits 0-3 of lanes.
inline __mmask16 pixelChannels(int lanes, int channels)
{
    return (__mmask16)(kPixelBits[lanes & 15] * channels);
}

inline __m512 perPixel(scalar r, scalar g, scalar b)
{
    return _mm512_setr_ps(r, g, b, 0, r, g, b, 0, r, g, b, 0, r, g, b, 0);
}

}  // namespace

int qkd_startPacketAvx512(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile, int bx,
                          int by)
{
    const int rows = tile->y1 - by + 1 < 4 ? tile->y1 - by + 1 : 4;
    const __m512 level = _mm512_set1_ps(tile->levelTerm);
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512 boxMissed = perPixel(0.9f, 0.6f, 0.4f);
    int traced = 0;
    for (int first = 0; first < QKD_PACKET_LANES; first += kSquare) {
        t_squareRays sq;
        const int inSquare = squareRays(&sq, packet, tile, bx, by, first);
        if (!inSquare)
            break;
        const int qx = bx + first / 4;
        const int columns = __builtin_popcount((unsigned)inSquare & 15);
        // A flat box has no height: a ray crossing it has an interval of
        // one point, which still holds the terrain.
        v16f tmin, tmax;
        const int meets = inSquare & squareMeets(&tmin, &tmax, &sq, tile->bbMin, tile->bbMax);
        traced |= meets << first;
        squareStart(packet, nearest, first, tmin, tmax, &sq);

        // The level shading on every other pixel, the tile's frame, and the
        // colour of rays that miss the entry point's box.
        int frameColumns = 0;
        for (int c = 0; c < columns; ++c)
            if (qx + c == tile->x || qx + c == tile->x1)
                frameColumns |= 1 << c;
        const __mmask16 inRow = (__mmask16)((1 << 4 * columns) - 1);
        for (int r = 0; r < rows; ++r) {
            const int qy = by + r;
            t_pixel* pix = &tile->pixels[(size_t)qy * tile->stride + (size_t)qx];
            const int even = (qx + qy) & 1 ? 0xa : 0x5;
            const int framed = qy == tile->y || qy == tile->y1 ? 0xf : frameColumns;
            const int missed = (inSquare & ~meets) >> 4 * r;
            __m512 p = _mm512_maskz_loadu_ps(inRow, pix);
            p = _mm512_mask_add_ps(p, pixelChannels(even, 2), p, level);
            p = _mm512_mask_add_ps(p, pixelChannels(framed, 1), p, one);
            p = _mm512_mask_add_ps(p, pixelChannels(missed, 7), p, boxMissed);
            p = _mm512_mask_mov_ps(p, pixelChannels(0xf, 8), one);
            _mm512_mask_storeu_ps(pix, inRow, p);
        }
    }
    return traced;
}

void qkd_shadePacketAvx512(const t_qkdPacket* packet, int traced, const t_packetTile* tile, int bx,
                           int by)
{
    // A row's four normals' x and four colours, a pixel's channels apart.
    const __m512i pickNormalX = _mm512_setr_epi32(0, 0, 0, 0, 3, 3, 3, 3, 6, 6, 6, 6, 9, 9, 9, 9);
    const __m512i pickColour = _mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0);
    const __mmask16 rowOfThrees = 0x0fff;
    const __m512 terrainMissed = perPixel(0.5f, 0.2f, 0.6f);
    // Walks clear the result of every lane that they do not walk.
    const __m512i none = _mm512_setzero_si512();
    const int hits = _mm512_cmpneq_epi32_mask(_mm512_loadu_si512(&packet->result[0]), none) |
                     _mm512_cmpneq_epi32_mask(_mm512_loadu_si512(&packet->result[16]), none) << 16;
    for (int first = 0; first < QKD_PACKET_LANES; first += kSquare) {
        const int qx = bx + first / 4;
        if (qx > tile->x1)
            break;
        const int columns = tile->x1 - qx + 1 < 4 ? tile->x1 - qx + 1 : 4;
        const __mmask16 inRow = (__mmask16)((1 << 4 * columns) - 1);
        for (int r = 0; r < 4; ++r) {
            const int lane = first + 4 * r;
            const int rowTraced = traced >> lane & 15;
            if (!rowTraced)
                continue;
            const int rowHits = hits >> lane & 15;
            const __m512 normals = _mm512_maskz_loadu_ps(rowOfThrees, packet->N[lane]);
            const __m512 colours = _mm512_maskz_loadu_ps(rowOfThrees, packet->mat[lane].rgb);
            const v16f n0 = (v16f)_mm512_maskz_permutexvar_ps(kAll, pickNormalX, normals);
            const v16f rgb = (v16f)_mm512_maskz_permutexvar_ps(kAll, pickColour, colours);
            const v16f f = 0.5f + 0.5f * n0;
            const v16f lit = f * rgb;
            t_pixel* pix = &tile->pixels[(size_t)(by + r) * tile->stride + (size_t)qx];
            __m512 p = _mm512_maskz_loadu_ps(inRow, pix);
            p = _mm512_mask_add_ps(p, pixelChannels(rowHits, 7), p, (__m512)lit);
            p = _mm512_mask_add_ps(p, pixelChannels(rowTraced & ~rowHits, 7), p, terrainMissed);
            _mm512_mask_storeu_ps(pix, inRow, p);
        }
    }
}

int qkd_startTracePacketAvx512(t_qkdPacket* packet, uint8_t* nearest, const t_packetTile* tile,
                               int bx, int by, const t_qkd* qkd, bool found, t_ray* rays,
                               t_qkdHit* hits)
{
    const int w = tile->x1 - tile->x + 1;
    int traced = 0;
    for (int first = 0; first < QKD_PACKET_LANES; first += kSquare) {
        t_squareRays sq;
        const int inSquare = squareRays(&sq, packet, tile, bx, by, first);
        if (!inSquare)
            break;
        const int qx = bx + first / 4;
        const size_t out = (size_t)(by - tile->y) * (size_t)w + (size_t)(qx - tile->x);
        squareStore(&rays[out], (size_t)w, inSquare, &sq);
        for (unsigned lanes = (unsigned)inSquare; lanes; lanes &= lanes - 1) {
            const int lane = __builtin_ctz(lanes);
            hits[out + (size_t)(lane / 4) * (size_t)w + (size_t)(lane % 4)].result = 0;
        }
        // The statistics as the query from the root keeps them.
        v16f tmin, tmax;
        const int entersRoot = inSquare & squareMeets(&tmin, &tmax, &sq, qkd->bbMin, qkd->bbMax);
        g_qkdStats.numRaysHitRoot += (uint64_t)__builtin_popcount((unsigned)entersRoot);
        if (!entersRoot || !found)
            continue;
        // No ray of the tile meets the terrain outside the entry point's
        // box; a flat box holds the terrain in one point.
        const int meets = entersRoot & squareMeets(&tmin, &tmax, &sq, tile->bbMin, tile->bbMax);
        traced |= meets << first;
        squareStart(packet, nearest, first, tmin, tmax, &sq);
    }
    return traced;
}
