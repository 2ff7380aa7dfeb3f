// Runs every H.265 probe over the input as a packet: the marker-SEI scan,
// the parameter-set scan with its SPS parse, and the byte and bit readers on
// their own. The input arrives in an exact-size buffer, so any read past
// the packet is reported by ASan.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "decode/HevcProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1 << 20))
        return 0;
    int n = (int)size;
    probe_sei_data(data, n);
    HevcSpsProbe probe;
    if (find_hevc_sps_data(data, n, &probe) == 0 &&
        (probe.nSpsPos <= 0 || probe.nPpsPos <= probe.nSpsPos || !probe.bSei))
        abort();

    // The SPS parse and the readers on the input itself, in a 256-byte copy.
    uint8_t buf[HEVC_SPS_BUF_SIZE];
    memset(buf, 0, sizeof(buf));
    int len = n < HEVC_SPS_BUF_SIZE ? n : HEVC_SPS_BUF_SIZE;
    if (len > 0)
        memcpy(buf, data, (size_t)len);
    int before = len;
    remove_emulation_prevention(buf, &len);
    if (len < 0 || len > before)
        abort();
    HevcSpsInfo info;
    parse_hevc_sps(buf, len, &info);

    BitReader br = {data, 0, n * 8};
    for (int i = 0; i < 64 && br.nPos < br.nLimit; i++) {
        int k = i < n ? data[i] % 40 - 4 : 7;
        read_bits(&br, k);
        read_ue(&br);
        read_bit(&br);
        if (br.nPos > br.nLimit)
            abort();
    }
    return 0;
}
