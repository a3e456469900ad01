// The fax encoder: packed rows to T.4/T.6 codes, one- or two-dimensional,
// with or without end-of-line codes, handed on through the codec layer.
#include <cstdlib>
#include <cstring>

#include "ccitt.h"

#define CMN_SOURCE "faxenco"

namespace {

// Group 3 two-dimensional data codes every K-th row one-dimensionally, so
// that a damaged row spoils at most K rows.
constexpr int64_t kG3K = 4;
constexpr int32_t kOutSize = 4096;

struct Encoder {
  FaxParamTp p;
  IfuCodecTp *codec;
  int dimension;
  int32_t columns, rowbytes;
  uint8_t *row;  // the row being collected
  int32_t row_fill;
  int32_t *ref, *cur;  // changing elements, end markers after them
  int64_t rows_done;
  uint64_t acc;  // pending bits, the newest lowest
  int nbits;     // pending bits, fewer than 8 between codes
  uint8_t out[kOutSize];
  int32_t out_len;
  int debug;
  ReturnTp rc;  // the first output failure
};

Encoder *Of(IfuCodecTp *codec) { return static_cast<Encoder *>(codec->object); }

void Flush(Encoder *e) {
  if (e->out_len == 0) return;
  if (bvadrfile) {
    for (int32_t i = 0; i < e->out_len; ++i) {
      fprintf(bvadrfile, "%c%c", "0123456789ABCDEF"[e->out[i] >> 4],
              "0123456789ABCDEF"[e->out[i] & 15]);
      if (i % 25 == 0) fprintf(bvadrfile, "\n");
    }
  }
  ReturnTp rc = IfuCodecOutput(e->codec, e->out, e->out_len);
  if (rc && !e->rc) e->rc = rc;
  e->out_len = 0;
}

inline void Put(Encoder *e, uint32_t code, int length) {
  e->acc = e->acc << length | code;
  e->nbits += length;
  while (e->nbits >= 8) {
    e->nbits -= 8;
    e->out[e->out_len++] = static_cast<uint8_t>(e->acc >> e->nbits);
    if (e->out_len > kOutSize - 4) Flush(e);
  }
}

void PadToByte(Encoder *e) {
  if (e->nbits) Put(e, 0, 8 - e->nbits);
}

void PutRun(Encoder *e, int32_t run, bool white) {
  const auto &make_up = white ? long_white_runs : long_black_runs;
  const auto &terminating = white ? short_white_runs : short_black_runs;
  while (run >= 2560 + 64) {
    Put(e, make_up[39].code, make_up[39].length);
    run -= 2560;
  }
  if (run >= 64) {
    const FaxCodeWordTp &c = make_up[run / 64 - 1];
    Put(e, c.code, c.length);
    run %= 64;
  }
  Put(e, terminating[run].code, terminating[run].length);
}

// The changing elements of the collected row: 1 bits are black after
// normalising the bit order and the sense. Whole bytes of the current
// colour are skipped.
int32_t FindChanges(Encoder *e, int32_t *changes) {
  const int32_t columns = e->columns;
  const uint8_t flip = e->p.black_is_one ? 0x00 : 0xFF;
  int32_t n = 0;
  int color = 0;
  for (int32_t i = 0; i < e->rowbytes; ++i) {
    uint8_t b = e->row[i];
    if (!e->p.msb_first) b = FaxSwap[b];
    b ^= flip;
    if (b == (color ? 0xFF : 0x00)) continue;
    for (int bit = 0; bit < 8; ++bit) {
      const int32_t x = i * 8 + bit;
      if (x >= columns) break;
      const int v = b >> (7 - bit) & 1;
      if (v != color) {
        changes[n++] = x;
        color = v;
      }
    }
  }
  for (int k = 0; k < 4; ++k) changes[n + k] = columns;
  return n;
}

void Encode1D(Encoder *e, const int32_t *cur, int32_t n) {
  int32_t a0 = 0;
  bool white = true;
  for (int32_t i = 0; i <= n; ++i) {
    const int32_t a1 = i < n ? cur[i] : e->columns;
    PutRun(e, a1 - a0, white);
    a0 = a1;
    white = !white;
  }
}

void Encode2D(Encoder *e, const int32_t *cur, const int32_t *ref) {
  static const FaxCodeWordTp kVertical[7] = {{0x2, 7}, {0x2, 6}, {0x2, 3}, {0x1, 1},
                                             {0x3, 3}, {0x3, 6}, {0x3, 7}};  // a1 - b1 = -3..3
  const int32_t columns = e->columns;
  int32_t a0 = 0, ia = 0, ib = 0;
  int color = 0;
  bool start = true;
  for (;;) {
    if (!start) {
      while (cur[ia] <= a0) ++ia;
      while (ref[ib] <= a0) ++ib;
    }
    start = false;
    const int32_t a1 = cur[ia];
    const int32_t jb = (ib & 1) == color ? ib : ib + 1;
    const int32_t b1 = ref[jb], b2 = ref[jb + 1];
    if (b2 < a1) {
      Put(e, 0x1, 4);  // pass
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      const FaxCodeWordTp &c = kVertical[a1 - b1 + 3];
      Put(e, c.code, c.length);
      a0 = a1;
      color ^= 1;
    } else {
      const int32_t a2 = cur[ia + 1];
      Put(e, 0x1, 3);  // horizontal
      PutRun(e, a1 - a0, color == 0);
      PutRun(e, a2 - a1, color != 0);
      a0 = a2;
    }
    if (a0 >= columns) break;
  }
}

void EncodeRow(Encoder *e) {
  const int32_t n = FindChanges(e, e->cur);
  const bool modified_huffman = e->dimension == 1 && !e->p.end_of_line;
  if (e->p.byte_align || modified_huffman) PadToByte(e);
  bool one_dimensional = e->dimension == 1;
  if (e->p.end_of_line) {
    if (e->p.pad_eol) {
      const int fill = (8 - ((e->nbits + EOL.length) & 7)) & 7;
      if (fill) Put(e, 0, fill);
    }
    Put(e, EOL.code, EOL.length);
    if (e->dimension == 2) {
      one_dimensional = e->rows_done % kG3K == 0;
      Put(e, one_dimensional ? 1 : 0, 1);
    }
  }
  if (one_dimensional)
    Encode1D(e, e->cur, n);
  else
    Encode2D(e, e->cur, e->ref);
  int32_t *swap = e->ref;
  e->ref = e->cur;
  e->cur = swap;
  e->rows_done++;
}

void Finish(Encoder *e) {
  const bool modified_huffman = e->dimension == 1 && !e->p.end_of_line;
  if (!modified_huffman) {
    if (e->p.end_of_line && e->p.pad_eol) {
      const int fill = (8 - ((e->nbits + EOL.length) & 7)) & 7;
      if (fill) Put(e, 0, fill);
    }
    Put(e, EOFB.code, EOFB.length);
    Put(e, 0, 16);
  }
  PadToByte(e);
  Flush(e);
  if (bvadrfile) fprintf(bvadrfile, ">\n");
}

void StartPostScript(const Encoder *e) {
  bvadrfile = fopen("bvadr.ps", "w");
  if (!bvadrfile) return;
  FILE *f = bvadrfile;
  fprintf(f, "\033%%-12345X@PJL ENTER LANGUAGE = POSTSCRIPT\n");
  fprintf(f, "%%!\n");
  fprintf(f, "/display  %% w h\n");
  fprintf(f, "{ /h exch def\n");
  fprintf(f, "/w exch def\n");
  fprintf(f, "/h1 h neg def\n");
  fprintf(f, "50 50 translate w 2 div h 2 div scale w h 1 [ w 0 0 h1 0 h ]\n");
  fprintf(f, "currentfile /ASCIIHexDecode filter <<\n");
  if (e->p.end_of_line) fprintf(f, "  /EndOfLine true\n");
  if (e->p.byte_align) fprintf(f, "  /EncodedByteAlign true\n");
  fprintf(f, "  /Columns w\n");
  fprintf(f, e->dimension == 1 ? "  /K 0\n" : "  /K -1\n");
  fprintf(f, ">> /CCITTFaxDecode filter image showpage\n");
  fprintf(f, "} def\n");
  fprintf(f, "%d %d display\n", static_cast<int>(e->columns), static_cast<int>(e->p.rows));
}

}  // namespace

