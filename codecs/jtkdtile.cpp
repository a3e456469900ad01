// The JPEG 2000 decoder's tiles: coding parameters of a tile, its
// resolutions, precincts and code-blocks, the packets in their
// progression order (tier 2), then the blocks, the inverse wavelet, the
// inverse component transform and the level shift into the image.
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

#include "jtkd.h"

#define CMN_SOURCE "jtkdtile"

void JtkdTagTree::Init(int32_t w, int32_t h) {
  nodes.clear();
  if (w <= 0 || h <= 0) return;
  // Levels from the leaves up; each node's parent is at (x/2, y/2) of the
  // level above.
  std::vector<int32_t> level_start, level_w;
  int32_t lw = w, lh = h;
  size_t total = 0;
  for (;;) {
    level_start.push_back(static_cast<int32_t>(total));
    level_w.push_back(lw);
    total += size_t(lw) * size_t(lh);
    if (lw == 1 && lh == 1) break;
    lw = (lw + 1) / 2;
    lh = (lh + 1) / 2;
  }
  nodes.assign(total, Node{-1, INT32_MAX, 0});
  lw = w;
  lh = h;
  for (size_t l = 0; l + 1 < level_start.size(); ++l) {
    for (int32_t y = 0; y < lh; ++y)
      for (int32_t x = 0; x < lw; ++x)
        nodes[size_t(level_start[l]) + size_t(y) * size_t(lw) + size_t(x)].parent =
            level_start[l + 1] + (y / 2) * level_w[l + 1] + x / 2;
    lw = (lw + 1) / 2;
    lh = (lh + 1) / 2;
  }
}

void *JtkdAllocPlane(size_t bytes) {
  // Pictures of many megabytes fault in page by page otherwise, a cost
  // that shows beside the decoding itself.
  const size_t kHuge = size_t(2) << 20;
  if (bytes >= 4 * kHuge) {
#ifdef MADV_HUGEPAGE
    void *p = nullptr;
    if (posix_memalign(&p, kHuge, bytes) != 0) return nullptr;
    madvise(p, bytes, MADV_HUGEPAGE);
    memset(p, 0, bytes);
    return p;
#endif
  }
  return calloc(bytes ? bytes : 1, 1);
}

namespace {

// Packet header bits, with the bit stuffed after each 0xFF byte.
struct HeaderBits {
  const uint8_t *p = nullptr;
  size_t n = 0;
  size_t *pos = nullptr;
  uint32_t byte = 0;
  int32_t ct = 0;
  bool overrun = false;

