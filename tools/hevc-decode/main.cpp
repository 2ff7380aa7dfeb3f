// hevc-decode: drives the built-in H.265 decoder over an Annex B file.
//
// The file is fed through IHW265D_DecodeFrame in chunks of --chunk bytes so
// that buffering across calls is exercised, then flushed. Every decoder
// message is printed with its arguments expanded, every non-zero return code
// in hexadecimal, and with --trace one line per parameter set and slice
// segment header.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "IHW265D.h"
#include "Md5.h"
#include "PicHash.h"
#include "hevc_bits.h"
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_slice_tasks.h"
#include "hevc_trace.h"

namespace {

struct Options {
    const char *pszInput = nullptr;
    const char *pszOutput = nullptr;
    unsigned uiChunk = 4096;
    int iThreads = 0;
    int iOrder = IH265D_DISPLAY_ORDER;
    // Creation limits: from --max/--refs/--bitdepth, else from the stream's
    // first SPS, else these.
    int iMaxWidth = 4096, iMaxHeight = 2304;
    int iRefs = 15;
    int iBitDepth = 10;
    bool bSizeGiven = false, bRefsGiven = false, bDepthGiven = false;
    int iMaxVps = 16, iMaxSps = 16, iMaxPps = 64;
    bool bTrace = false, bMd5 = false, bQuiet = false;
    unsigned uiRelax = 0;
    unsigned uiFrames = 0; // stop after this many output pictures (0: all)
    bool bVerify = false;
    int iLayer = -1; // -1: single-layer decoding; 0/1: both layers, this one output
};

void Usage()
{
    fprintf(stderr,
            "usage: hevc-decode [options] input.265\n"
            "  --chunk N            bytes per decode call (default 4096)\n"
            "  --threads 0|1        single- or multi-threaded decoder\n"
            "  --order decode|display\n"
            "  --max WxH            creation maximum (default: the first SPS's size, else 4096x2304)\n"
            "  --refs N             iMaxRefNum (default: the first SPS's DPB size, else 15)\n"
            "  --bitdepth 8|10      largest accepted bit depth (default: the first SPS's, else 10)\n"
            "  --sets V,S,P         iMaxVPSNum, iMaxSPSNum, iMaxPPSNum (default 16,16,64)\n"
            "  --trace              one line per parameter set and slice header\n"
            "  --md5                one line per output picture with its MD5\n"
            "  -o out.yuv           write the output pictures (cropped planes)\n"
            "  --quiet              no line per output picture\n"
            "  --relax MASK         relax checks stricter than H.265 (1: latency 0 accepted)\n"
            "  --frames N           stop after N output pictures\n"
            "  --verify             check every picture against the stream's decoded picture hash SEI\n"
            "  --layer 0|1          decode both layers of a two-layer stream, output this one\n");
}

bool ParseArgs(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need = [&]() {
            if (!v) {
                fprintf(stderr, "hevc-decode: %s needs a value\n", a);
                return false;
            }
            i++;
            return true;
        };
        if (!strcmp(a, "--chunk")) {
            if (!need()) return false;
            o->uiChunk = (unsigned)strtoul(v, nullptr, 0);
            if (o->uiChunk == 0) o->uiChunk = 1;
        } else if (!strcmp(a, "--threads")) {
            if (!need()) return false;
            o->iThreads = atoi(v);
        } else if (!strcmp(a, "--order")) {
            if (!need()) return false;
            if (!strcmp(v, "decode")) o->iOrder = IH265D_DECODE_ORDER;
            else if (!strcmp(v, "display")) o->iOrder = IH265D_DISPLAY_ORDER;
            else o->iOrder = atoi(v);
        } else if (!strcmp(a, "--max")) {
            if (!need()) return false;
            if (sscanf(v, "%dx%d", &o->iMaxWidth, &o->iMaxHeight) != 2) {
                fprintf(stderr, "hevc-decode: --max wants WxH\n");
                return false;
            }
            o->bSizeGiven = true;
        } else if (!strcmp(a, "--refs")) {
            if (!need()) return false;
            o->iRefs = atoi(v);
            o->bRefsGiven = true;
        } else if (!strcmp(a, "--bitdepth")) {
            if (!need()) return false;
            o->iBitDepth = atoi(v);
            o->bDepthGiven = true;
        } else if (!strcmp(a, "--sets")) {
            if (!need()) return false;
            if (sscanf(v, "%d,%d,%d", &o->iMaxVps, &o->iMaxSps, &o->iMaxPps) != 3) {
                fprintf(stderr, "hevc-decode: --sets wants V,S,P\n");
                return false;
            }
        } else if (!strcmp(a, "--layer")) {
            if (!need()) return false;
            o->iLayer = atoi(v) != 0;
        } else if (!strcmp(a, "--trace")) {
            o->bTrace = true;
        } else if (!strcmp(a, "--md5")) {
            o->bMd5 = true;
        } else if (!strcmp(a, "--relax")) {
            if (!need()) return false;
            o->uiRelax = (unsigned)strtoul(v, nullptr, 0);
        } else if (!strcmp(a, "--frames")) {
            if (!need()) return false;
            o->uiFrames = (unsigned)strtoul(v, nullptr, 0);
        } else if (!strcmp(a, "--verify")) {
            o->bVerify = true;
        } else if (!strcmp(a, "--quiet")) {
            o->bQuiet = true;
        } else if (!strcmp(a, "-o")) {
            if (!need()) return false;
            o->pszOutput = v;
        } else if (a[0] == '-' && a[1]) {
            fprintf(stderr, "hevc-decode: unknown option %s\n", a);
            return false;
        } else {
            o->pszInput = a;
        }
    }
    return o->pszInput != nullptr;
}

