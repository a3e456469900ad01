// The JPEG 2000 decoder's front: JP2 boxes, the main header and its
// marker segments, the scan for tile-parts, and the entry points
// JtkGetMainHeader and Jp2Decompress.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "imagefile.h"
#include "jtkd.h"

#define CMN_SOURCE "jtkdec"

namespace {

const char kDecompress[] = "Jp2Decompress";
const char kHeader[] = "JtkGetMainHeader";

enum : uint32_t {
  kSOC = 0xFF4F,
  kSIZ = 0xFF51,
  kCOD = 0xFF52,
  kCOC = 0xFF53,
  kTLM = 0xFF55,
  kPLM = 0xFF57,
  kPLT = 0xFF58,
  kQCD = 0xFF5C,
  kQCC = 0xFF5D,
  kRGN = 0xFF5E,
  kPOC = 0xFF5F,
  kPPM = 0xFF60,
  kPPT = 0xFF61,
  kCRG = 0xFF63,
  kCOM = 0xFF64,
  kSOT = 0xFF90,
  kSOD = 0xFF93,
  kEOC = 0xFFD9
};

// The body of one marker segment.
struct Segment {
  const uint8_t *p;
  size_t n;
  size_t pos = 0;
  bool Has(size_t k) const { return n - pos >= k; }
  uint32_t U8() { return p[pos++]; }
  uint32_t U16() {
    pos += 2;
    return IfuGetBe16(p + pos - 2);
  }
  uint32_t U32() {
    pos += 4;
    return IfuGetBe32(p + pos - 4);
  }
};

bool PowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

// Coding style parameters shared by COD and COC (levels onwards).
int32_t ReadCompCod(Segment &seg, bool precincts, JtkdCompCod &cc, bool coc) {
  if (!seg.Has(5)) return JTK_E_MARKER_SIZE;
  cc.levels = static_cast<int32_t>(seg.U8());
  const uint32_t xcb = seg.U8(), ycb = seg.U8();
  cc.style = static_cast<int32_t>(seg.U8());
  const uint32_t transform = seg.U8();
  if (cc.levels > JTKD_MAX_LEVELS) return JTK_E_MARKER_LEVELS;
  if (xcb > 8 || ycb > 8 || xcb + ycb > 8) return JTK_E_MARKER_CBLK_SIZE;
  cc.xcb = static_cast<int32_t>(xcb) + 2;
  cc.ycb = static_cast<int32_t>(ycb) + 2;
  if (cc.style & 0xC0) return JTK_E_MARKER_CBLK_STYLE;
  if (transform > 1) return coc ? JTK_E_MARKER_COC_WAVELET : JTK_E_WAVELET_FILTER;
  cc.reversible = static_cast<int32_t>(transform);
  for (int32_t r = 0; r <= cc.levels; ++r) {
    if (!precincts) {
      cc.pp[r] = 0xFF;
      continue;
    }
    if (!seg.Has(1)) return JTK_E_MARKER_SIZE;
    cc.pp[r] = static_cast<uint8_t>(seg.U8());
    if (r > 0 && ((cc.pp[r] & 15) == 0 || (cc.pp[r] >> 4) == 0)) return JTK_E_MARKER_PRECINCT;
  }
  return 0;
}

int32_t ReadComponentIndex(Segment &seg, const JtkdStream &s, int32_t *c) {
  const size_t size = s.components < 257 ? 1 : 2;
  if (!seg.Has(size)) return JTK_E_MARKER_SIZE;
  *c = static_cast<int32_t>(size == 1 ? seg.U8() : seg.U16());
  return 0;
}

int32_t ReadQuant(Segment &seg, JtkdQuant &q) {
  if (!seg.Has(1)) return JTK_E_MARKER_SIZE;
  const uint32_t sq = seg.U8();
  q.style = static_cast<int32_t>(sq & 0x1F);
  q.guard = static_cast<int32_t>(sq >> 5);
  if (q.style > 2) return JTK_E_MARKER_QUANT_STYLE;
  const size_t rest = seg.n - seg.pos;
  size_t count = q.style == 0 ? rest : rest / 2;
  if (q.style == 1) count = std::min<size_t>(count, 1);
  if (count == 0 || count > JTKD_MAX_BANDS) return JTK_E_MARKER_SIZE;
  q.count = static_cast<int32_t>(count);
  for (size_t b = 0; b < count; ++b) {
    if (q.style == 0) {
      q.eps[b] = static_cast<uint8_t>(seg.U8() >> 3);
      q.mu[b] = 0;
    } else {
      const uint32_t v = seg.U16();
      q.eps[b] = static_cast<uint8_t>(v >> 11);
      q.mu[b] = static_cast<uint16_t>(v & 0x7FF);
    }
  }
  return 0;
}

int32_t ReadPoc(Segment &seg, const JtkdStream &s, std::vector<JtkdPoc> &list) {
  const size_t csize = s.components < 257 ? 1 : 2;
  const size_t entry = 5 + 2 * csize;
  if (seg.n % entry) return JTK_E_MARKER_SIZE;
  while (seg.Has(entry)) {
    JtkdPoc p;
    p.rs = static_cast<int32_t>(seg.U8());
    p.cs = static_cast<int32_t>(csize == 1 ? seg.U8() : seg.U16());
    p.lye = static_cast<int32_t>(seg.U16());
    p.re = static_cast<int32_t>(seg.U8());
    p.ce = static_cast<int32_t>(csize == 1 ? seg.U8() : seg.U16());
    p.progression = static_cast<int32_t>(seg.U8());
    if (p.ce == 0) p.ce = csize == 1 ? 256 : 16384;
    if (p.rs > JTKD_MAX_LEVELS) return JTK_E_MARKER_POC_RS;
    if (p.cs >= s.components) return JTK_E_MARKER_POC_CS;
    if (p.re <= p.rs || p.re > JTKD_MAX_LEVELS + 1) return JTK_E_MARKER_POC_RE;
    if (p.ce <= p.cs) return JTK_E_MARKER_POC_CE;
    p.ce = std::min(p.ce, s.components);
    if (p.progression > 4) return JTK_E_MARKER_PROGRESSION;
    list.push_back(p);
  }
  return 0;
}

// The segments that may appear in both the main and the tile-part headers.
int32_t ReadCodingMarker(uint32_t marker, Segment &seg, const JtkdStream &s, JtkdScope &scope) {
  int32_t c = 0;
  switch (marker) {
    case kCOD: {
      if (!seg.Has(5)) return JTK_E_MARKER_SIZE;
      JtkdCod cod;
      cod.scod = static_cast<int32_t>(seg.U8());
      cod.progression = static_cast<int32_t>(seg.U8());
      cod.layers = static_cast<int32_t>(seg.U16());
      cod.mct = static_cast<int32_t>(seg.U8());
      if (cod.progression > 4) return JTK_E_MARKER_PROGRESSION;
      if (cod.layers == 0) return JTK_E_MARKER_LAYERS;
      JTKD_TRY(ReadCompCod(seg, cod.scod & 1, cod.comp, false));
      scope.cod = cod;
      scope.has_cod = true;
      return 0;
    }
    case kCOC: {
      JTKD_TRY(ReadComponentIndex(seg, s, &c));
      if (c >= s.components || !seg.Has(1)) return JTK_E_MARKER_COC_STYLE;
      const uint32_t scoc = seg.U8();
      if (scoc > 1) return JTK_E_MARKER_COC_STYLE;
      JtkdCompCod cc;
      JTKD_TRY(ReadCompCod(seg, scoc & 1, cc, true));
      scope.coc[c] = cc;
      return 0;
    }
    case kQCD:
      JTKD_TRY(ReadQuant(seg, scope.qcd));
      scope.has_qcd = true;
      return 0;
    case kQCC: {
      JTKD_TRY(ReadComponentIndex(seg, s, &c));
      if (c >= s.components) return JTK_E_MARKER_QUANT_STYLE;
      JtkdQuant q;
      JTKD_TRY(ReadQuant(seg, q));
      scope.qcc[c] = q;
      return 0;
    }
    case kRGN: {
      JTKD_TRY(ReadComponentIndex(seg, s, &c));
      if (!seg.Has(2)) return JTK_E_MARKER_SIZE;
      const uint32_t style = seg.U8(), shift = seg.U8();
      if (style != 0 || c >= s.components) return JTK_E_MARKER_ROI_STYLE;
      scope.roi[c] = static_cast<int32_t>(shift);
      return 0;
    }
    case kPOC:
      return ReadPoc(seg, s, scope.poc);
    default:
      return 1;  // not a coding marker
  }
}

int32_t ReadSiz(Segment &seg, JtkdStream &s) {
  if (!seg.Has(36)) return JTK_E_MARKER_SIZE;
  s.rsiz = static_cast<int32_t>(seg.U16());
  const uint32_t xsiz = seg.U32(), ysiz = seg.U32(), xo = seg.U32(), yo = seg.U32();
  const uint32_t xt = seg.U32(), yt = seg.U32(), xto = seg.U32(), yto = seg.U32();
  const uint32_t csiz = seg.U16();
  // Extensions beyond the first part of the standard (bit 15) and the
  // high-throughput block coder (bit 14) code data differently.
  if (s.rsiz & 0xC000) return JTK_E_MARKER_CAPABILITY;
  if (csiz == 0 || csiz > JTK_MAX_COMPONENTS) return JTK_E_MARKER_COMPONENTS;
  if (seg.n != 36 + 3 * size_t(csiz)) return JTK_E_MARKER_SIZE;
  if (xsiz == 0 || ysiz == 0) return JTK_E_MARKER_IMAGE_SIZE;
  if (xo >= xsiz || yo >= ysiz)
    return xo == 0 && yo == 0 ? JTK_E_MARKER_IMAGE_SIZE : JTK_E_MARKER_IMAGE_OFFSET;
  if (xt == 0 || yt == 0) return JTK_E_MARKER_TILE_SIZE;
  if (xto > xo || yto > yo || uint64_t(xto) + xt <= xo || uint64_t(yto) + yt <= yo)
    return JTK_E_MARKER_TILE_OFFSET;
  s.x0 = xo;
  s.y0 = yo;
  s.x1 = xsiz;
  s.y1 = ysiz;
  s.tw = xt;
  s.th = yt;
  s.tx0 = xto;
  s.ty0 = yto;
  const int64_t ntx = JtkdCeilDiv(s.x1 - s.tx0, s.tw), nty = JtkdCeilDiv(s.y1 - s.ty0, s.th);
  // Tile numbers are 16-bit in SOT.
  if (ntx * nty > 65535) return JTK_E_MARKER_TILE_SIZE;
  s.tiles_x = static_cast<int32_t>(ntx);
  s.tiles_y = static_cast<int32_t>(nty);
  s.components = static_cast<int32_t>(csiz);
  s.precision.resize(csiz);
  s.is_signed.resize(csiz);
  s.dx.resize(csiz);
  s.dy.resize(csiz);
  for (uint32_t c = 0; c < csiz; ++c) {
    const uint32_t ssiz = seg.U8(), xr = seg.U8(), yr = seg.U8();
    // Samples of up to 16 bits: the planes and the bit-plane limits are
    // made for them. Each component has its own precision and sampling.
    if ((ssiz & 0x7F) > 15) return JTK_E_MARKER_DEPTH;
    if (!PowerOfTwo(xr) || !PowerOfTwo(yr)) return JTK_E_MARKER_SEPARATION;
    s.precision[c] = static_cast<int32_t>((ssiz & 0x7F) + 1);
    s.is_signed[c] = (ssiz & 0x80) ? 1 : 0;
    s.dx[c] = static_cast<int32_t>(xr);
    s.dy[c] = static_cast<int32_t>(yr);
  }
  s.tiles.resize(static_cast<size_t>(ntx * nty));
  return 0;
}

// Reads the marker at pos: its code and the segment behind it.
int32_t NextMarker(const JtkdStream &s, size_t *pos, uint32_t *marker, Segment *seg) {
  if (s.length - *pos < 2) return JTK_E_MARKER_SHORT;
  *marker = IfuGetBe16(s.data + *pos);
  *pos += 2;
  if (*marker < 0xFF30) return JTK_E_MARKER_CODE;
  *seg = Segment{s.data + *pos, 0};
  // Delimiting markers carry no segment.
  if (*marker == kSOC || *marker == kSOD || *marker == kEOC ||
      (*marker >= 0xFF30 && *marker <= 0xFF3F))
    return 0;
  if (s.length - *pos < 2) return JTK_E_MARKER_SHORT;
  const size_t length = IfuGetBe16(s.data + *pos);
  if (length < 2 || length > s.length - *pos) return JTK_E_MARKER_SIZE;
  *seg = Segment{s.data + *pos + 2, length - 2};
  *pos += length;
  return 0;
}

// Splits the packed packet headers of the main header into one chunk per
// tile-part.
int32_t SplitPpm(const std::vector<uint8_t> &all, JtkdStream &s) {
  size_t pos = 0;
  while (pos < all.size()) {
    if (all.size() - pos < 4) return JTK_E_MARKER_SHORT;
    const size_t n = IfuGetBe32(all.data() + pos);
    pos += 4;
    if (n > all.size() - pos) return JTK_E_MARKER_SHORT;
    s.ppm_chunks.emplace_back(all.begin() + static_cast<ptrdiff_t>(pos),
                              all.begin() + static_cast<ptrdiff_t>(pos + n));
    pos += n;
  }
  return 0;
}

// The main header up to the first SOT.
int32_t ParseMainHeader(JtkdStream &s) {
  size_t pos = 0;
  uint32_t marker = 0;
  Segment seg{nullptr, 0};
  if (s.length < 2 || IfuGetBe16(s.data) != kSOC) return JTK_E_MARKER_CODE;
  pos = 2;
  JTKD_TRY(NextMarker(s, &pos, &marker, &seg));
  if (marker != kSIZ) return JTK_E_MARKER_CODE;
  JTKD_TRY(ReadSiz(seg, s));
  std::vector<uint8_t> ppm;
  for (;;) {
    const size_t at = pos;
    JTKD_TRY(NextMarker(s, &pos, &marker, &seg));
    if (marker == kSOT) {
      s.main_end = at;
      break;
    }
    if (marker == kEOC || marker == kSOD || marker == kSOC || marker == kSIZ)
      return JTK_E_MARKER_CODE;
    const int32_t rc = ReadCodingMarker(marker, seg, s, s.main);
    if (rc < 0) return rc;
    if (rc == 0) continue;
    if (marker == kPPM) {
      if (seg.n < 1) return JTK_E_MARKER_SIZE;
      ppm.insert(ppm.end(), seg.p + 1, seg.p + seg.n);
      s.has_ppm = true;
    }
    // TLM, PLM, CRG, COM and anything unknown are not needed to decode.
  }
  if (!s.main.has_cod || !s.main.has_qcd) return JTK_E_PACKET_NO_MARKER;
  if (s.has_ppm) JTKD_TRY(SplitPpm(ppm, s));
  return 0;
}

// Finds every tile-part; the codestream must end with EOC.
int32_t ScanTileParts(JtkdStream &s) {
  size_t pos = s.main_end;
  int32_t index = 0;
  for (;;) {
    if (s.length - pos < 2) return JTK_E_MARKER_NO_EOC;
    const uint32_t marker = IfuGetBe16(s.data + pos);
    if (marker == kEOC) return 0;
    if (marker != kSOT) return JTK_E_MARKER_NO_EOC;
    const size_t start = pos;
    uint32_t m = 0;
    Segment seg{nullptr, 0};
    JTKD_TRY(NextMarker(s, &pos, &m, &seg));
    if (seg.n != 8) return JTK_E_MARKER_SIZE;
    const uint32_t isot = seg.U16(), psot = seg.U32(), tpsot = seg.U8(), tnsot = seg.U8();
    if (isot >= s.tiles.size()) return JTK_E_PACKET_TILE_NUMBER;
    auto &parts = s.tiles[isot];
    if (tnsot != 0 && tpsot >= tnsot) return JTK_E_MARKER_TILE_PART;
    if (tpsot != parts.size()) return JTK_E_MARKER_TPSOT;
    size_t end = 0;
    if (psot == 0) {
      // The last tile-part runs up to the EOC at the end.
      if (s.length - start < 14 || IfuGetBe16(s.data + s.length - 2) != kEOC)
        return JTK_E_MARKER_NO_EOC;
      end = s.length - 2;
    } else {
      if (psot < 14) return JTK_E_MARKER_PSOT;
      if (psot > s.length - start) return JTK_E_MARKER_PSOT;
      end = start + psot;
    }
    // The header's markers are read when the tile is decoded; here only
    // SOD is looked for.
    size_t hp = pos;
    for (;;) {
      uint32_t hm = 0;
      Segment hs{nullptr, 0};
      JTKD_TRY(NextMarker(s, &hp, &hm, &hs));
      if (hp > end) return JTK_E_MARKER_PSOT;
      if (hm == kSOD) break;
      if (hm == kSOT || hm == kEOC || hm == kSOC) return JTK_E_MARKER_CODE;
    }
    parts.push_back(JtkdTilePart{pos, hp, end, index++});
    pos = end;
    if (parts.size() > 255) return JTK_E_MARKER_TPSOT;
  }
}

// ---- JP2 boxes ------------------------------------------------------------

struct Box {
  uint32_t type;
  size_t body, end;
};

// The box at pos within [pos, limit).
int32_t ReadBox(const uint8_t *d, size_t pos, size_t limit, Box *box) {
  if (limit - pos < 8) return JTK_E_FILE_READ;
  uint64_t length = IfuGetBe32(d + pos);
  box->type = IfuGetBe32(d + pos + 4);
  size_t header = 8;
  if (length == 1) {
    if (limit - pos < 16) return JTK_E_FILE_READ;
    length = (uint64_t(IfuGetBe32(d + pos + 8)) << 32) | IfuGetBe32(d + pos + 12);
    header = 16;
    if (length < 16 || length > limit - pos) return JTK_E_FILE_XL_BOX;
  } else if (length == 0) {
    length = limit - pos;
  } else if (length < 8) {
    return JTK_E_FILE_LBOX_RESERVED;
  }
  if (length > limit - pos) return JTK_E_FILE_BOX_LENGTH;
  box->body = pos + header;
  box->end = pos + static_cast<size_t>(length);
  return 0;
}

const uint32_t kBoxSignature = 0x6A502020, kBoxFtyp = 0x66747970, kBoxJp2h = 0x6A703268,
               kBoxIhdr = 0x69686472, kBoxColr = 0x636F6C72, kBoxJp2c = 0x6A703263,
               kBoxUinf = 0x75696E66, kBoxUlst = 0x756C7374, kBoxUrl = 0x75726C20,
               kBoxPclr = 0x70636C72, kBoxCmap = 0x636D6170, kBoxCdef = 0x63646566;

// The palette: its entries are read only as far as the box holds them.
int32_t ReadPalette(const uint8_t *d, const Box &box, JtkdJp2 &jp2) {
  const size_t n = box.end - box.body;
  if (n < 3) return JTK_E_FILE_PALETTE;
  const uint8_t *p = d + box.body;
  const int32_t entries = static_cast<int32_t>(IfuGetBe16(p)), columns = p[2];
  if (entries < 1 || entries > 1024 || columns < 1) return JTK_E_FILE_PALETTE;
  if (n < 3 + size_t(columns)) return JTK_E_FILE_PALETTE;
  size_t row = 0;
  for (int32_t c = 0; c < columns; ++c) {
    const int32_t precision = (p[3 + c] & 0x7F) + 1;
    if (precision > 16) return JTK_E_FILE_PALETTE_DEPTH;
    jp2.column_precision.push_back(precision);
    jp2.column_signed.push_back(p[3 + c] >> 7);
    row += precision > 8 ? 2 : 1;
  }
  size_t at = 3 + size_t(columns);
  if ((n - at) / row < size_t(entries)) return JTK_E_FILE_PALETTE;
  jp2.values.resize(size_t(entries) * size_t(columns));
  for (size_t i = 0; i < jp2.values.size(); ++i) {
    const int32_t c = static_cast<int32_t>(i % size_t(columns));
    const int32_t precision = jp2.column_precision[size_t(c)];
    uint32_t v = precision > 8 ? IfuGetBe16(p + at) : p[at];
    at += precision > 8 ? 2 : 1;
    v &= (1u << precision) - 1;
    // Signed values come back with their sign.
    if (jp2.column_signed[size_t(c)] && (v >> (precision - 1)))
      jp2.values[i] = static_cast<int32_t>(v) - (1 << precision);
    else
      jp2.values[i] = static_cast<int32_t>(v);
  }
  jp2.entries = entries;
  jp2.columns = columns;
  return 0;
}

int32_t ReadComponentMap(const uint8_t *d, const Box &box, JtkdJp2 &jp2) {
  const size_t n = box.end - box.body;
  if (n == 0 || n % 4 || n / 4 > JTK_MAX_COMPONENTS) return JTK_E_FILE_COMPONENT_MAP;
  for (size_t at = box.body; at < box.end; at += 4) {
    const uint32_t type = d[at + 2];
    if (type > 1) return JTK_E_FILE_COMPONENT_MAP;
    jp2.map.push_back(JtkdJp2::Map{static_cast<int32_t>(IfuGetBe16(d + at)),
                                   static_cast<int32_t>(type), static_cast<int32_t>(d[at + 3])});
  }
  return 0;
}

int32_t ReadChannelDefinitions(const uint8_t *d, const Box &box, JtkdJp2 &jp2) {
  const size_t n = box.end - box.body;
  if (n < 2 || (n - 2) / 6 < IfuGetBe16(d + box.body)) return JTK_E_FILE_CHANNEL_DEF;
  const size_t count = IfuGetBe16(d + box.body);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t *e = d + box.body + 2 + 6 * i;
    jp2.defs.push_back(JtkdJp2::Def{static_cast<int32_t>(IfuGetBe16(e)),
                                    static_cast<int32_t>(IfuGetBe16(e + 2)),
                                    static_cast<int32_t>(IfuGetBe16(e + 4))});
  }
  return 0;
}