  void Start(const uint8_t *data, size_t length, size_t *position) {
    p = data;
    n = length;
    pos = position;
    byte = 0;
    ct = 0;
  }
  uint32_t Bit() {
    if (ct == 0) {
      const bool stuffed = byte == 0xFF;
      if (*pos < n) {
        byte = p[(*pos)++];
      } else {
        overrun = true;
        byte = 0;
      }
      ct = stuffed ? 7 : 8;
    }
    --ct;
    return (byte >> ct) & 1;
  }
  uint32_t Bits(int32_t count) {
    uint32_t v = 0;
    while (count-- > 0) v = (v << 1) | Bit();
    return v;
  }
  // The header ends on a byte boundary; after 0xFF the stuffed byte
  // belongs to it.
  void Align() {
    if (byte == 0xFF) {
      if (*pos < n)
        ++*pos;
      else
        overrun = true;
    }
    byte = 0;
    ct = 0;
  }
};

// Returns whether the leaf's value is below threshold.
bool TagDecode(JtkdTagTree &tree, int32_t leaf, int32_t threshold, HeaderBits &bits) {
  int32_t stack[64];
  int32_t depth = 0;
  for (int32_t node = leaf; node >= 0 && depth < 64; node = tree.nodes[size_t(node)].parent)
    stack[depth++] = node;
  int32_t low = 0;
  while (depth > 0) {
    JtkdTagTree::Node &nd = tree.nodes[size_t(stack[--depth])];
    if (low > nd.low)
      nd.low = low;
    else
      low = nd.low;
    while (low < threshold && low < nd.value) {
      if (bits.Bit())
        nd.value = low;
      else
        ++low;
    }
    nd.low = low;
  }
  return tree.nodes[size_t(leaf)].value < threshold;
}

// How many passes the segment starting at `first` may hold.
int32_t SegmentCapacity(int32_t style, int32_t first) {
  if (style & JTK_CB_TERMALL) return 1;
  if (style & JTK_CB_BYPASS) {
    if (first < 10) return 10 - first;
    return ((first - 10) % 3 == 2) ? 1 : 2 - (first - 10) % 3;
  }
  return 164;
}

int32_t FloorLog2(uint32_t v) {
  int32_t r = 0;
  while (v >>= 1) ++r;
  return r;
}

using Tile = JtkdTile;

// The coding parameters of the tile: its own headers first, then the
// main header.
int32_t ResolveTile(const JtkdStream &s, int32_t t, Tile &tile) {
  JtkdScope scope;
  std::vector<uint8_t> ppt;
  const auto &parts = s.tiles[size_t(t)];
  for (size_t i = 0; i < parts.size(); ++i)
    JTKD_TRY(JtkdParseTileHeader(s, parts[i], i == 0, scope, ppt));
  tile.cod = scope.has_cod ? scope.cod : s.main.cod;
  tile.poc = !scope.poc.empty() ? scope.poc : s.main.poc;
  for (int32_t c = 0; c < s.components; ++c) {
    JtkdTileComp &tc = tile.comps[size_t(c)];
    if (scope.coc.count(c))
      tc.cod = scope.coc.at(c);
    else if (scope.has_cod)
      tc.cod = scope.cod.comp;
    else if (s.main.coc.count(c))
      tc.cod = s.main.coc.at(c);
    else
      tc.cod = s.main.cod.comp;
    if (scope.qcc.count(c))
      tc.quant = scope.qcc.at(c);
    else if (scope.has_qcd)
      tc.quant = scope.qcd;
    else if (s.main.qcc.count(c))
      tc.quant = s.main.qcc.at(c);
    else
      tc.quant = s.main.qcd;
    tc.roi = scope.roi.count(c) ? scope.roi.at(c) : (s.main.roi.count(c) ? s.main.roi.at(c) : 0);
  }
  // Data and packed headers.
  if (parts.size() == 1) {
    tile.body = s.data + parts[0].data;
    tile.body_len = parts[0].end - parts[0].data;
  } else {
    size_t total = 0;
    for (const auto &p : parts) total += p.end - p.data;
    tile.joined.reserve(total);
    for (const auto &p : parts)
      tile.joined.insert(tile.joined.end(), s.data + p.data, s.data + p.end);
    tile.body = tile.joined.data();
    tile.body_len = tile.joined.size();
  }
  for (const auto &p : parts) {
    if (s.has_ppm) {
      if (size_t(p.index) >= s.ppm_chunks.size()) return JTK_E_MARKER_SHORT;
      const auto &chunk = s.ppm_chunks[size_t(p.index)];
      tile.headers.insert(tile.headers.end(), chunk.begin(), chunk.end());
    }
  }
  if (s.has_ppm) {
    tile.packed = true;
  } else if (!ppt.empty()) {
    tile.packed = true;
    tile.headers.swap(ppt);
  }
  return 0;
}

// Quantisation of band b (0 LL, then HL, LH, HH per resolution).
int32_t SetBandQuant(const JtkdTileComp &tc, int32_t precision, int32_t r, JtkdBand &band) {
  const JtkdQuant &q = tc.quant;
  const int32_t levels = tc.cod.levels;
  const int32_t index = r == 0 ? 0 : 3 * (r - 1) + band.orient;
  int32_t eps = 0, mu = 0;
  if (q.style == 1) {
    const int32_t nb = r == 0 ? levels : levels - r + 1;
    eps = q.eps[0] - levels + nb;
    mu = q.mu[0];
    if (eps < 0) return JTK_E_MARKER_QUANT_TYPE;
  } else {
    if (index >= q.count) return JTK_E_MARKER_QUANT_TYPE;
    eps = q.eps[index];
    mu = q.mu[index];
  }
  const int32_t gain = band.orient == 0 ? 0 : (band.orient == 3 ? 2 : 1);
  band.planes = q.guard + eps - 1;
  if (tc.roi > JTKD_MAX_PLANES - 1) return JTK_E_PACKET_DATA;
  if (band.planes + tc.roi > JTKD_MAX_PLANES) return JTK_E_PACKET_DATA;
  if (tc.cod.reversible) {
    band.step = 1;
  } else {
    // Values carry one fraction bit, so the step is halved here.
    band.step = static_cast<float>(std::ldexp(1.0 + mu / 2048.0, precision + gain - eps) * 0.5);
  }
  return 0;
}

// Resolutions, bands, precincts and code-blocks of one tile-component.
int32_t BuildTileComp(const JtkdStream &s, Tile &tile, int32_t c, int32_t reduce,
                      JtkdTileComp &tc) {
  const JtkdCompCod &cod = tc.cod;
  const int32_t levels = cod.levels;
  if (reduce > levels) return JTK_E_MARKER_LEVELS;
  tc.x0 = JtkdCeilDiv(tile.x0, s.dx[size_t(c)]);
  tc.y0 = JtkdCeilDiv(tile.y0, s.dy[size_t(c)]);
  tc.x1 = JtkdCeilDiv(tile.x1, s.dx[size_t(c)]);
  tc.y1 = JtkdCeilDiv(tile.y1, s.dy[size_t(c)]);
  tc.kept = levels - reduce;
  tc.res.resize(size_t(levels) + 1);
  for (int32_t r = 0; r <= levels; ++r) {
    JtkdRes &res = tc.res[size_t(r)];
    const int32_t shift = levels - r;
    res.x0 = JtkdCeilShift(tc.x0, shift);
    res.y0 = JtkdCeilShift(tc.y0, shift);
    res.x1 = JtkdCeilShift(tc.x1, shift);
    res.y1 = JtkdCeilShift(tc.y1, shift);
    res.ppx = cod.pp[r] & 15;
    res.ppy = cod.pp[r] >> 4;
    res.pw = res.x1 > res.x0
                 ? static_cast<int32_t>(JtkdCeilShift(res.x1, res.ppx) - (res.x0 >> res.ppx))
                 : 0;
    res.ph = res.y1 > res.y0
                 ? static_cast<int32_t>(JtkdCeilShift(res.y1, res.ppy) - (res.y0 >> res.ppy))
                 : 0;
    res.nbands = r == 0 ? 1 : 3;
    for (int32_t b = 0; b < res.nbands; ++b) {
      JtkdBand &band = res.bands[b];
      band.orient = r == 0 ? 0 : b + 1;
      if (r == 0) {
        band.x0 = res.x0;
        band.y0 = res.y0;
        band.x1 = res.x1;
        band.y1 = res.y1;
      } else {
        const int32_t nb = levels - r + 1;
        const int64_t xo = (band.orient & 1) ? int64_t(1) << (nb - 1) : 0;
        const int64_t yo = (band.orient & 2) ? int64_t(1) << (nb - 1) : 0;
        band.x0 = JtkdCeilShift(tc.x0 - xo, nb);
        band.y0 = JtkdCeilShift(tc.y0 - yo, nb);
        band.x1 = JtkdCeilShift(tc.x1 - xo, nb);
        band.y1 = JtkdCeilShift(tc.y1 - yo, nb);
        const JtkdRes &low = tc.res[size_t(r) - 1];
        band.off_x = (band.orient & 1) ? static_cast<int32_t>(low.x1 - low.x0) : 0;
        band.off_y = (band.orient & 2) ? static_cast<int32_t>(low.y1 - low.y0) : 0;
      }
      JTKD_TRY(SetBandQuant(tc, s.precision[size_t(c)], r, band));
    }
    // Precincts (in resolution coordinates) and their code-blocks.
    const int32_t cbw = std::min(cod.xcb, r > 0 ? res.ppx - 1 : res.ppx);
    const int32_t cbh = std::min(cod.ycb, r > 0 ? res.ppy - 1 : res.ppy);
    const int32_t bpx = r > 0 ? res.ppx - 1 : res.ppx, bpy = r > 0 ? res.ppy - 1 : res.ppy;
    tile.objects_left -= int64_t(res.pw) * res.ph;
    if (tile.objects_left < 0) return JTK_E_MARKER_PRECINCT;
    res.prec.resize(size_t(res.pw) * size_t(res.ph));
    for (int32_t j = 0; j < res.ph; ++j) {
      for (int32_t i = 0; i < res.pw; ++i) {
        JtkdPrecinct &prec = res.prec[size_t(j) * size_t(res.pw) + size_t(i)];
        const int64_t px = ((res.x0 >> res.ppx) + i), py = ((res.y0 >> res.ppy) + j);
        prec.ref_x = std::max(tile.x0, (px << res.ppx << shift) * s.dx[size_t(c)]);
        prec.ref_y = std::max(tile.y0, (py << res.ppy << shift) * s.dy[size_t(c)]);
        for (int32_t b = 0; b < res.nbands; ++b) {
          const JtkdBand &band = res.bands[b];
          JtkdPrecBand &pb = prec.band[b];
          const int64_t bx0 = std::max(band.x0, px << bpx),
                        bx1 = std::min(band.x1, (px + 1) << bpx);
          const int64_t by0 = std::max(band.y0, py << bpy),
                        by1 = std::min(band.y1, (py + 1) << bpy);
          if (bx1 <= bx0 || by1 <= by0) continue;
          const int64_t gx0 = bx0 >> cbw, gy0 = by0 >> cbh;
          pb.cw = static_cast<int32_t>(JtkdCeilShift(bx1, cbw) - gx0);
          pb.ch = static_cast<int32_t>(JtkdCeilShift(by1, cbh) - gy0);
          tile.objects_left -= int64_t(pb.cw) * pb.ch;
          if (tile.objects_left < 0) return JTK_E_MARKER_CBLK_SIZE;
          pb.cblks.resize(size_t(pb.cw) * size_t(pb.ch));
          for (int32_t y = 0; y < pb.ch; ++y) {
            for (int32_t x = 0; x < pb.cw; ++x) {
              JtkdCblk &cb = pb.cblks[size_t(y) * size_t(pb.cw) + size_t(x)];
              cb.x0 = static_cast<int32_t>(std::max(bx0, (gx0 + x) << cbw) - band.x0);
              cb.x1 = static_cast<int32_t>(std::min(bx1, (gx0 + x + 1) << cbw) - band.x0);
              cb.y0 = static_cast<int32_t>(std::max(by0, (gy0 + y) << cbh) - band.y0);
              cb.y1 = static_cast<int32_t>(std::min(by1, (gy0 + y + 1) << cbh) - band.y0);
            }
          }
          pb.incl.Init(pb.cw, pb.ch);
          pb.zero.Init(pb.cw, pb.ch);
        }
      }
    }
  }
  return 0;
}

// One packet: its header (from the packed headers or the body) and its
// code-block data.
int32_t ReadPacket(Tile &tile, JtkdTileComp &tc, int32_t r, JtkdPrecinct &prec, int32_t layer) {
  const JtkdRes &res = tc.res[size_t(r)];
  const int32_t scod = tile.cod.scod;
  const int32_t style = tc.cod.style;
  // An SOP marker segment may precede the packet in the body.
  if ((scod & 2) && tile.body_len - tile.body_pos >= 6 && tile.body[tile.body_pos] == 0xFF &&
      tile.body[tile.body_pos + 1] == 0x91)
    tile.body_pos += 6;
  HeaderBits bits;
  if (tile.packed)
    bits.Start(tile.headers.data(), tile.headers.size(), &tile.header_pos);
  else
    bits.Start(tile.body, tile.body_len, &tile.body_pos);
  tile.pending.clear();
  // Resolutions left out are parsed for their lengths only.
  const bool keep = (tile.max_layers == 0 || layer < tile.max_layers) && r <= tc.kept;
  if (bits.Bit()) {
    for (int32_t b = 0; b < res.nbands; ++b) {
      JtkdPrecBand &pb = prec.band[b];
      for (size_t k = 0; k < pb.cblks.size(); ++k) {
        JtkdCblk &cb = pb.cblks[k];
        const int32_t leaf = static_cast<int32_t>(k);
        bool in = false;
        const bool first = !cb.included;
        if (first)
          in = TagDecode(pb.incl, leaf, layer + 1, bits);
        else
          in = bits.Bit() != 0;
        if (bits.overrun) return JTK_E_PACKET_HEADER;
        if (!in) continue;
        if (first) {
          int32_t threshold = 1;
          while (!TagDecode(pb.zero, leaf, threshold, bits)) {
            if (bits.overrun || ++threshold > 64) return JTK_E_PACKET_HEADER;
          }
          cb.zero_planes = pb.zero.nodes[size_t(leaf)].value;
          cb.included = true;
        }
        int32_t passes = 1;
        if (bits.Bit()) {
          passes = 2;
          if (bits.Bit()) {
            const uint32_t v2 = bits.Bits(2);
            if (v2 != 3) {
              passes = 3 + static_cast<int32_t>(v2);
            } else {
              const uint32_t v5 = bits.Bits(5);
              passes =
                  v5 != 31 ? 6 + static_cast<int32_t>(v5) : 37 + static_cast<int32_t>(bits.Bits(7));
            }
          }
        }
        if (cb.passes + passes > 164) return JTK_E_PACKET_PASSES;
        while (bits.Bit()) {
          if (++cb.lblock > 32) return JTK_E_PACKET_HEADER;
        }
        Tile::Part part;
        part.cblk = &cb;
        part.parts = 0;
        int32_t left = passes;
        part.seg_first = static_cast<int32_t>(cb.segs.size());
        // Continue the last segment when it has room.
        if (!cb.segs.empty()) {
          int32_t start = cb.passes - cb.segs.back().passes;
          if (cb.segs.back().passes < SegmentCapacity(style, start)) part.seg_first -= 1;
        }
        int32_t at = cb.passes;
        int32_t seg = part.seg_first;
        while (left > 0) {
          if (seg == static_cast<int32_t>(cb.segs.size())) cb.segs.push_back(JtkdSeg{0, 0});
          const int32_t start = at - cb.segs[size_t(seg)].passes;
          const int32_t room = SegmentCapacity(style, start) - cb.segs[size_t(seg)].passes;
          const int32_t take = std::min(left, room);
          const int32_t nbits = cb.lblock + FloorLog2(static_cast<uint32_t>(take));
          if (nbits > 32) return JTK_E_PACKET_HEADER;
          part.lengths[part.parts++] = bits.Bits(nbits);
          cb.segs[size_t(seg)].passes = static_cast<uint16_t>(cb.segs[size_t(seg)].passes + take);
          at += take;
          left -= take;
          ++seg;
        }
        cb.passes += passes;
        if (keep) cb.usable_passes = cb.passes;
        if (bits.overrun) return JTK_E_PACKET_HEADER;
        tile.pending.push_back(part);
      }
    }
  }
  bits.Align();
  if (bits.overrun) return JTK_E_PACKET_HEADER;
  // An EPH marker may end the header.
  if (scod & 4) {
    const uint8_t *h = tile.packed ? tile.headers.data() : tile.body;
    const size_t n = tile.packed ? tile.headers.size() : tile.body_len;
    size_t &hp = tile.packed ? tile.header_pos : tile.body_pos;
    if (n - hp >= 2 && h[hp] == 0xFF && h[hp + 1] == 0x92) hp += 2;
  }
  // The bodies, in the order of the header.
  for (Tile::Part &part : tile.pending) {
    JtkdCblk &cb = *part.cblk;
    for (int32_t i = 0; i < part.parts; ++i) {
      const size_t n = part.lengths[i];
      if (n > tile.body_len - tile.body_pos) return JTK_E_PACKET_DATA;
      if (keep && n > 0) {
        const uint32_t seg = static_cast<uint32_t>(part.seg_first + i);
        cb.chunks.push_back(
            JtkdCblk::Chunk{tile.body + tile.body_pos, static_cast<uint32_t>(n), seg});
        cb.segs[seg].length += static_cast<uint32_t>(n);
      }
      tile.body_pos += n;
    }
  }
  return 0;
}

// No packet can follow once the data it would be read from is used up.
bool Exhausted(const Tile &tile) {
  return tile.packed ? tile.header_pos >= tile.headers.size() : tile.body_pos >= tile.body_len;
}

// Packets of one progression volume, in its order. Each precinct takes
// its layers in turn; packets sent before are passed over.
struct Entry {
  int64_t y, x;
  int32_t c, r, p;
};

// In the last volume, packets of resolutions left out are not read at all
// when the order puts them after every kept one.
int32_t ReadVolume(Tile &tile, const JtkdPoc &v, bool last, int64_t *budget) {
  const int32_t ncomp = static_cast<int32_t>(tile.comps.size());
  const int32_t ce = std::min(v.ce, ncomp);
  auto visit = [&](int32_t l, int32_t r, int32_t c, int32_t p) -> int32_t {
    if (--*budget < 0) return JTK_E_PACKET_DATA;
    JtkdTileComp &tc = tile.comps[size_t(c)];
    JtkdPrecinct &prec = tc.res[size_t(r)].prec[size_t(p)];
    if (prec.next_layer != l) return 0;
    if (Exhausted(tile)) return 1;
    JTKD_TRY(ReadPacket(tile, tc, r, prec, l));
    prec.next_layer = l + 1;
    return 0;
  };
  int32_t maxres = 0, maxkept = 0;
  for (int32_t c = v.cs; c < ce; ++c) {
    maxres = std::max(maxres, tile.comps[size_t(c)].cod.levels + 1);
    maxkept = std::max(maxkept, tile.comps[size_t(c)].kept);
  }
  const int32_t re = std::min(v.re, maxres);
  const int32_t rmax =
      last && (v.progression == JTK_RLCP || v.progression == JTK_RPCL) ? maxkept : JTKD_MAX_LEVELS;
  if (v.progression == JTK_LRCP || v.progression == JTK_RLCP) {
    const bool lrcp = v.progression == JTK_LRCP;
    const int32_t outer = lrcp ? v.lye : re, inner = lrcp ? re : v.lye;
    for (int32_t a = lrcp ? 0 : v.rs; a < outer; ++a) {
      for (int32_t b = lrcp ? v.rs : 0; b < inner; ++b) {
        const int32_t l = lrcp ? a : b, r = lrcp ? b : a;
        for (int32_t c = v.cs; c < ce; ++c) {
          JtkdTileComp &tc = tile.comps[size_t(c)];
          if (r > tc.cod.levels || r > rmax) continue;
          const int32_t np = static_cast<int32_t>(tc.res[size_t(r)].prec.size());
          for (int32_t p = 0; p < np; ++p) {
            const int32_t rc = visit(l, r, c, p);
            if (rc) return rc;
          }
        }
      }
    }
    return 0;
  }
  std::vector<Entry> list;
  for (int32_t c = v.cs; c < ce; ++c) {
    const JtkdTileComp &tc = tile.comps[size_t(c)];
    for (int32_t r = v.rs; r < re && r <= tc.cod.levels && r <= rmax; ++r) {
      const auto &prec = tc.res[size_t(r)].prec;
      for (size_t p = 0; p < prec.size(); ++p)
        list.push_back(Entry{prec[p].ref_y, prec[p].ref_x, c, r, static_cast<int32_t>(p)});
    }
  }
  auto key = [&](const Entry &e) {
    switch (v.progression) {
      case JTK_RPCL:
        return std::make_tuple(int64_t(e.r), e.y, e.x, int64_t(e.c));
      case JTK_PCRL:
        return std::make_tuple(e.y, e.x, int64_t(e.c), int64_t(e.r));
      default:  // CPRL
        return std::make_tuple(int64_t(e.c), e.y, e.x, int64_t(e.r));
    }
  };
  std::stable_sort(list.begin(), list.end(),
                   [&](const Entry &a, const Entry &b) { return key(a) < key(b); });
  for (const Entry &e : list) {
    for (int32_t l = 0; l < v.lye; ++l) {
      const int32_t rc = visit(l, e.r, e.c, e.p);
      if (rc) return rc;
    }
  }
  return 0;
}

}  // namespace