// The first SPS of an Annex B stream: coded size, bit depth and DPB size
// (sps_max_dec_pic_buffering_minus1 + 1 of the highest sub-layer). Returns
// false when there is none or it is cut short.
bool FirstSpsLimits(const std::vector<unsigned char> &data, int *piW, int *piH, int *piDepth, int *piDpb)
{
    const size_t n = data.size();
    for (size_t i = 0; i + 3 < n; i++) {
        if (data[i] || data[i + 1] || data[i + 2] != 1 || ((data[i + 3] >> 1) & 63) != 33)
            continue;
        size_t j = i + 3;
        while (j + 2 < n && (data[j] || data[j + 1] || data[j + 2] > 1))
            j++;
        HevcBits b;
        HevcBitsInit(&b, &data[i + 3], (uint32_t)((j + 2 < n ? j : n) - (i + 3)));
        HevcBitsSkip(&b, 16 + 4); // NAL header, sps_video_parameter_set_id
        const int iSubLayers = (int)HevcBitsRead(&b, 3);
        HevcBitsSkip(&b, 1 + 96); // temporal id nesting, general profile, tier and level
        int aiPresent[8] = {0};
        for (int k = 0; k < iSubLayers; k++)
            aiPresent[k] = (int)HevcBitsRead(&b, 2);
        if (iSubLayers > 0)
            HevcBitsSkip(&b, 2 * (8 - iSubLayers));
        for (int k = 0; k < iSubLayers; k++)
            HevcBitsSkip(&b, (aiPresent[k] & 2 ? 88 : 0) + (aiPresent[k] & 1 ? 8 : 0));
        HevcBitsUe(&b); // sps_seq_parameter_set_id
        if (HevcBitsUe(&b) == 3)
            HevcBitsSkip(&b, 1); // separate_colour_plane_flag
        *piW = (int)HevcBitsUe(&b);
        *piH = (int)HevcBitsUe(&b);
        if (HevcBitsFlag(&b))
            for (int k = 0; k < 4; k++)
                HevcBitsUe(&b);
        const uint32_t uiDepthY = HevcBitsUe(&b) + 8, uiDepthC = HevcBitsUe(&b) + 8;
        *piDepth = uiDepthY > 8 || uiDepthC > 8 ? 10 : 8;
        HevcBitsUe(&b); // log2_max_pic_order_cnt_lsb_minus4
        const int bAll = (int)HevcBitsFlag(&b);
        for (int k = bAll ? 0 : iSubLayers; k <= iSubLayers; k++) {
            *piDpb = (int)HevcBitsUe(&b) + 1;
            HevcBitsUe(&b);
            HevcBitsUe(&b);
        }
        return !b.bOverrun && *piW > 0 && *piH > 0;
    }
    return false;
}