// The codestream inside the JP2 boxes.
int32_t ParseBoxes(const uint8_t *d, size_t n, size_t *cs, size_t *cs_len, JtkdJp2 &jp2) {
  static const uint8_t kSignature[12] = {0,    0,    0,    12,   0x6A, 0x50,
                                         0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
  if (n < 12 || memcmp(d, kSignature, 12) != 0) return JTK_E_FILE_POINTER;
  size_t pos = 12;
  Box box{};
  JTKD_TRY(ReadBox(d, pos, n, &box));
  if (box.type != kBoxFtyp || box.end - box.body < 8) return JTK_E_FILE_BOX_TYPE;
  pos = box.end;
  bool header = false;
  while (pos < n) {
    JTKD_TRY(ReadBox(d, pos, n, &box));
    if (box.type == kBoxJp2h) {
      size_t p = box.body;
      bool first = true;
      while (p < box.end) {
        Box child{};
        JTKD_TRY(ReadBox(d, p, box.end, &child));
        if (first && (child.type != kBoxIhdr || child.end - child.body != 14))
          return JTK_E_FILE_BOX_TYPE;
        if (child.type == kBoxColr) {
          if (child.end - child.body < 3) return JTK_E_FILE_COLR_METHOD;
          const uint8_t meth = d[child.body];
          if (meth < 1 || meth > 2) return JTK_E_FILE_COLR_METHOD;
          // The first colour box counts; an enumerated space is four bytes.
          if (meth == 1 && jp2.color_space == 0 && child.end - child.body >= 7)
            jp2.color_space = static_cast<int32_t>(IfuGetBe32(d + child.body + 3));
        } else if (child.type == kBoxPclr && jp2.columns == 0) {
          JTKD_TRY(ReadPalette(d, child, jp2));
        } else if (child.type == kBoxCmap && jp2.map.empty()) {
          JTKD_TRY(ReadComponentMap(d, child, jp2));
        } else if (child.type == kBoxCdef && jp2.defs.empty()) {
          JTKD_TRY(ReadChannelDefinitions(d, child, jp2));
        }
        first = false;
        p = child.end;
      }
      if (first) return JTK_E_FILE_BOX_TYPE;
      header = true;
    } else if (box.type == kBoxUinf) {
      size_t p = box.body;
      while (p < box.end) {
        Box child{};
        JTKD_TRY(ReadBox(d, p, box.end, &child));
        if (child.type != kBoxUlst && child.type != kBoxUrl) return JTK_E_FILE_UUID_INFO;
        p = child.end;
      }
    } else if (box.type == kBoxJp2c) {
      if (!header) return JTK_E_FILE_BOX_TYPE;
      *cs = box.body;
      *cs_len = box.end - box.body;
      return 0;
    } else if (box.type == kBoxSignature || box.type == kBoxFtyp) {
      return JTK_E_FILE_BOX_TYPE;
    }
    pos = box.end;
  }
  return JTK_E_FILE_BOX_TYPE;
}

// The component mapping and channel definitions name components and
// palette columns that exist.
int32_t CheckChannels(const JtkdStream &s) {
  const JtkdJp2 &jp2 = s.jp2;
  if (jp2.columns > 0 && jp2.map.empty()) return JTK_E_FILE_COMPONENT_MAP;
  for (const JtkdJp2::Map &m : jp2.map)
    if (m.component >= s.components || (m.through_palette && m.column >= jp2.columns))
      return JTK_E_FILE_COMPONENT_MAP;
  const size_t channels = jp2.map.empty() ? size_t(s.components) : jp2.map.size();
  for (const JtkdJp2::Def &def : jp2.defs)
    if (size_t(def.channel) >= channels) return JTK_E_FILE_CHANNEL_DEF;
  return 0;
}

int32_t OpenStream(const uint8_t *data, size_t length, int32_t jp2, JtkdStream &s) {
  size_t start = 0, n = length;
  if (jp2) JTKD_TRY(ParseBoxes(data, length, &start, &n, s.jp2));
  s.data = data + start;
  s.length = n;
  JTKD_TRY(ParseMainHeader(s));
  return CheckChannels(s);
}

// The order in which the picture's channels are handed out: colour
// channels by their association, then channels without a meaning, the
// opacity last. Without definitions, two and four channels end in
// opacity (grey or RGB with alpha, as writers make them).
void ChannelOrder(const JtkdStream &s, std::vector<int32_t> *order, int32_t *alpha) {
  const JtkdJp2 &jp2 = s.jp2;
  const int32_t channels = jp2.map.empty() ? s.components : static_cast<int32_t>(jp2.map.size());
  order->clear();
  *alpha = 0;
  if (jp2.defs.empty()) {
    for (int32_t c = 0; c < channels; ++c) order->push_back(c);
    *alpha = channels == 2 || channels == 4;
    return;
  }
  std::vector<std::pair<int32_t, int32_t>> colour;  // association, channel
  std::vector<int32_t> other;
  int32_t opacity = -1;
  std::vector<bool> defined(size_t(channels), false);
  for (const JtkdJp2::Def &def : jp2.defs) {
    if (defined[size_t(def.channel)]) continue;
    defined[size_t(def.channel)] = true;
    if (def.type == 0 && def.association > 0)
      colour.emplace_back(def.association, def.channel);
    else if ((def.type == 1 || def.type == 2) && opacity < 0)
      opacity = def.channel;
    else
      other.push_back(def.channel);
  }
  for (int32_t c = 0; c < channels; ++c)
    if (!defined[size_t(c)]) other.push_back(c);
  std::stable_sort(colour.begin(), colour.end());
  for (const auto &entry : colour) order->push_back(entry.second);
  std::sort(other.begin(), other.end());
  order->insert(order->end(), other.begin(), other.end());
  if (opacity >= 0) {
    order->push_back(opacity);
    *alpha = 1;
  }
}

void FillHeader(const JtkdStream &s, int32_t jp2, JtkHeaderTp *h) {
  memset(h, 0, sizeof *h);
  h->jp2 = jp2 ? 1 : 0;
  h->x0 = static_cast<int32_t>(std::min<int64_t>(s.x0, INT32_MAX));
  h->y0 = static_cast<int32_t>(std::min<int64_t>(s.y0, INT32_MAX));
  h->x1 = static_cast<int32_t>(std::min<int64_t>(s.x1, INT32_MAX));
  h->y1 = static_cast<int32_t>(std::min<int64_t>(s.y1, INT32_MAX));
  h->tile_w = static_cast<int32_t>(std::min<int64_t>(s.tw, INT32_MAX));
  h->tile_h = static_cast<int32_t>(std::min<int64_t>(s.th, INT32_MAX));
  h->tile_x0 = static_cast<int32_t>(std::min<int64_t>(s.tx0, INT32_MAX));
  h->tile_y0 = static_cast<int32_t>(std::min<int64_t>(s.ty0, INT32_MAX));
  h->tiles_x = s.tiles_x;
  h->tiles_y = s.tiles_y;
  h->components = s.components;
  for (int32_t c = 0; c < s.components && c < 4; ++c) {
    h->precision[c] = s.precision[c];
    h->is_signed[c] = s.is_signed[c];
    h->dx[c] = s.dx[c];
    h->dy[c] = s.dy[c];
  }
  const JtkdCod &cod = s.main.cod;
  const JtkdCompCod &c0 = s.main.coc.count(0) ? s.main.coc.at(0) : cod.comp;
  // The levels every component has: a component coding style may have
  // fewer than the default, and no resolution beyond them can be asked for.
  h->levels = cod.comp.levels;
  for (const auto &entry : s.main.coc) h->levels = std::min(h->levels, entry.second.levels);
  h->layers = cod.layers;
  h->progression = cod.progression;
  h->cblk_w = 1 << cod.comp.xcb;
  h->cblk_h = 1 << cod.comp.ycb;
  h->reversible = c0.reversible;
  h->mct = s.components >= 3 ? cod.mct : 0;
  std::vector<int32_t> order;
  ChannelOrder(s, &order, &h->alpha);
  h->channels = static_cast<int32_t>(order.size());
  h->color_space = s.jp2.color_space;
  h->palette = s.jp2.entries;
}

// Pictures are bounded by the compressed size before anything is
// allocated: coding can hardly reach a ratio of 8192 samples per byte
// (one bit per 65536 samples), and 16 million samples are always
// allowed, so small files of plain pictures still open. The rows a
// decoder holds follow the width: they are bounded too, so that a short
// file cannot claim rows of millions of samples.
const int64_t kFreeSamples = int64_t(1) << 24;
const int64_t kSamplesPerByte = 8192;
const int64_t kFreeRowBytes = int64_t(256) << 20;
const int64_t kRowBytesPerByte = 64;

// The size of component c's plane at the resolution kept.
void ComponentSize(const JtkdStream &s, size_t c, int32_t reduce, int64_t *w, int64_t *h) {
  *w = JtkdCeilShift(JtkdCeilDiv(s.x1, s.dx[c]), reduce) -
       JtkdCeilShift(JtkdCeilDiv(s.x0, s.dx[c]), reduce);
  *h = JtkdCeilShift(JtkdCeilDiv(s.y1, s.dy[c]), reduce) -
       JtkdCeilShift(JtkdCeilDiv(s.y0, s.dy[c]), reduce);
}

// The bytes of rows a decoder holds for a row of tiles, at most: per
// level of each component a window of rows and two rows of code-blocks
// of its width.
int64_t RowBytes(const JtkdStream &s, int32_t reduce) {
  int64_t total = 0;
  for (size_t c = 0; c < size_t(s.components); ++c) {
    const JtkdCompCod &cod =
        s.main.coc.count(int32_t(c)) ? s.main.coc.at(int32_t(c)) : s.main.cod.comp;
    int64_t w = 0, h = 0;
    ComponentSize(s, c, reduce, &w, &h);
    const int64_t rows = 3 * 24 + 2 * (int64_t(1) << cod.ycb);
    for (int32_t r = 0; r <= cod.levels - reduce && r <= 40; ++r)
      total += JtkdCeilShift(w, r) * std::min(JtkdCeilShift(h, r), rows) * 4;
  }
  return total;
}

// A tile of the row of tiles being read, with the rows its components
// made last (after the component transform, shifted and clipped).
struct OpenTile {
  std::unique_ptr<JtkdTile> tile;
  std::vector<JtkdLines *> lines;
  bool mct = false;
  std::vector<std::vector<int32_t>> rows;
  std::vector<int32_t> row_at;  // which row each holds (-1: none)
  OpenTile() = default;
  OpenTile(const OpenTile &) = delete;
  OpenTile &operator=(const OpenTile &) = delete;
  ~OpenTile() {
    for (JtkdLines *l : lines) JtkdFreeLines(l);
  }
};

}  // namespace