int32_t JtkdReadTile(const JtkdStream &s, int32_t t, const JtkParamTp &param, JtkdTile &tile) {
  const int64_t p = t % s.tiles_x, q = t / s.tiles_x;
  tile.x0 = std::max(s.tx0 + p * s.tw, s.x0);
  tile.y0 = std::max(s.ty0 + q * s.th, s.y0);
  tile.x1 = std::min(s.tx0 + (p + 1) * s.tw, s.x1);
  tile.y1 = std::min(s.ty0 + (q + 1) * s.th, s.y1);
  if (tile.x1 <= tile.x0 || tile.y1 <= tile.y0) return 1;
  JTKD_TRY(ResolveTile(s, t, tile));
  tile.max_layers = param.max_layers > 0 ? param.max_layers : 0;
  tile.objects_left = std::max<int64_t>(int64_t(1) << 21, int64_t(16) * int64_t(s.length));
  for (int32_t c = 0; c < s.components; ++c)
    JTKD_TRY(BuildTileComp(s, tile, c, param.reduce, tile.comps[size_t(c)]));
  // Packets: the progression changes, or the one order of the coding style.
  std::vector<JtkdPoc> volumes = tile.poc;
  if (volumes.empty())
    volumes.push_back(
        JtkdPoc{0, 0, tile.cod.layers, JTKD_MAX_LEVELS + 1, s.components, tile.cod.progression});
  // Hostile headers may ask for vast empty loops; a packet costs at
  // least one byte, so the visits are bounded by the data.
  int64_t budget =
      int64_t(64) * int64_t(tile.body_len + tile.headers.size() + 1) + (int64_t(1) << 22);
  for (size_t i = 0; i < volumes.size(); ++i) {
    JtkdPoc vol = volumes[i];
    vol.lye = std::min(vol.lye, tile.cod.layers);
    const int32_t rc = ReadVolume(tile, vol, i + 1 == volumes.size(), &budget);
    if (rc < 0) return rc;
    if (rc > 0) break;  // the data ends here
  }
  return 0;
}
