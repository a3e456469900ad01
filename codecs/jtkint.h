// What the parts of the JPEG 2000 codec share: the error table, reports
// into the context, and the limits.
#ifndef PV_CODECS_JTKINT_H
#define PV_CODECS_JTKINT_H

#include <cstdint>

#include "jtk.h"

#define JTK_ERR_CATEGORIES 22
// Components the codec handles (the driver uses 1 or 3).
#define JTK_MAX_COMPONENTS 16384

// Error categories of the table.
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

typedef struct {
  uint32_t count;
  const char *const *messages;
} JtkErrCategoryTp;
extern const JtkErrCategoryTp JtkErrTable[JTK_ERR_CATEGORIES];

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