struct JtkDecoderTp {
  JtkdStream s;
  JtkParamTp param{};
  JtkImageTp image{};             // the channels' geometry, without planes
  std::vector<JtkdJp2::Map> map;  // per channel: its component or palette column
  // Per component: its last row, and which (-1: none).
  std::vector<std::vector<int32_t>> comp_rows;
  std::vector<int64_t> comp_row_at;
  // Per channel through the palette: its last row.
  std::vector<std::vector<int32_t>> chan_rows;
  std::vector<int64_t> chan_row_at;
  int32_t tile_row = -1;
  std::vector<std::unique_ptr<OpenTile>> tiles;
  JtkdT1Work work;
  JtkDecoderTp() = default;
  JtkDecoderTp(const JtkDecoderTp &) = delete;
  JtkDecoderTp &operator=(const JtkDecoderTp &) = delete;
  ~JtkDecoderTp() { free(image.comp); }
};

namespace {

int32_t OpenDecoder(const JtkParamTp *param_in, const uint8_t *data, size_t length,
                    JtkDecoderTp &d) {
  if (param_in) d.param = *param_in;
  JtkdStream &s = d.s;
  JTKD_TRY(OpenStream(data, length, d.param.jp2, s));
  JTKD_TRY(ScanTileParts(s));
  // Resolution levels left out: at most what every component has in the
  // main header.
  int32_t min_levels = s.main.cod.comp.levels;
  for (const auto &entry : s.main.coc) min_levels = std::min(min_levels, entry.second.levels);
  const int32_t reduce = std::max(0, std::min(d.param.reduce, min_levels));
  d.param.reduce = reduce;
  int64_t w = 0, h = 0;
  ComponentSize(s, 0, reduce, &w, &h);
  if (w < 1 || h < 1) return JTK_E_MARKER_IMAGE_SIZE;
  // The samples of the full size (the tiles' structures are built for
  // every resolution whatever is left out) are bounded for every
  // component and every channel a palette makes.
  const int64_t allowed = std::max(kFreeSamples, int64_t(length) * kSamplesPerByte);
  int64_t samples = 0, largest = 0;
  for (size_t c = 0; c < size_t(s.components); ++c) {
    int64_t fw = 0, fh = 0;
    ComponentSize(s, c, 0, &fw, &fh);
    if (fw > allowed || fh > allowed) return JTK_E_MARKER_IMAGE_SIZE;
    samples += fw * fh;
    largest = std::max(largest, fw * fh);
    if (samples > allowed) return JTK_E_MARKER_IMAGE_SIZE;
  }
  if (!s.jp2.map.empty() && largest > (allowed - samples) / int64_t(s.jp2.map.size()))
    return JTK_E_MARKER_IMAGE_SIZE;
  if (RowBytes(s, reduce) > std::max(kFreeRowBytes, int64_t(length) * kRowBytesPerByte))
    return JTK_E_MARKER_IMAGE_SIZE;
  if (w > INT32_MAX || h > INT32_MAX) return JTK_E_MARKER_IMAGE_SIZE;
  // The channels: in the order of the channel definitions, palette
  // columns looked up by their component.
  std::vector<int32_t> order;
  int32_t alpha = 0;
  ChannelOrder(s, &order, &alpha);
  const size_t n = order.size();
  d.image.comp = static_cast<JtkComponentTp *>(calloc(n, sizeof(JtkComponentTp)));
  if (!d.image.comp) return JTK_E_MEMORY;
  d.image.width = static_cast<int32_t>(w);
  d.image.height = static_cast<int32_t>(h);
  d.image.components = static_cast<int32_t>(n);
  d.image.alpha = alpha;
  d.image.color_space = s.jp2.color_space;
  for (size_t i = 0; i < n; ++i) {
    const int32_t channel = order[i];
    const JtkdJp2::Map m =
        s.jp2.map.empty() ? JtkdJp2::Map{channel, 0, 0} : s.jp2.map[size_t(channel)];
    d.map.push_back(m);
    const size_t c = size_t(m.component);
    JtkComponentTp &comp = d.image.comp[i];
    comp.precision = m.through_palette ? s.jp2.column_precision[size_t(m.column)] : s.precision[c];
    comp.is_signed = m.through_palette ? s.jp2.column_signed[size_t(m.column)] : s.is_signed[c];
    comp.dx = s.dx[c];
    comp.dy = s.dy[c];
    int64_t cw = 0, ch = 0;
    ComponentSize(s, c, reduce, &cw, &ch);
    comp.x0 = static_cast<int32_t>(JtkdCeilShift(JtkdCeilDiv(s.x0, s.dx[c]), reduce));
    comp.y0 = static_cast<int32_t>(JtkdCeilShift(JtkdCeilDiv(s.y0, s.dy[c]), reduce));
    // A component may have no sample at all at a reduced size.
    comp.width = static_cast<int32_t>(std::max<int64_t>(cw, 1));
    comp.height = static_cast<int32_t>(std::max<int64_t>(ch, 1));
  }
  d.comp_rows.resize(size_t(s.components));
  d.comp_row_at.assign(size_t(s.components), -1);
  d.chan_rows.resize(n);
  d.chan_row_at.assign(n, -1);
  return 0;
}

// The first row of component c that tile row q holds, at the size kept.
int64_t TileRowStart(const JtkdStream &s, int32_t q, size_t c, int32_t reduce) {
  const int64_t y = std::max(s.ty0 + int64_t(q) * s.th, s.y0);
  return JtkdCeilShift(JtkdCeilDiv(y, s.dy[c]), reduce);
}

int32_t LoadTileRow(JtkDecoderTp &d, int32_t q) {
  const JtkdStream &s = d.s;
  d.tiles.clear();
  d.tile_row = -1;
  const size_t ncomp = size_t(s.components);
  for (int32_t p = 0; p < s.tiles_x; ++p) {
    std::unique_ptr<OpenTile> ot(new OpenTile());
    ot->tile.reset(new JtkdTile(ncomp));
    const int32_t rc = JtkdReadTile(s, q * s.tiles_x + p, d.param, *ot->tile);
    if (rc < 0) return rc;
    if (rc > 0) continue;  // no area
    JtkdTile &tile = *ot->tile;
    for (JtkdTileComp &tc : tile.comps) {
      ot->lines.push_back(JtkdNewLines(tc, d.work));
      if (!ot->lines.back()) return JTK_E_MEMORY;
    }
    ot->mct = tile.cod.mct && ncomp >= 3;
    for (size_t c = 1; c < 3 && ot->mct; ++c) {
      const JtkdRes &a = tile.comps[0].res[size_t(tile.comps[0].kept)];
      const JtkdRes &b = tile.comps[c].res[size_t(tile.comps[c].kept)];
      if (a.x1 - a.x0 != b.x1 - b.x0 || a.y1 - a.y0 != b.y1 - b.y0 ||
          tile.comps[c].cod.reversible != tile.comps[0].cod.reversible)
        ot->mct = false;
    }
    ot->rows.resize(ncomp);
    ot->row_at.assign(ncomp, -1);
    d.tiles.push_back(std::move(ot));
  }
  d.tile_row = q;
  return 0;
}

// Component c's samples of one row of the tile: shifted and clipped to
// its precision (floats clipped, then rounded half up).
void Finish(const JtkdStream &s, size_t c, const int32_t *ints, const float *floats, int32_t w,
            int32_t *dst) {
  const int32_t prec = s.precision[c];
  const int32_t lo = s.is_signed[c] ? -(1 << (prec - 1)) : 0;
  const int32_t hi = s.is_signed[c] ? (1 << (prec - 1)) - 1 : (1 << prec) - 1;
  const int32_t shift = s.is_signed[c] ? 0 : 1 << (prec - 1);
  if (ints) {
    for (int32_t x = 0; x < w; ++x) dst[x] = std::min(hi, std::max(lo, ints[x] + shift));
    return;
  }
  // v - lo + 0.5 is positive, so truncation is the floor.
  const float fshift = static_cast<float>(shift);
  const float flo = static_cast<float>(lo) - 0.49f, fhi = static_cast<float>(hi) + 0.49f;
  const float bias = 0.5f - static_cast<float>(lo);
  for (int32_t x = 0; x < w; ++x) {
    const float v = std::min(fhi, std::max(flo, floats[x] + fshift));
    dst[x] = static_cast<int32_t>(v + bias) + lo;
  }
}

// Row k of component c of a tile; the three colour components of a tile
// with the component transform are made together.
int32_t TileCompRow(JtkDecoderTp &d, OpenTile &ot, size_t c, int32_t k) {
  if (ot.row_at[c] == k) return 0;
  JtkdTile &tile = *ot.tile;
  const bool together = ot.mct && c < 3;
  const size_t first = together ? 0 : c, last = together ? 3 : c + 1;
  const int32_t *ints[3] = {nullptr, nullptr, nullptr};
  const float *floats[3] = {nullptr, nullptr, nullptr};
  for (size_t i = first; i < last; ++i)
    JTKD_TRY(JtkdLineRow(ot.lines[i], k, &ints[i - first], &floats[i - first]));
  const JtkdRes &top = tile.comps[c].res[size_t(tile.comps[c].kept)];
  const int32_t w = static_cast<int32_t>(top.x1 - top.x0);
  for (size_t i = first; i < last; ++i) {
    ot.rows[i].resize(size_t(w));
    ot.row_at[i] = k;
  }
  if (!together) {
    Finish(d.s, c, ints[0], floats[0], w, ot.rows[c].data());
    return 0;
  }
  if (ints[0]) {
    std::vector<int32_t> rgb(size_t(w) * 3);
    int32_t *r = rgb.data(), *g = r + w, *b = g + w;
    for (int32_t x = 0; x < w; ++x) {
      const int32_t y0 = ints[0][x], y1 = ints[1][x], y2 = ints[2][x];
      g[x] = y0 - ((y1 + y2) >> 2);
      r[x] = y2 + g[x];
      b[x] = y1 + g[x];
    }
    for (size_t i = 0; i < 3; ++i) Finish(d.s, i, r + i * size_t(w), nullptr, w, ot.rows[i].data());
  } else {
    std::vector<float> rgb(size_t(w) * 3);
    float *r = rgb.data(), *g = r + w, *b = g + w;
    for (int32_t x = 0; x < w; ++x) {
      const float y = floats[0][x], cb = floats[1][x], cr = floats[2][x];
      r[x] = y + 1.402f * cr;
      g[x] = y - 0.344136f * cb - 0.714136f * cr;
      b[x] = y + 1.772f * cb;
    }
    for (size_t i = 0; i < 3; ++i) Finish(d.s, i, nullptr, r + i * size_t(w), w, ot.rows[i].data());
  }
  return 0;
}

// Row y of component c, from the tiles of its row of tiles.
int32_t ComponentRow(JtkDecoderTp &d, size_t c, int32_t y, const JtkComponentTp &geometry) {
  if (d.comp_row_at[c] == y) return 0;
  const JtkdStream &s = d.s;
  const int32_t reduce = d.param.reduce;
  const int64_t at = int64_t(y) + geometry.y0;
  // The row of tiles that holds it: rows of tiles are read in turn, and
  // read again when a row before is asked for.
  int32_t q = d.tile_row >= 0 && TileRowStart(s, d.tile_row, c, reduce) <= at ? d.tile_row : 0;
  while (q + 1 < s.tiles_y && TileRowStart(s, q + 1, c, reduce) <= at) ++q;
  bool fresh = false;
  if (q != d.tile_row) {
    JTKD_TRY(LoadTileRow(d, q));
    fresh = true;
  }
  // The tiles' columns cover the row.
  std::vector<int32_t> &row = d.comp_rows[c];
  row.resize(size_t(geometry.width));
  for (size_t i = 0; i < d.tiles.size(); ++i) {
    OpenTile &ot = *d.tiles[i];
    const JtkdTileComp &tc = ot.tile->comps[c];
    const JtkdRes &top = tc.res[size_t(tc.kept)];
    if (at < top.y0 || at >= top.y1 || top.x1 <= top.x0) continue;
    const int32_t k = static_cast<int32_t>(at - top.y0);
    // A row before those made means reading the row of tiles again.
    const size_t first = ot.mct && c < 3 ? 0 : c, last = ot.mct && c < 3 ? 3 : c + 1;
    bool back = false;
    for (size_t j = first; j < last; ++j) back = back || k < ot.row_at[j];
    if (back) {
      if (fresh) return JTK_E_PARAM;
      JTKD_TRY(LoadTileRow(d, q));
      d.comp_row_at.assign(d.comp_row_at.size(), -1);
      return ComponentRow(d, c, y, geometry);
    }
    JTKD_TRY(TileCompRow(d, ot, c, k));
    const int64_t x0 = top.x0 - geometry.x0;
    const std::vector<int32_t> &src = ot.rows[c];
    const int64_t from = std::max<int64_t>(0, -x0);
    const int64_t to = std::min<int64_t>(int64_t(src.size()), geometry.width - x0);
    if (to > from) std::copy(src.begin() + from, src.begin() + to, row.begin() + (x0 + from));
  }
  d.comp_row_at[c] = y;
  return 0;
}

int32_t DecodeRow(JtkDecoderTp &d, int32_t channel, int32_t y, const int32_t **out) {
  if (channel < 0 || channel >= d.image.components) return JTK_E_PARAM;
  const JtkComponentTp &comp = d.image.comp[channel];
  if (y < 0 || y >= comp.height) return JTK_E_PARAM;
  const JtkdJp2::Map &m = d.map[size_t(channel)];
  const size_t c = size_t(m.component);
  // The component's geometry is that of every channel it serves.
  JTKD_TRY(ComponentRow(d, c, y, comp));
  if (!m.through_palette) {
    *out = d.comp_rows[c].data();
    return 0;
  }
  std::vector<int32_t> &row = d.chan_rows[size_t(channel)];
  if (d.chan_row_at[size_t(channel)] != y || d.comp_row_at[c] != y) {
    // Indexes beyond the palette take its nearest entry.
    const JtkdJp2 &jp2 = d.s.jp2;
    const int32_t *values = jp2.values.data() + m.column;
    const size_t columns = size_t(jp2.columns);
    const std::vector<int32_t> &src = d.comp_rows[c];
    row.resize(src.size());
    for (size_t k = 0; k < src.size(); ++k) {
      const int32_t index = std::min(std::max(src[k], 0), jp2.entries - 1);
      row[k] = values[size_t(index) * columns];
    }
    d.chan_row_at[size_t(channel)] = y;
  }
  *out = row.data();
  return 0;
}

// The whole picture, row after row of every channel in the order of
// their places on the reference grid.
int32_t Decompress(const JtkParamTp *param, const uint8_t *data, size_t length, JtkImageTp **out) {
  JtkDecoderTp d;
  int32_t rc = OpenDecoder(param, data, length, d);
  std::unique_ptr<JtkImageTp, void (*)(JtkImageTp *)> image(
      static_cast<JtkImageTp *>(calloc(1, sizeof(JtkImageTp))),
      [](JtkImageTp *p) { JtkFreeImage(&p); });
  if (rc < 0) return rc;
  if (!image) return JTK_E_MEMORY;
  *image = d.image;
  d.image.comp =
      static_cast<JtkComponentTp *>(calloc(size_t(image->components), sizeof(JtkComponentTp)));
  if (!d.image.comp) return JTK_E_MEMORY;
  memcpy(d.image.comp, image->comp, size_t(image->components) * sizeof(JtkComponentTp));
  const size_t n = size_t(image->components);
  for (size_t i = 0; i < n; ++i) {
    JtkComponentTp &comp = image->comp[i];
    comp.data = static_cast<int32_t *>(
        JtkdAllocPlane(size_t(comp.width) * size_t(comp.height) * sizeof(int32_t)));
    if (!comp.data) return JTK_E_MEMORY;
  }
  std::vector<int32_t> next(n, 0);
  for (;;) {
    size_t pick = n;
    int64_t best = 0;
    for (size_t i = 0; i < n; ++i) {
      const JtkComponentTp &comp = image->comp[i];
      if (next[i] >= comp.height) continue;
      const int64_t ref = (int64_t(comp.y0) + next[i]) * comp.dy;
      if (pick == n || ref < best) {
        pick = i;
        best = ref;
      }
    }
    if (pick == n) break;
    const int32_t *row = nullptr;
    rc = DecodeRow(d, static_cast<int32_t>(pick), next[pick], &row);
    if (rc < 0) return rc;
    JtkComponentTp &comp = image->comp[pick];
    memcpy(comp.data + size_t(next[pick]) * size_t(comp.width), row,
           size_t(comp.width) * sizeof(int32_t));
    ++next[pick];
  }
  *out = image.release();
  return 0;
}
}  // namespace

