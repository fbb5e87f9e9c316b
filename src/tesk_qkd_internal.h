// Private parts of the tree module, shared with its tests.
#ifndef TESK_QKD_INTERNAL_H
#define TESK_QKD_INTERNAL_H

#include "tesk_math.h"
#include "tesk_qkd.h"

int recursiveBuild(t_qkd* qkd, uint32_t u, uint32_t v, uint32_t nodeSize, uint32_t nodeIndex,
                   uint32_t recLeft);

#endif
