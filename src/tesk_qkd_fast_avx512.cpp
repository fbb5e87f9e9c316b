// The packet walk built for AVX-512 (without FMA), packets in vectors of
// sixteen rays; called only on processors that have it. The single-ray walk
// of this instruction set has a file of its own (tesk_qkd_single_avx512.cpp).
#define QKD_LANES 16
#include "tesk_qkd_kernels.h"

void qkd_walkPacketAvx512(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                          const t_qkd* qkd)
{
    walkPacket(p, sortedOfs, start, qkd);
}