// Tile-part header markers: coding segments, PPT, and the pointer
// segments that are not needed.
int32_t JtkdParseTileHeader(const JtkdStream &s, const JtkdTilePart &part, bool first,
                            JtkdScope &scope, std::vector<uint8_t> &ppt) {
  size_t pos = part.header;
  for (;;) {
    uint32_t marker = 0;
    Segment seg{nullptr, 0};
    JTKD_TRY(NextMarker(s, &pos, &marker, &seg));
    if (marker == kSOD) return 0;
    if (!first && marker != kPOC && marker != kPPT && marker != kPLT && marker != kCOM) continue;
    const int32_t rc = ReadCodingMarker(marker, seg, s, scope);
    if (rc < 0) return rc;
    if (rc == 0) continue;
    if (marker == kPPT) {
      if (seg.n < 1) return JTK_E_MARKER_SIZE;
      if (s.has_ppm) return JTK_E_PACKET_NO_MARKER;
      ppt.insert(ppt.end(), seg.p + 1, seg.p + seg.n);
    }
  }
}

int32_t JtkGetMainHeader(JtkContextTp *context, const uint8_t *data, size_t length, int32_t jp2,
                         JtkHeaderTp *header) {
  if (!JtkValidContext(context)) return JTK_E_HEADER_PARAM;
  if (!data || !header) return JtkReport(context, kHeader, JTK_E_HEADER_PARAM);
  if (length == 0) return JtkReport(context, kHeader, JTK_E_MARKER_EMPTY);
  int32_t rc = 0;
  try {
    JtkdStream s;
    rc = OpenStream(data, length, jp2, s);
    if (rc == 0) FillHeader(s, jp2, header);
  } catch (const std::bad_alloc &) {
    rc = JTK_E_MEMORY;
  }
  return rc < 0 ? JtkReport(context, kHeader, rc) : 0;
}

