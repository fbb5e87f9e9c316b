// Module tesk_qkd: the fast walks, single rays and packets, and the choice
// of the instruction set they run on. They take exactly the decisions of the
// plain walk (qkd_walkReference) with the same IEEE operations in the same
// order, so every hit, t and normal is the same bit for bit; they only do
// them in SIMD lanes (see tesk_qkd_kernels.h). This file holds the SSE2
// build, which every x86-64 processor runs: vectors of four rays, one SSE
// register, as GCC splits wider vectors into scalar code.
#define QKD_LANES 4
#include "tesk_qkd_kernels.h"

int qkd_walkSse2(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                 const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                 const t_qkd* qkd)
{
    return walk(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
}

void qkd_walkPacketSse2(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                        const t_qkd* qkd)
{
    walkPacket(p, sortedOfs, start, qkd);
}

namespace {

t_qkdPath bestPath()
{
    return qkd_pathRuns(QKD_PATH_AVX512) ? QKD_PATH_AVX512
           : qkd_pathRuns(QKD_PATH_AVX2) ? QKD_PATH_AVX2
                                          : QKD_PATH_SSE2;
}

t_qkdPath g_path = bestPath();

// The single-ray AVX-512 build needs AVX512VL too, which every processor
// with AVX-512 but the Xeon Phi has.
bool singleRaysAvx512Run()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

bool g_singleRaysAvx512 = __builtin_cpu_is("amd") && singleRaysAvx512Run();

}  // namespace

bool qkd_pathRuns(t_qkdPath path)
{
    if (path == QKD_PATH_AVX512)
        return __builtin_cpu_supports("avx512f");
    if (path == QKD_PATH_AVX2)
        return __builtin_cpu_supports("avx2");
    return true;
}

t_qkdPath qkd_setPath(t_qkdPath path)
{
    const t_qkdPath before = g_path;
    g_path = qkd_pathRuns(path) ? path : bestPath();
    return before;
}

bool qkd_setSingleRaysAvx512(bool on)
{
    const bool before = g_singleRaysAvx512;
    g_singleRaysAvx512 = on && singleRaysAvx512Run();
    return before;
}

bool qkd_singleRaysTakeAvx512()
{
    return g_path == QKD_PATH_AVX512 && g_singleRaysAvx512;
}

bool qkd_packetsBySquares()
{
    return g_path == QKD_PATH_AVX512;
}

void qkd_walkPacket(t_qkdPacket* packet, const uint32_t* sortedOfs, const t_state* start,
                    const t_qkd* qkd)
{
    for (int i = 0; i < QKD_PACKET_LANES; ++i)
        packet->result[i] = 0;
    switch (g_path) {
    case QKD_PATH_AVX512:
        qkd_walkPacketAvx512(packet, sortedOfs, start, qkd);
        return;
    case QKD_PATH_AVX2:
        qkd_walkPacketAvx2(packet, sortedOfs, start, qkd);
        return;
    case QKD_PATH_SSE2:
        qkd_walkPacketSse2(packet, sortedOfs, start, qkd);
        return;
    default:
        // The reference: each lane walked on its own.
        for (int i = 0; i < QKD_PACKET_LANES; ++i) {
            if (!(packet->lanes & (1u << i)))
                continue;
            t_state lane = *start;
            lane.t_min = packet->t_min[i];
            lane.t_max = packet->t_max[i];
            const t_ray* ray = &packet->ray[i];
            const scalar inv_w[3] = {1.0f / ray->w[0], 1.0f / ray->w[1], 1.0f / ray->w[2]};
            packet->result[i] = qkd_walkReference(&packet->t[i], packet->N[i], &packet->mat[i],
                                                  sortedOfs, ray, inv_w, &lane, qkd);
        }
        return;
    }
}

int iterativeQkdTraverse(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                         const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                         const t_qkd* qkd)
{
    switch (g_path) {
    case QKD_PATH_AVX512:
        if (g_singleRaysAvx512)
            return qkd_walkAvx512(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
        [[fallthrough]];  // the AVX2 build
    case QKD_PATH_AVX2:
        return qkd_walkAvx2(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
    case QKD_PATH_SSE2:
        return qkd_walkSse2(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
    default:
        return qkd_walkReference(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
    }
}
