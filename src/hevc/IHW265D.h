/* Interface of the built-in H.265 decoder (Main and Main 10, 4:2:0).
 *
 * The decoder is reached only through the four calls below on an opaque
 * handle. All of its memory comes from the caller's MallocFxn/FreeFxn, every
 * message goes to the caller's log callback, and it has no other dependency.
 * A handle is driven by one thread at a time. */
#ifndef IHW265D_H
#define IHW265D_H

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define IHW265D_OK                     0x00000000u
#define IHW265D_NEED_MORE_BITS         0x00000001u
#define IHW265D_ERR_NULL               0xF0401000u /* null handle/record, bad mode or output layer */
#define IHW265D_ERR_HANDLE             0xF0401001u /* validity word wrong */
#define IHW265D_ERR_MALLOC             0xF0402000u
#define IHW265D_ERR_WIDTH              0xF0402001u /* also: picture wider than iMaxWidth */
#define IHW265D_ERR_HEIGHT             0xF0402002u /* also: picture higher than iMaxHeight */
#define IHW265D_ERR_REFNUM             0xF0402003u /* also: iBitDepth, more refs than iMaxRefNum */
#define IHW265D_ERR_VPSNUM             0xF0402004u
#define IHW265D_ERR_SPSNUM             0xF0402005u
#define IHW265D_ERR_PPSNUM             0xF0402006u
#define IHW265D_ERR_THREADTYPE         0xF0402007u
#define IHW265D_ERR_MALLOCFXN          0xF0402008u
#define IHW265D_ERR_FREEFXN            0xF0402009u
#define IHW265D_ERR_LOGFXN             0xF040200Au
#define IHW265D_ERR_USERDATA           0xF040200Cu
#define IHW265D_ERR_VPS                0xF0404002u
#define IHW265D_ERR_SPS                0xF0404003u
#define IHW265D_ERR_PPS                0xF0404004u
#define IHW265D_ERR_SLICEHEADER        0xF0404005u
#define IHW265D_ERR_NAL                0xF0404006u
#define IHW265D_ERR_THREAD             0xE0404008u

/* Log levels handed to the log callback. */
#define IHW265D_LOG_ERROR   0
#define IHW265D_LOG_WARNING 1

typedef enum {
    IH265D_DECODE_ORDER = 0,
    IH265D_DISPLAY_ORDER = 1
} IH265D_OUTPUT_ORDER;

typedef enum {
    IH265D_SINGLE_THREAD = 0,
    IH265D_MULTI_THREAD = 1
} IH265D_THREAD_TYPE;

typedef enum {
    IH265D_DECODE_NORMAL = 0,
    IH265D_DECODE_END = 1 /* flush at end of stream */
} IH265D_DECODE_MODE;

/* Word 5 of IHW265D_OUTARGS. */
typedef enum {
    IH265D_GETDISPLAY = 0,     /* a picture is delivered in this record */
    IH265D_NEED_MORE_BITS = 1, /* all input consumed, no picture ready */
    IH265D_NO_PICTURE = 2,     /* flush finished, nothing left */
    IH265D_DECODING = 3        /* call ended before reaching a picture */
} IH265D_DECODE_STATUS;

typedef void *(*IHW265D_MALLOC_FXN)(unsigned int uiChannelID, unsigned int uiSize);
typedef void (*IHW265D_FREE_FXN)(unsigned int uiChannelID, void *pMem);
typedef void (*IHW265D_LOG_FXN)(unsigned int uiChannelID, int eLevel, const char *pszFormat, ...);