int32_t Jp2Decompress(JtkContextTp *context, const JtkParamTp *param, const uint8_t *data,
                      size_t length, JtkImageTp **image) {
  if (!JtkValidContext(context)) return JTK_E_PARAM;
  if (!data || !image) return JtkReport(context, kDecompress, JTK_E_PARAM);
  *image = nullptr;
  if (length == 0) return JtkReport(context, kDecompress, JTK_E_MARKER_EMPTY);
  int32_t rc = 0;
  try {
    rc = Decompress(param, data, length, image);
  } catch (const std::bad_alloc &) {
    rc = JTK_E_MEMORY;
  }
  if (rc < 0) {
    JtkFreeImage(image);
    return JtkReport(context, kDecompress, rc);
  }
  return 0;
}

int32_t JtkOpenDecoder(JtkContextTp *context, const JtkParamTp *param, const uint8_t *data,
                       size_t length, JtkDecoderTp **decoder) {
  if (!JtkValidContext(context)) return JTK_E_PARAM;
  if (!data || !decoder) return JtkReport(context, kDecompress, JTK_E_PARAM);
  *decoder = nullptr;
  if (length == 0) return JtkReport(context, kDecompress, JTK_E_MARKER_EMPTY);
  int32_t rc = 0;
  JtkDecoderTp *d = nullptr;
  try {
    d = new JtkDecoderTp();
    rc = OpenDecoder(param, data, length, *d);
  } catch (const std::bad_alloc &) {
    rc = JTK_E_MEMORY;
  }
  if (rc < 0) {
    JtkCloseDecoder(&d);
    return JtkReport(context, kDecompress, rc);
  }
  *decoder = d;
  return 0;
}

const JtkImageTp *JtkDecoderImage(const JtkDecoderTp *decoder) {
  return decoder ? &decoder->image : nullptr;
}

int32_t JtkDecodeRow(JtkContextTp *context, JtkDecoderTp *decoder, int32_t channel, int32_t y,
                     const int32_t **row) {
  if (!JtkValidContext(context)) return JTK_E_PARAM;
  if (!decoder || !row) return JtkReport(context, kDecompress, JTK_E_PARAM);
  *row = nullptr;
  int32_t rc = 0;
  try {
    rc = DecodeRow(*decoder, channel, y, row);
  } catch (const std::bad_alloc &) {
    rc = JTK_E_MEMORY;
  }
  if (rc < 0) {
    *row = nullptr;
    return JtkReport(context, kDecompress, rc);
  }
  return 0;
}

void JtkCloseDecoder(JtkDecoderTp **decoder) {
  if (!decoder || !*decoder) return;
  delete *decoder;
  *decoder = nullptr;
}
