// The JPEG 2000 codec (ISO/IEC 15444-1 codestreams, raw or in JP2 boxes): its
// context with the error records and handler, the image of component
// planes, the coding parameters and the entry points the JPEG 2000 driver
// uses. Every entry point returns 0 on success; on failure it records the
// error in the context, calls the handler (unless the handler mode says
// not to) and returns the handler's answer.
#ifndef PV_CODECS_JTK_H
#define PV_CODECS_JTK_H

#include <cstddef>
#include <cstdint>

// Every context carries this value; an entry point refuses a context
// without it.
#define JTK_MAGIC 153

// An internal failure: category in bits 16..23, message number (from 1)
// in the low 16 bits, negated.
#define JTK_ERROR(category, number) (-(((category) << 16) | (number)))

// The tile decoder's "more to come" status, not an error.
#define JTK_TILE_PENDING 1003

typedef struct JtkContextTp JtkContextTp;

typedef struct {
  int32_t code;       // the negative internal code
  char message[128];  // its text from JtkErrTable, or "Unknown Error"
  const char *entry;  // "Jp2Compress", "Jp2Decompress", ...
  int32_t answer;     // what the handler answered
} JtkErrorRecordTp;

// Called for each error; its answer is what the failing entry point returns.
typedef int32_t (*JtkErrorHandlerTp)(JtkContextTp *context, const JtkErrorRecordTp *error,
                                     void *user);
// The default: prints the entry point and message on standard error and
// answers the code.
int32_t JtkDefaultErrorHandler(JtkContextTp *context, const JtkErrorRecordTp *error, void *user);

enum {
  JTK_HANDLER_CALL = 0,  // call the handler for each error (default)
  JTK_HANDLER_QUIET = 1  // only record the error
};

// A context with the handler (null: the default); null without memory.
JtkContextTp *JtkCreateContext(JtkErrorHandlerTp handler, void *user);
void JtkDestroyContext(JtkContextTp **context);
int32_t JtkSetHandlerMode(JtkContextTp *context, int32_t mode);
// The errors recorded so far, oldest first; null beyond the last.
const JtkErrorRecordTp *JtkGetError(const JtkContextTp *context, int32_t index);
// The message of an internal code ("Unknown Error" outside the table).
const char *JtkErrorText(int32_t code);

// One component plane: width x height samples of the given precision,
// row after row. Sub-sampling dx, dy of the reference grid.
typedef struct {
  int32_t precision;  // bits per sample
  int32_t is_signed;
  int32_t dx;
  int32_t dy;
  int32_t width;
  int32_t height;
  int32_t x0, y0;  // where the plane starts in the component's own samples
  int32_t *data;
} JtkComponentTp;

// A decoded image holds the picture's channels: the components, or what
// a JP2 palette and component mapping make of them, with the colour
// channels in their order first and an opacity channel last.
typedef struct {
  int32_t width;
  int32_t height;
  int32_t components;
  JtkComponentTp *comp;  // components entries
  int32_t color_space;   // the JP2 colour box's enumerated space (0: none)
  int32_t alpha;         // 1: the last component is opacity
} JtkImageTp;

// Enumerated colour spaces of the JP2 colour box that decoding tells apart.
enum { JTK_CS_SRGB = 16, JTK_CS_GREY = 17, JTK_CS_SYCC = 18, JTK_CS_ESYCC = 24 };

// An image whose planes are allocated (zeroed), every component of the
// given precision and sub-sampling 1; null without memory.
JtkImageTp *JtkCreateImage(JtkContextTp *context, int32_t width, int32_t height, int32_t components,
                           int32_t precision);
void JtkFreeImage(JtkImageTp **image);

enum { JTK_LRCP = 0, JTK_RLCP = 1, JTK_RPCL = 2, JTK_PCRL = 3, JTK_CPRL = 4 };

