/* Whole-picture sample work: the border padding of finished rows. C
 * references. */
#include "hevc_dsp_internal.h"

namespace {

template <int BitDepth>
void PadRows(typename HevcDspTraits<BitDepth>::Pixel *pRow, ptrdiff_t iStride, int iWidth, int iRows, int iPad)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    for (int y = 0; y < iRows; y++, pRow += iStride) {
        const Pixel l = pRow[0], r = pRow[iWidth - 1];
        for (int x = 1; x <= iPad; x++) {
            pRow[-x] = l;
            pRow[iWidth - 1 + x] = r;
        }
    }
}

} /* namespace */

template <int BitDepth> void HevcPictureInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnPadRows = PadRows<BitDepth>;
}
template void HevcPictureInitC<8>(HevcDsp8 *);
template void HevcPictureInitC<10>(HevcDsp10 *);
