/* Table set-up: C references first, then the instruction-set tiers that the
 * CPU has and the caller's mask allows. */
#include <stdlib.h>
#include <string.h>

#include "hevc_dsp_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define HEVC_DSP_X86 1
#endif

unsigned HevcDspCpuFlags(void)
{
    unsigned uiFlags = 0;
#ifdef HEVC_DSP_X86
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        if (c & bit_SSE4_1)
            uiFlags |= HEVC_CPU_SSE41;
        /* AVX2 needs the OS to save the YMM state (OSXSAVE + XCR0 bits 1, 2). */
        if ((c & bit_OSXSAVE) && (c & bit_AVX)) {
            unsigned uiXcr0Lo, uiXcr0Hi;
            __asm__ volatile("xgetbv" : "=a"(uiXcr0Lo), "=d"(uiXcr0Hi) : "c"(0));
            if ((uiXcr0Lo & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2)) {
                uiFlags |= HEVC_CPU_AVX2;
                /* AVX-512 also needs the opmask and both halves of ZMM0-31 saved (XCR0 bits 5-7) */
                const unsigned uiAvx512 = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
                if ((uiXcr0Lo & 0xE6) == 0xE6 && (b & uiAvx512) == uiAvx512 && (c & bit_AVX512VBMI))
                    uiFlags |= HEVC_CPU_AVX512;
            }
        }
    }
#endif
    const char *pszMask = getenv("IPCAMERA_HEVC_CPUMASK");
    if (pszMask && *pszMask) {
        char *pEnd = NULL;
        unsigned long ulMask = strtoul(pszMask, &pEnd, 0);
        if (pEnd != pszMask)
            uiFlags &= (unsigned)ulMask;
    }
    return uiFlags;
}

template <int BitDepth> static void InitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    memset(pstDsp, 0, sizeof(*pstDsp));
    pstDsp->iBitDepth = BitDepth;
    HevcTransformInitC<BitDepth>(pstDsp);
    HevcIntraInitC<BitDepth>(pstDsp);
    HevcDeblockInitC<BitDepth>(pstDsp);
    HevcSaoInitC<BitDepth>(pstDsp);
    HevcMcInitC<BitDepth>(pstDsp);
    HevcPictureInitC<BitDepth>(pstDsp);
}

void HevcDspInit8(HevcDsp8 *pstDsp, unsigned uiCpuMask)
{
    InitC<8>(pstDsp);
    unsigned uiFlags = uiCpuMask & HevcDspCpuFlags();
    if (uiFlags & HEVC_CPU_SSE41)
        HevcDspInitSse41_8(pstDsp);
    if (uiFlags & HEVC_CPU_AVX2)
        HevcDspInitAvx2_8(pstDsp);
    if (uiFlags & HEVC_CPU_AVX512)
        HevcDspInitAvx512_8(pstDsp);
}

void HevcDspInit10(HevcDsp10 *pstDsp, unsigned uiCpuMask)
{
    InitC<10>(pstDsp);
    unsigned uiFlags = uiCpuMask & HevcDspCpuFlags();
    if (uiFlags & HEVC_CPU_SSE41)
        HevcDspInitSse41_10(pstDsp);
    if (uiFlags & HEVC_CPU_AVX2)
        HevcDspInitAvx2_10(pstDsp);
    if (uiFlags & HEVC_CPU_AVX512)
        HevcDspInitAvx512_10(pstDsp);
}