typedef struct {
  int32_t jp2;  // 1: JP2 file boxes around the codestream, 0: raw codestream
  // encoding; zero fields take the encoder's defaults
  double rate;     // bits per pixel; negative: reversible (lossless) coding
  int32_t layers;  // quality layers
  int32_t levels;  // decomposition levels
  int32_t cblk_w;  // code-block width and height (powers of two)
  int32_t cblk_h;
  int32_t progression;  // JTK_LRCP ...
  // decoding
  int32_t reduce;      // highest resolution levels left out (0: full size)
  int32_t max_layers;  // layers decoded (0: all)
} JtkParamTp;

// What the main header says.
typedef struct {
  int32_t jp2;             // the data had JP2 boxes
  int32_t x0, y0, x1, y1;  // image area on the reference grid
  int32_t tile_w, tile_h, tile_x0, tile_y0;
  int32_t tiles_x, tiles_y;
  int32_t components;
  int32_t precision[4];  // of the first components
  int32_t is_signed[4];
  int32_t dx[4], dy[4];
  int32_t levels;  // decomposition levels: the fewest any component has
  int32_t layers;
  int32_t progression;
  int32_t cblk_w, cblk_h;
  int32_t reversible;  // 5-3 wavelet
  int32_t mct;         // multiple component transform used
  // The picture as the JP2 boxes describe it (a raw codestream: its
  // components): the channels a decoded image holds, its colour space,
  // whether the last channel is opacity, the palette's entries (0: none).
  int32_t channels;
  int32_t color_space;
  int32_t alpha;
  int32_t palette;
} JtkHeaderTp;

// The main header of data (JP2 boxes when jp2, else a raw codestream).
int32_t JtkGetMainHeader(JtkContextTp *context, const uint8_t *data, size_t length, int32_t jp2,
                         JtkHeaderTp *header);
// The whole image; *image is the caller's to free with JtkFreeImage.
int32_t Jp2Decompress(JtkContextTp *context, const JtkParamTp *param, const uint8_t *data,
                      size_t length, JtkImageTp **image);

// Decoding by rows: the picture's channels are made as they are asked
// for, a row of tiles at a time, so that memory follows the width and not
// the area. The data must stay while the decoder is open.
typedef struct JtkDecoderTp JtkDecoderTp;
int32_t JtkOpenDecoder(JtkContextTp *context, const JtkParamTp *param, const uint8_t *data,
                       size_t length, JtkDecoderTp **decoder);
// The channels' sizes, precisions, sampling and places, the colour space
// and opacity, as Jp2Decompress gives them; the planes are null.
const JtkImageTp *JtkDecoderImage(const JtkDecoderTp *decoder);
// Row y of a channel (from its first row), valid until the next call.
// Rows come fastest in the order of the picture; a row before those of
// the current row of tiles reads its tiles again.
int32_t JtkDecodeRow(JtkContextTp *context, JtkDecoderTp *decoder, int32_t channel, int32_t y,
                     const int32_t **row);
void JtkCloseDecoder(JtkDecoderTp **decoder);

// Compressed output: take length bytes; non-zero answer stops the coding.
typedef int32_t (*JtkWriteTp)(void *arg, const uint8_t *data, size_t length);
// The whole image from its planes (the row encoder below, fed from them).
int32_t Jp2Compress(JtkContextTp *context, const JtkParamTp *param, const JtkImageTp *image,
                    JtkWriteTp write, void *arg);

// Encoding by rows: rows go in from the top, each code-block is coded as
// soon as the wavelet has made its rows, and the file is written when the
// last row is in; memory follows the width and the compressed size, not
// the area. The geometry is that of Jp2Compress's image (its planes are
// not used). A row holds the width of samples of each component, one
// component after the other. Closing an encoder that has not finished
// writes nothing.
typedef struct JtkEncoderTp JtkEncoderTp;
int32_t JtkOpenEncoder(JtkContextTp *context, const JtkParamTp *param, const JtkImageTp *geometry,
                       JtkEncoderTp **encoder);
int32_t JtkEncodeRow(JtkContextTp *context, JtkEncoderTp *encoder, const int32_t *row);
// After the last row: the file through write; the encoder is spent.
int32_t JtkFinishEncoder(JtkContextTp *context, JtkEncoderTp *encoder, JtkWriteTp write, void *arg);
void JtkCloseEncoder(JtkEncoderTp **encoder);

#endif