ReturnTp FaxInitEncoder(IfuCodecTp *codec) {
  const FaxParamTp *p = static_cast<const FaxParamTp *>(codec->param);
  if (!p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int dimension = p->mode == FAX_MODE_G3_1D || p->mode == FAX_MODE_MH   ? 1
                        : p->mode == FAX_MODE_G3_2D || p->mode == FAX_MODE_G4 ? 2
                                                                              : 0;
  if (dimension == 0 || (p->end_of_line != 0 && p->end_of_line != 1) || p->columns < 1 ||
      p->columns > (1 << 24))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  Encoder *e = static_cast<Encoder *>(calloc(1, sizeof(Encoder)));
  const size_t slots = static_cast<size_t>(p->columns) + 8;
  if (e) {
    e->row = static_cast<uint8_t *>(malloc((p->columns + 7) / 8));
    e->ref = static_cast<int32_t *>(malloc(slots * sizeof(int32_t)));
    e->cur = static_cast<int32_t *>(malloc(slots * sizeof(int32_t)));
  }
  if (!e || !e->row || !e->ref || !e->cur) {
    if (e) {
      free(e->row);
      free(e->ref);
      free(e->cur);
      free(e);
    }
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  e->p = *p;
  if (p->mode == FAX_MODE_MH) e->p.end_of_line = 0;
  e->codec = codec;
  e->dimension = dimension;
  e->columns = p->columns;
  e->rowbytes = (p->columns + 7) / 8;
  for (int k = 0; k < 4; ++k) e->ref[k] = e->columns;  // an all-white row before the first
  const char *level = getenv("FAX_DEBUG");
  e->debug = level ? atoi(level) : 0;
  if (e->debug >= 1)
    fprintf(stderr,
            "Options : EOL = %d, PadEOL = %d, ByteAlign = %d, Width = %d, Height = %d, "
            "LeftToRight = %d, Dimensions = %d, BlackIsOne = %d\n",
            e->p.end_of_line, e->p.pad_eol, e->p.byte_align, e->columns, e->p.rows, e->p.msb_first,
            dimension, e->p.black_is_one);
  if (e->debug >= 2 && !bvadrfile) StartPostScript(e);
  codec->object = e;
  return 0;
}

void FaxFreeEncoder(IfuCodecTp *codec) {
  Encoder *e = Of(codec);
  if (!e) return;
  if (e->debug >= 2 && bvadrfile) {
    fclose(bvadrfile);
    bvadrfile = nullptr;
  }
  free(e->row);
  free(e->ref);
  free(e->cur);
  free(e);
  codec->object = nullptr;
}

ReturnTp FaxEncode(IfuCodecTp *codec, const uint8_t *data, int32_t length) {
  Encoder *e = Of(codec);
  if (!e) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (!data && length == 0) {
    Finish(e);
    return e->rc;
  }
  while (length > 0) {
    int32_t take = e->rowbytes - e->row_fill;
    if (take > length) take = length;
    memcpy(e->row + e->row_fill, data, take);
    e->row_fill += take;
    data += take;
    length -= take;
    if (e->row_fill == e->rowbytes) {
      EncodeRow(e);
      e->row_fill = 0;
    }
    if (e->rc) return e->rc;
  }
  return 0;
}
