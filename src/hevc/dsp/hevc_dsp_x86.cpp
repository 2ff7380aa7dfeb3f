/* Instruction-set tiers. Each tier replaces the entries it has a faster
 * version of; an entry it leaves alone keeps the C reference (or the lower
 * tier's version). The kernels live in hevc_*_sse41.cpp / hevc_*_avx2.cpp,
 * compiled with the matching target attributes. */
#include "hevc_dsp_internal.h"

void HevcDspInitSse41_8(HevcDsp8 *pstDsp)
{
    (void)pstDsp;
}

void HevcDspInitSse41_10(HevcDsp10 *pstDsp)
{
    (void)pstDsp;
}

void HevcDspInitAvx2_8(HevcDsp8 *pstDsp)
{
    (void)pstDsp;
}

void HevcDspInitAvx2_10(HevcDsp10 *pstDsp)
{
    (void)pstDsp;
}
