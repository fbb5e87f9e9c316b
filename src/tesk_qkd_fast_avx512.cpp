// The packet walk built for AVX-512 (without FMA), vectors of sixteen rays;
// called only on processors that have it. Single rays take the AVX2 build
// even here: they have no use for sixteen lanes, and the AVX-512 build of
// that scalar walk, with longer encodings and more registers, ran 6-8 %
// slower on an Intel Xeon.
#define QKD_LANES 16
#include "tesk_qkd_kernels.h"

void qkd_walkPacketAvx512(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                          const t_qkd* qkd)
{
    walkPacket(p, sortedOfs, start, qkd);
}
