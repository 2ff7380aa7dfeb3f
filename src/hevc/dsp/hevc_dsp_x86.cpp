/* Instruction-set tiers. Each tier replaces the entries it has a faster
 * version of; the others keep the C reference (or the lower tier's version).
 * The kernels live in hevc_*_x86.cpp, each routine compiled for its tier
 * through a target attribute. */
#include "hevc_dsp_internal.h"

#if defined(__x86_64__) || defined(__i386__)
void HevcDspInitSse41_8(HevcDsp8 *pstDsp)
{
    HevcTransformInitSse41<8>(pstDsp);
    HevcIntraInitSse41<8>(pstDsp);
    HevcDeblockInitSse41<8>(pstDsp);
    HevcSaoInitSse41<8>(pstDsp);
    HevcMcInitSse41<8>(pstDsp);
    HevcPictureInitSse41<8>(pstDsp);
}

void HevcDspInitSse41_10(HevcDsp10 *pstDsp)
{
    HevcTransformInitSse41<10>(pstDsp);
    HevcIntraInitSse41<10>(pstDsp);
    HevcDeblockInitSse41<10>(pstDsp);
    HevcSaoInitSse41<10>(pstDsp);
    HevcMcInitSse41<10>(pstDsp);
    HevcPictureInitSse41<10>(pstDsp);
}

void HevcDspInitAvx2_8(HevcDsp8 *pstDsp)
{
    HevcTransformInitAvx2<8>(pstDsp);
    HevcIntraInitAvx2<8>(pstDsp);
    HevcMcInitAvx2<8>(pstDsp);
    HevcSaoInitAvx2<8>(pstDsp);
    HevcPictureInitAvx2<8>(pstDsp);
}

void HevcDspInitAvx2_10(HevcDsp10 *pstDsp)
{
    HevcTransformInitAvx2<10>(pstDsp);
    HevcIntraInitAvx2<10>(pstDsp);
    HevcMcInitAvx2<10>(pstDsp);
    HevcSaoInitAvx2<10>(pstDsp);
    HevcPictureInitAvx2<10>(pstDsp);
}

void HevcDspInitAvx512_8(HevcDsp8 *pstDsp)
{
    HevcTransformInitAvx512<8>(pstDsp);
    HevcMcInitAvx512<8>(pstDsp);
    HevcSaoInitAvx512<8>(pstDsp);
}

void HevcDspInitAvx512_10(HevcDsp10 *pstDsp)
{
    HevcTransformInitAvx512<10>(pstDsp);
    HevcMcInitAvx512<10>(pstDsp);
    HevcSaoInitAvx512<10>(pstDsp);
}
#else
void HevcDspInitSse41_8(HevcDsp8 *) {}
void HevcDspInitSse41_10(HevcDsp10 *) {}
void HevcDspInitAvx2_8(HevcDsp8 *) {}
void HevcDspInitAvx2_10(HevcDsp10 *) {}
void HevcDspInitAvx512_8(HevcDsp8 *) {}
void HevcDspInitAvx512_10(HevcDsp10 *) {}
#endif