void *OnMalloc(unsigned int, unsigned int uiSize) { return malloc(uiSize); }
void OnFree(unsigned int, void *p) { free(p); }

void OnLog(unsigned int uiChannel, int eLevel, const char *pszFormat, ...)
{
    char szLine[1024];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szLine, sizeof(szLine), pszFormat, ap);
    va_end(ap);
    size_t n = strlen(szLine);
    while (n > 0 && szLine[n - 1] == '\n')
        szLine[--n] = 0;
    printf("LOG %s ch=%u %s\n", eLevel == IHW265D_LOG_ERROR ? "error" : "warning", uiChannel, szLine);
}

char SliceTypeChar(uint32_t t) { return t == 0 ? 'B' : t == 1 ? 'P' : 'I'; }

void OnTrace(void *, int eKind, const void *pRecord)
{
    switch (eKind) {
    case HEVC_TRACE_VPS: {
        const HevcVps *v = static_cast<const HevcVps *>(pRecord);
        printf("VPS id=%u layers=%u sub_layers=%u dpb=%u reorder=%u timing=%u\n", v->vps_video_parameter_set_id,
               v->vps_max_layers_minus1 + 1u, v->vps_max_sub_layers_minus1 + 1u,
               v->vps_max_dec_pic_buffering_minus1[v->vps_max_sub_layers_minus1] + 1,
               v->vps_max_num_reorder_pics[v->vps_max_sub_layers_minus1], v->vps_timing_info_present_flag);
        break;
    }
    case HEVC_TRACE_SPS: {
        const HevcSps *s = static_cast<const HevcSps *>(pRecord);
        unsigned hi = s->sps_max_sub_layers_minus1;
        printf("SPS id=%u vps=%u size=%ux%u crop=%u,%u,%u,%u depth=%u/%u ctb=%u mincb=%u tb=%u-%u poc_lsb_bits=%u "
               "dpb=%u reorder=%u st_rps=%u lt=%u/%u scaling=%u/%u sao=%u pcm=%u amp=%u tmvp=%u sis=%u\n",
               s->sps_seq_parameter_set_id, s->sps_video_parameter_set_id, s->pic_width_in_luma_samples,
               s->pic_height_in_luma_samples, s->conf_win_left_offset, s->conf_win_right_offset,
               s->conf_win_top_offset, s->conf_win_bottom_offset, s->bit_depth_luma, s->bit_depth_chroma,
               s->CtbSizeY, s->MinCbSizeY, 1u << s->Log2MinTrafoSize, 1u << s->Log2MaxTrafoSize,
               s->log2_max_pic_order_cnt_lsb, s->sps_max_dec_pic_buffering_minus1[hi] + 1,
               s->sps_max_num_reorder_pics[hi], s->num_short_term_ref_pic_sets, s->long_term_ref_pics_present_flag,
               s->num_long_term_ref_pics_sps, s->scaling_list_enabled_flag, s->sps_scaling_list_data_present_flag,
               s->sample_adaptive_offset_enabled_flag, s->pcm_enabled_flag, s->amp_enabled_flag,
               s->sps_temporal_mvp_enabled_flag, s->strong_intra_smoothing_enabled_flag);
        break;
    }
    case HEVC_TRACE_PPS: {
        const HevcPps *p = static_cast<const HevcPps *>(pRecord);
        printf("PPS id=%u sps=%u tiles=%ux%u wpp=%u init_qp=%d cu_qp_delta=%u/%u cb=%d cr=%d sdh=%u tskip=%u "
               "wp=%u/%u lists_mod=%u dep_slices=%u deblock=%u/%u/%d/%d scaling=%u\n",
               p->pps_pic_parameter_set_id, p->pps_seq_parameter_set_id, p->num_tile_columns, p->num_tile_rows,
               p->entropy_coding_sync_enabled_flag, 26 + p->init_qp_minus26, p->cu_qp_delta_enabled_flag,
               p->diff_cu_qp_delta_depth, p->pps_cb_qp_offset, p->pps_cr_qp_offset,
               p->sign_data_hiding_enabled_flag, p->transform_skip_enabled_flag, p->weighted_pred_flag,
               p->weighted_bipred_flag, p->lists_modification_present_flag,
               p->dependent_slice_segments_enabled_flag, p->deblocking_filter_override_enabled_flag,
               p->pps_deblocking_filter_disabled_flag, p->pps_beta_offset, p->pps_tc_offset,
               p->pps_scaling_list_data_present_flag);
        break;
    }
    case HEVC_TRACE_SLICE: {
        const HevcTraceSlice *t = static_cast<const HevcTraceSlice *>(pRecord);
        const HevcSliceHeader *sh = static_cast<const HevcSliceHeader *>(t->pstSh);
        printf("SLICE nal=%u tid=%u poc=%d type=%c pps=%u addr=%u dep=%u qp=%d rps=%u/%u lt=%u curr=%d "
               "sets=%d/%d/%d foll=%d/%d entry=%u layer=%u out=%u col=%u/%u mod=%u/%u%s",
               sh->nal_unit_type, sh->temporal_id, t->iPoc, SliceTypeChar(sh->slice_type),
               sh->slice_pic_parameter_set_id, sh->slice_segment_address, sh->dependent_slice_segment_flag,
               sh->SliceQpY, sh->st_rps.num_negative_pics, sh->st_rps.num_positive_pics,
               sh->num_long_term_sps + sh->num_long_term_pics, t->iNumPocTotalCurr, t->iNumStCurrBefore,
               t->iNumStCurrAfter, t->iNumLtCurr, t->iNumStFoll, t->iNumLtFoll, sh->num_entry_point_offsets,
               sh->nuh_layer_id, sh->pic_output_flag, sh->collocated_from_l0_flag, sh->collocated_ref_idx,
               sh->ref_pic_list_modification_flag[0], sh->ref_pic_list_modification_flag[1],
               t->bSkipped ? " skipped" : "");
        for (int l = 0; l < 2 && !t->bSkipped; l++) {
            if (t->iNumRef[l] == 0)
                continue;
            printf(" L%d=", l);
            for (int i = 0; i < t->iNumRef[l]; i++)
                printf("%s%d%s", i ? "," : "", t->aiRefPoc[l][i], t->aucRefIsLt[l][i] ? "L" : "");
        }
        printf("\n");
        break;
    }
    default:
        break;
    }
}

