// What the parts of the JPEG 2000 codec share: the messages, reports
// into the context, and the limits.
#ifndef PV_CODECS_JTKINT_H
#define PV_CODECS_JTKINT_H

#include <cstdint>

#include "jtk.h"

// Components the codec handles (the driver shows up to three colour
// channels and an opacity).
#define JTK_MAX_COMPONENTS 16384

// The categories of the messages.
enum {
  JTK_CAT_MEMORY = 0x00,
  JTK_CAT_COMPRESS = 0x01,
  JTK_CAT_PARAM = 0x02,
  JTK_CAT_SUBBAND = 0x03,
  JTK_CAT_FILE = 0x06,
  JTK_CAT_HEADER = 0x07,
  JTK_CAT_MARKER = 0x08,
  JTK_CAT_ARITH = 0x09,
  JTK_CAT_PACKET = 0x0C,
  JTK_CAT_QUANT = 0x0E,
  JTK_CAT_RAW = 0x0F,
  JTK_CAT_TILE = 0x14,
  JTK_CAT_WAVELET = 0x15
};

// Every message of the codec: X(name, category, number, text). The name
// is the internal code (JTK_ERROR of category and number) that a failing
// step returns, and JtkErrorText finds the text by category and number.
// Numbers and texts are the messages users see: they stay as they are,
// typos and all. Messages nothing raises (among them the whole of
// categories 0x05, 0x12 and 0x13) keep their rows so that every code keeps
// its text.
#define JTK_MESSAGES(X)                                                                           \
  /* Memory. */                                                                                   \
  X(JTK_E_MEMORY, JTK_CAT_MEMORY, 1, "Insufficient Memory")                                       \
  /* The encoder's entry point. */                                                                \
  X(JTK_E_COMPRESS_PARAM, JTK_CAT_COMPRESS, 1, "Invalid Function Parameter to Compression")       \
  X(JTK_E_COMPRESS_PALETTE, JTK_CAT_COMPRESS, 2, "Palette not initialized")                       \
  X(JTK_E_COMPRESS_COLOR_SPEC, JTK_CAT_COMPRESS, 3, "Color Specification Error")                  \
  X(JTK_E_COMPRESS_SOURCE, JTK_CAT_COMPRESS, 4, "Invalid Source file")                            \
  /* The decoder's entry point, and the context. */                                               \
  X(JTK_E_PARAM, JTK_CAT_PARAM, 1, "Invalid Function Parameter")                                  \
  X(JTK_E_SUBBAND_INDEX, JTK_CAT_SUBBAND, 1, "Invalid Subband Index")                             \
  X(JTK_E_PARAM_05, 0x05, 1, "Invalid Function Parameters")                                       \
  /* JP2 boxes, and the encoder's output. */                                                      \
  X(JTK_E_FILE_POINTER, JTK_CAT_FILE, 1, "Invalid File Pointer")                                  \
  X(JTK_E_FILE_PARAM, JTK_CAT_FILE, 2, "Invalid Function Parameter")                              \
  X(JTK_E_FILE_READ, JTK_CAT_FILE, 3, "Unable to read file")                                      \
  X(JTK_E_FILE_LBOX_RESERVED, JTK_CAT_FILE, 4, "Reserve value for LBox is used")                  \
  X(JTK_E_FILE_IO, JTK_CAT_FILE, 5, "File io failure")                                            \
  X(JTK_E_FILE_UUID_INFO, JTK_CAT_FILE, 6, "Unknown box in the UUIDInfoBox")                      \
  X(JTK_E_FILE_XL_BOX, JTK_CAT_FILE, 7, "Extra Large field")                                      \
  X(JTK_E_FILE_BOX_LENGTH, JTK_CAT_FILE, 8, "Length of Box can't be Super")                       \
  X(JTK_E_FILE_BOX_TYPE, JTK_CAT_FILE, 9, "Type of Box is wrong")                                 \
  X(JTK_E_FILE_COLR_METHOD, JTK_CAT_FILE, 10, "Wrong value in byMeth of Color Spacefication Box") \
  X(JTK_E_FILE_WRITE, JTK_CAT_FILE, 11, "Unable to write data into file")                         \
  X(JTK_E_FILE_PALETTE, JTK_CAT_FILE, 12, "Palette box holds fewer entries than it counts")       \
  X(JTK_E_FILE_PALETTE_DEPTH, JTK_CAT_FILE, 13, "Palette column of more than 16 bits")            \
  X(JTK_E_FILE_COMPONENT_MAP, JTK_CAT_FILE, 14,                                                   \
    "Component mapping box names a missing component or palette column")                          \
  X(JTK_E_FILE_CHANNEL_DEF, JTK_CAT_FILE, 15, "Channel definition box names a missing channel")   \
  /* The main header's entry point. */                                                            \
  X(JTK_E_HEADER_PARAM, JTK_CAT_HEADER, 1, "Invalid Parameter to GetMainHeader function")         \
  /* Markers and their segments. */                                                               \
  X(JTK_E_MARKER_PARAM, JTK_CAT_MARKER, 1, "Invalid Function Parameter")                          \
  X(JTK_E_MARKER_SIZE, JTK_CAT_MARKER, 2, "Invalid Marker Size")                                  \
  X(JTK_E_MARKER_QUANT_TYPE, JTK_CAT_MARKER, 3, "Invalid Quantization Type")                      \
  X(JTK_E_MARKER_EMPTY, JTK_CAT_MARKER, 4, "CodeStream Buffer size is NULL")                      \
  X(JTK_E_MARKER_CODE, JTK_CAT_MARKER, 5, "Invalid Marker Code")                                  \
  X(JTK_E_MARKER_NO_EOC, JTK_CAT_MARKER, 6, "End Of Codestream (EOC) marker not found")           \
  X(JTK_E_MARKER_SHORT, JTK_CAT_MARKER, 7, "Not enough data")                                     \
  X(JTK_E_MARKER_PROGRESSION, JTK_CAT_MARKER, 8, "Invalid Progression Order")                     \
  X(JTK_E_MARKER_LAYERS, JTK_CAT_MARKER, 9, "Invalid Number of Layers")                           \
  X(JTK_E_MARKER_LEVELS, JTK_CAT_MARKER, 10, "Invalid Number of Decomposition Levels")            \
  X(JTK_E_MARKER_CBLK_SIZE, JTK_CAT_MARKER, 11, "Invalid CodeBlock CB Parameter(Xcb or Ycb)")     \
  X(JTK_E_MARKER_CBLK_STYLE, JTK_CAT_MARKER, 12, "Invalid CodeBlock Coding Style")                \
  X(JTK_E_MARKER_PRECINCT, JTK_CAT_MARKER, 13, "Invalid Precinct Parttion Parameter(PPx or PPy)") \
  X(JTK_E_MARKER_SEPARATION, JTK_CAT_MARKER, 14, "XRSiz and/or YRSiz not an exact power of 2")    \
  X(JTK_E_MARKER_DEPTHS, JTK_CAT_MARKER, 15, "SSiz values(Bitdepth) of components are unequal")   \
  X(JTK_E_MARKER_SEPARATIONS, JTK_CAT_MARKER, 16,                                                 \
    "XRSiz and/or YRSiz (Separation) of the components are unequal")                              \
  X(JTK_E_MARKER_COC_STYLE, JTK_CAT_MARKER, 17, "Invalid COC Coding Style")                       \
  X(JTK_E_MARKER_COC_WAVELET, JTK_CAT_MARKER, 18, "Invalid Wavelet Transform in COC")             \
  X(JTK_E_MARKER_QUANT_STYLE, JTK_CAT_MARKER, 19, "Invalid Quantization Style")                   \
  X(JTK_E_MARKER_ROI_STYLE, JTK_CAT_MARKER, 20, "Invalid ROI style")                              \
  X(JTK_E_MARKER_CAPABILITY, JTK_CAT_MARKER, 21, "Invalid Codestream Capability Code in SIZ")     \
  X(JTK_E_MARKER_IMAGE_SIZE, JTK_CAT_MARKER, 22, "Invalid XSiz and/or YSiz Value")                \
  X(JTK_E_MARKER_IMAGE_OFFSET, JTK_CAT_MARKER, 23, "Invalid X or Y offset")                       \
  X(JTK_E_MARKER_TILE_SIZE, JTK_CAT_MARKER, 24, "Invalid XTSiz and/or YTSiz Value")               \
  X(JTK_E_MARKER_TILE_OFFSET, JTK_CAT_MARKER, 25, "Invaild Xt or YT offset")                      \
  X(JTK_E_MARKER_COMPONENTS, JTK_CAT_MARKER, 26, "Invalid Number of Image Components in SIZ")     \
  X(JTK_E_MARKER_DEPTH, JTK_CAT_MARKER, 27, "Invalid Ssiz Value")                                 \
  X(JTK_E_MARKER_TILE_PART, JTK_CAT_MARKER, 28, "Invalid Tile Part Index in SOT")                 \
  X(JTK_E_MARKER_PSOT, JTK_CAT_MARKER, 29, "Invalid PSOT")                                        \
  X(JTK_E_MARKER_TPSOT, JTK_CAT_MARKER, 30, "Invalid TPSOT")                                      \
  X(JTK_E_MARKER_POC_RS, JTK_CAT_MARKER, 31, "Invalid Starting Resolution index in POC")          \
  X(JTK_E_MARKER_POC_CS, JTK_CAT_MARKER, 32, "Invalid Starting Component index in POC")           \
  X(JTK_E_MARKER_POC_RE, JTK_CAT_MARKER, 33, "Invalid Ending Resolution index in POC")            \
  X(JTK_E_MARKER_POC_CE, JTK_CAT_MARKER, 34, "Invalid Ending Component index in POC")             \
  /* The arithmetic decoder. */                                                                   \
  X(JTK_E_ARITH_PARAM, JTK_CAT_ARITH, 1, "Invalid Function Parameters")                           \
  X(JTK_E_ARITH_SYMBOL, JTK_CAT_ARITH, 2,                                                         \
    "incorrect symbol value encountered during Arithmetic Entropy Decoding")                      \
  X(JTK_E_ARITH_DECODE, JTK_CAT_ARITH, 3, "Error while Arithmetic Decoding")                      \
  /* Tiles, packets and code-blocks. */                                                           \
  X(JTK_E_PACKET_TILE_NUMBER, JTK_CAT_PACKET, 1, "JtkMapTileNumber:Invalid value in pMapTileNo")  \
  X(JTK_E_PACKET_PASSES, JTK_CAT_PACKET, 2, "Invalid Coding Passes : greater than 164")           \
  X(JTK_E_PACKET_PASSES_10, JTK_CAT_PACKET, 3, "Invalid Coding Passes : less than 10")            \
  X(JTK_E_PACKET_PASSES_2, JTK_CAT_PACKET, 4, "Invalid Coding Passes : less than 2")              \
  X(JTK_E_PACKET_PASSES_1, JTK_CAT_PACKET, 5, "Invalid Coding Passes : less than 1")              \
  X(JTK_E_PACKET_PARAM, JTK_CAT_PACKET, 6, "Invalid Function Parameter")                          \
  X(JTK_E_PACKET_HEADER, JTK_CAT_PACKET, 7, "Invalid Packet Header Byte")                         \
  X(JTK_E_PACKET_TILE_SIZE, JTK_CAT_PACKET, 8, "Invalid Tile Size")                               \
  X(JTK_E_PACKET_DATA, JTK_CAT_PACKET, 9, "Invalid Data")                                         \
  X(JTK_E_PACKET_DATA_10, JTK_CAT_PACKET, 10, "Invalid Data")                                     \
  X(JTK_E_PACKET_FUNCTION, JTK_CAT_PACKET, 11, "Invalid Packet related Function parameter")       \
  X(JTK_E_PACKET_BAND_SIZE, JTK_CAT_PACKET, 12, "Invalid subband dimension")                      \
  X(JTK_E_PACKET_BAND_TYPE, JTK_CAT_PACKET, 13, "Invalid Subband type")                           \
  X(JTK_E_PACKET_DATA_14, JTK_CAT_PACKET, 14, "Invalid Data")                                     \
  X(JTK_E_PACKET_PROGRESSION, JTK_CAT_PACKET, 15, "Invalid progression Order")                    \
  X(JTK_E_PACKET_NO_MARKER, JTK_CAT_PACKET, 16, "Marker not available either")                    \
  X(JTK_E_PACKET_PROGRESSION_17, JTK_CAT_PACKET, 17, "Invalid progression order")                 \
  /* Quantisation, the raw object, tiles, wavelets. */                                            \
  X(JTK_E_QUANT_STYLE, JTK_CAT_QUANT, 1, "Invalid Quantization Style")                            \
  X(JTK_E_RAW_PARAM, JTK_CAT_RAW, 1, "Invalid Function Parameters")                               \
  X(JTK_E_RAW_UNSET, JTK_CAT_RAW, 2, "Raw object not initialized")                                \
  X(JTK_E_RAW_OBJECT, JTK_CAT_RAW, 3, "Invalid Raw Object")                                       \
  X(JTK_E_RAW_ZERO_COMPONENT, JTK_CAT_RAW, 4, "Component Value is Zero")                          \
  X(JTK_E_RAW_NO_COC, JTK_CAT_RAW, 5, "COC Marker not yet created")                               \
  X(JTK_E_PARAM_12, 0x12, 1, "Invalid Function Parameter")                                        \
  X(JTK_E_PARAM_13, 0x13, 1, "Invalid Function Parameter")                                        \
  X(JTK_E_TILE_COUNT, JTK_CAT_TILE, 1, "negative value of NumXTiles")                             \
  X(JTK_E_TILE_DEPTH, JTK_CAT_TILE, 2, "negative value of Bit depth")                             \
  X(JTK_E_TILE_DATA, JTK_CAT_TILE, 3, "Invalid Data")                                             \
  X(JTK_E_WAVELET_FILTER, JTK_CAT_WAVELET, 1, "Unknown filter")                                   \
  X(JTK_E_WAVELET_FILTER_2, JTK_CAT_WAVELET, 2, "Unknown filter")                                 \
  X(JTK_E_WAVELET_ARRAY, JTK_CAT_WAVELET, 3, "Wrong array size.")                                 \
  X(JTK_E_WAVELET_ARRAY_4, JTK_CAT_WAVELET, 4, "Wrong array size.")                               \
  X(JTK_E_WAVELET_INPUT, JTK_CAT_WAVELET, 5, "Invalid Input")                                     \
  X(JTK_E_WAVELET_LEVELS, JTK_CAT_WAVELET, 6, "Mismatch in Decomposelevel values ")               \
  /* end */

