// What the parts of the JPEG 2000 codec share: the error table, reports
// into the context, and the limits.
#ifndef PV_CODECS_JTKINT_H
#define PV_CODECS_JTKINT_H

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
// Record a failure of the entry point: the message, the handler (unless
// quiet); returns the handler's answer. A code >= 0 is returned as it is.
int32_t JtkReport(JtkContextTp *context, const char *entry, int32_t code);

#endif