struct Sink {
    const Options *pstOpt;
    FILE *pOut;
    unsigned uiPictures;
    const std::vector<PicHash> *pHashes; // decode order, for --verify
    unsigned uiVerified, uiMismatches, uiConcealedMismatches;
};

// Cropped planes: bytes for 8-bit pictures, 16-bit little-endian samples otherwise.
void EmitPicture(Sink *s, const IHW265D_OUTARGS *o)
{
    unsigned uiBps = o->uiDecBitDepthLuma > 8 || o->uiDecBitDepthChroma > 8 ? 2 : 1;
    Md5 stMd5;
    Md5Init(&stMd5);
    for (int c = 0; c < 3; c++) {
        unsigned w = c ? o->uiDecWidth / 2 : o->uiDecWidth;
        unsigned h = c ? o->uiDecHeight / 2 : o->uiDecHeight;
        unsigned uiStride = (c ? o->uiUVStride : o->uiYStride) * uiBps;
        for (unsigned y = 0; y < h; y++) {
            const unsigned char *row = o->pucOutYUV[c] + (size_t)y * uiStride;
            if (s->pstOpt->bMd5)
                Md5Update(&stMd5, row, (size_t)w * uiBps);
            if (s->pOut)
                fwrite(row, uiBps, w, s->pOut);
        }
    }
    if (!s->pstOpt->bQuiet)
        printf("PIC %u poc=%d decode=%u %ux%u depth=%u ts=%llu err=0x%x\n", s->uiPictures, o->iPicOrderCnt,
               o->uiDecodeOrder, o->uiDecWidth, o->uiDecHeight, o->uiDecBitDepthLuma, o->uiTimeStamp,
               o->uiErrorFlag);
    if (s->pstOpt->bMd5) {
        char szHex[33];
        Md5Final(&stMd5, szHex);
        printf("MD5 %u %s\n", s->uiPictures, szHex);
    }
    if (s->pHashes && o->uiDecodeOrder < s->pHashes->size() && (*s->pHashes)[o->uiDecodeOrder].iType >= 0) {
        std::string diff = VerifyPicture((*s->pHashes)[o->uiDecodeOrder], *o);
        s->uiVerified++;
        if (!diff.empty()) {
            /* Concealed pictures are expected to differ; they are counted apart. */
            if (o->uiErrorFlag)
                s->uiConcealedMismatches++;
            else
                s->uiMismatches++;
            printf("VERIFY %u decode=%u mismatch%s: %s\n", s->uiPictures, o->uiDecodeOrder,
                   o->uiErrorFlag ? " (concealed)" : "", diff.c_str());
        }
    }
    s->uiPictures++;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!ParseArgs(argc, argv, &opt)) {
        Usage();
        return 2;
    }
    FILE *pIn = fopen(opt.pszInput, "rb");
    if (!pIn) {
        fprintf(stderr, "hevc-decode: cannot open %s: %s\n", opt.pszInput, strerror(errno));
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pIn)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(pIn);

    std::vector<PicHash> hashes;
    if (opt.bVerify)
        hashes = CollectPictureHashes(data);
    Sink sink{&opt, nullptr, 0, opt.bVerify ? &hashes : nullptr, 0, 0, 0};
    auto fnDone = [&]() { return opt.uiFrames && sink.uiPictures >= opt.uiFrames; };
    if (opt.pszOutput && !(sink.pOut = fopen(opt.pszOutput, "wb"))) {
        fprintf(stderr, "hevc-decode: cannot create %s: %s\n", opt.pszOutput, strerror(errno));
        return 1;
    }

    // Without --max the decoder is sized for the stream (a 4096x2304, 15
    // reference, 10-bit creation takes over 600 MB and a third of a second).
    int iSpsW, iSpsH, iSpsDepth, iSpsDpb = 1;
    if (FirstSpsLimits(data, &iSpsW, &iSpsH, &iSpsDepth, &iSpsDpb)) {
        if (!opt.bSizeGiven) {
            opt.iMaxWidth = iSpsW;
            opt.iMaxHeight = iSpsH;
        }
        if (!opt.bRefsGiven)
            opt.iRefs = iSpsDpb < 1 ? 1 : iSpsDpb > 15 ? 15 : iSpsDpb;
        if (!opt.bDepthGiven)
            opt.iBitDepth = iSpsDepth;
    }

    IHW265D_INIT_PARAM init;
    memset(&init, 0, sizeof(init));
    init.iMaxWidth = opt.iMaxWidth;
    init.iMaxHeight = opt.iMaxHeight;
    init.iMaxRefNum = opt.iRefs;
    init.iMaxVPSNum = opt.iMaxVps;
    init.iMaxSPSNum = opt.iMaxSps;
    init.iMaxPPSNum = opt.iMaxPps;
    init.iBitDepth = opt.iBitDepth;
    init.eThreadType = opt.iThreads;
    init.eOutputOrder = opt.iOrder;
    init.uiMvcEnable = opt.iLayer >= 0;
    init.uiOutputLayer = opt.iLayer > 0;
    init.MallocFxn = OnMalloc;
    init.FreeFxn = OnFree;
    init.LogFxn = OnLog;
    IH265DEC_HANDLE h = nullptr;
    unsigned int uiRet = IHW265D_Create(&h, &init);
    if (uiRet) {
        printf("RET create 0x%08X\n", uiRet);
        return 1;
    }
    if (opt.bTrace)
        HevcSetTrace(h, OnTrace, nullptr);
    if (opt.uiRelax)
        HevcSetRelaxedChecks(h, opt.uiRelax);

    unsigned uiErrors = 0;
    size_t pos = 0;
    unsigned long long ullTs = 0;
    IHW265D_OUTARGS out;
    while (pos < data.size() && !fnDone()) {
        size_t uiLen = data.size() - pos < opt.uiChunk ? data.size() - pos : opt.uiChunk;
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = data.data() + pos;
        in.uiStreamLen = (unsigned)uiLen;
        in.uiTimeStamp = ullTs;
        in.eDecodeMode = IH265D_DECODE_NORMAL;
        // Call until the chunk is taken and the decoder asks for more: a call
        // that delivers a picture or reports an error may leave complete
        // units in its buffer.
        for (;;) {
            uiRet = IHW265D_DecodeFrame(h, &in, &out);
            if (uiRet != IHW265D_OK && uiRet != IHW265D_NEED_MORE_BITS) {
                printf("RET decode 0x%08X\n", uiRet);
                uiErrors++;
            }
            if (out.eDecodeStatus == IH265D_GETDISPLAY)
                EmitPicture(&sink, &out);
            in.pStream += out.uiBytsConsumed;
            in.uiStreamLen -= out.uiBytsConsumed;
            if ((in.uiStreamLen == 0 && out.eDecodeStatus == IH265D_NEED_MORE_BITS) || fnDone())
                break;
        }
        pos += uiLen;
        ullTs++;
    }
    unsigned char ucDummy = 0;
    while (!fnDone()) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = &ucDummy;
        in.eDecodeMode = IH265D_DECODE_END;
        uiRet = IHW265D_DecodeFrame(h, &in, &out);
        if (uiRet != IHW265D_OK) {
            printf("RET flush 0x%08X\n", uiRet);
            uiErrors++;
        }
        if (out.eDecodeStatus != IH265D_GETDISPLAY)
            break;
        EmitPicture(&sink, &out);
    }
    /* How the worker pool took the pictures (stderr: stdout stays equal for both thread types). */
    if (h->pstReconTask && h->pstSliceTasks)
        fprintf(stderr, "POOL split_pictures=%u slice_tasks=%u tails=%u tail_waits=%u deblock_jobs=%u\n",
                h->pstReconTask->uiPictures, h->pstSliceTasks->uiSlices, h->pstThreads->uiTails,
                h->pstThreads->uiTailWaits, h->pstThreads->uiJobRounds);
    uiRet = IHW265D_Delete(h);
    if (uiRet)
        printf("RET delete 0x%08X\n", uiRet);
    if (sink.pOut)
        fclose(sink.pOut);
    if (opt.bVerify) {
        printf("DONE pictures=%u errors=%u verified=%u mismatches=%u concealed_mismatches=%u\n", sink.uiPictures,
               uiErrors, sink.uiVerified, sink.uiMismatches, sink.uiConcealedMismatches);
        return sink.uiMismatches ? 3 : 0;
    }
    printf("DONE pictures=%u errors=%u\n", sink.uiPictures, uiErrors);
    return 0;
}