typedef struct {
    unsigned int uiChannelID;  /* handed back to the callbacks and in every output */
    int iMaxWidth;             /* 8..16384 */
    int iMaxHeight;            /* 8..16384 */
    int iMaxRefNum;            /* 0..15 */
    int iMaxVPSNum;            /* 1..16 */
    int iMaxSPSNum;            /* 1..16 */
    int iMaxPPSNum;            /* 1..64 */
    int iBitDepth;             /* 8 or 10: largest bit depth the caller accepts */
    unsigned int uiMvcEnable;  /* non-zero: second layer decoding enabled */
    unsigned int uiOutputLayer;/* 0 or 1; 1 only with uiMvcEnable */
    int eThreadType;           /* IH265D_THREAD_TYPE */
    int eOutputOrder;          /* IH265D_OUTPUT_ORDER; rewritten to 1 when invalid */
    int iReserved;
    IHW265D_MALLOC_FXN MallocFxn;
    IHW265D_FREE_FXN FreeFxn;
    IHW265D_LOG_FXN LogFxn;
} IHW265D_INIT_PARAM;

typedef struct {
    unsigned char *pStream;      /* Annex B bytes, start codes included */
    unsigned int uiStreamLen;
    unsigned long long uiTimeStamp;
    int eDecodeMode;             /* IH265D_DECODE_MODE */
} IHW265D_INARGS;

typedef struct {
    unsigned int uiChannelID;
    unsigned int uiBytsConsumed;
    unsigned long long uiTimeStamp;   /* time stamp that came with the output picture */
    unsigned int uiPicState;          /* 0 for a clean picture, see word 55 */
    unsigned int eDecodeStatus;       /* IH265D_DECODE_STATUS */
    unsigned int uiDecWidth;          /* cropped luma size */
    unsigned int uiDecHeight;
    unsigned int uiYStride;           /* in samples */
    unsigned int uiUVStride;
    unsigned int uiDecBitDepthLuma;
    unsigned int uiDecBitDepthChroma;
    /* High-dynamic-range information from the latest SEI messages. */
    unsigned int uiDisplayPrimariesX[3];
    unsigned int uiDisplayPrimariesY[3];
    unsigned int uiWhitePointX;
    unsigned int uiWhitePointY;
    unsigned int uiMaxDisplayMasteringLuminance;
    unsigned int uiMinDisplayMasteringLuminance;
    unsigned int uiMaxContentLightLevel;
    unsigned int uiMaxPicAverageLightLevel;
    /* Planes of the output picture (cropped origin); valid until the next call.
     * 8-bit pictures hold bytes, 10-bit pictures 16-bit samples. */
    unsigned char *pucOutYUV[3];
    /* Further picture information. */
    int iPicOrderCnt;
    unsigned int uiDecodeOrder;       /* 0 for the first picture of the handle */
    unsigned int uiNalUnitType;       /* of the picture's first slice segment */
    unsigned int uiSliceType;         /* of the picture's first slice: 0 B, 1 P, 2 I */
    unsigned int uiLayerId;
    unsigned int uiCodedWidth;        /* before cropping */
    unsigned int uiCodedHeight;
    unsigned int uiCropLeft;          /* conformance window in luma samples */
    unsigned int uiCropRight;
    unsigned int uiCropTop;
    unsigned int uiCropBottom;
    unsigned int uiUserDataLen;       /* bytes of the latest SEI 240 payload */
    unsigned int uiPrivateSeiValue;   /* latest 4-byte SEI 229 value */
    unsigned int uiFullRange;         /* VUI video_full_range_flag of the picture's SPS */
    unsigned int auiReserved[14];
    unsigned int uiErrorFlag;         /* non-zero: errors were concealed in the picture */
    unsigned int auiReserved2[2];
} IHW265D_OUTARGS;

typedef struct {
    char cVersionChar[48];
    char cReleaseTime[28];
    unsigned int uiCompileVersion;
} IHW265D_VERSION;

typedef struct HW265D_DEC *IH265DEC_HANDLE;

unsigned int IHW265D_Create(IH265DEC_HANDLE *phDecoder, IHW265D_INIT_PARAM *pstInitParam);
unsigned int IHW265D_DecodeFrame(IH265DEC_HANDLE hDecoder, IHW265D_INARGS *pstInArgs,
                                 IHW265D_OUTARGS *pstOutArgs);
unsigned int IHW265D_Delete(IH265DEC_HANDLE hDecoder);
unsigned int IHW265D_GetVersion(IHW265D_VERSION *pstVersion);

#ifdef __cplusplus
}
#endif
#endif