#define JTK_MESSAGE_NAME(name, category, number, text) name = JTK_ERROR(category, number),
enum JtkMessageTp : int32_t { JTK_MESSAGES(JTK_MESSAGE_NAME) };
#undef JTK_MESSAGE_NAME

// The context is real (carries the magic value).
bool JtkValidContext(const JtkContextTp *context);
// One state of the MQ coder's probability estimation: the LPS
// probability and the next states after an MPS and an LPS, and whether an
// LPS swaps the sense of the MPS.
typedef struct {
  uint16_t qe;
  uint8_t nmps, nlps;
  uint8_t swap;
} JtkMqStateTp;
#define JTK_MQ_STATES 47
extern const JtkMqStateTp JtkMqStates[JTK_MQ_STATES];

// The bit-plane coder's contexts: 0..8 significance, 9..13 sign, 14..16
// refinement, 17 run length, 18 uniform. Each starts in state 0 except
// the three below.
#define JTK_CTX_COUNT 19
#define JTK_CTX_RUN 17
#define JTK_CTX_UNIFORM 18
#define JTK_CTX_ZERO_START 4  // significance context 0 starts in state 4
#define JTK_CTX_RUN_START 3
#define JTK_CTX_UNIFORM_START 46

// Code-block style bits.
enum {
  JTK_CB_BYPASS = 0x01,
  JTK_CB_RESET = 0x02,
  JTK_CB_TERMALL = 0x04,
  JTK_CB_VSC = 0x08,
  JTK_CB_PTERM = 0x10,
  JTK_CB_SEGMARK = 0x20
};

// Lifting constants of the irreversible 9-7 wavelet and its scaling.
#define JTK_97_ALPHA (-1.586134342059924)
#define JTK_97_BETA (-0.052980118572961)
#define JTK_97_GAMMA 0.882911075530934
#define JTK_97_DELTA 0.443506852043971
#define JTK_97_K 1.230174104914001

// Record a failure of the entry point: the message, the handler (unless
// quiet); returns the handler's answer. A code >= 0 is returned as it is.
int32_t JtkReport(JtkContextTp *context, const char *entry, int32_t code);

#endif
