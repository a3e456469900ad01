// Rotation of tiled rasters strip by strip, of contiguous blocks and
// buffers, and mirroring of lines.
#include "imarotat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#define CMN_SOURCE "imarotat"

namespace {

int Tiles(int pixels) {
  return static_cast<int>((static_cast<int64_t>(pixels) + IMG_TILE - 1) / IMG_TILE);
}
int Span(int n, int i) { return std::min(IMG_TILE, n - i * IMG_TILE); }
size_t Bytes(int64_t pixels, int bpp) { return static_cast<size_t>(pixels) * bpp; }

ReturnTp NoMemory(unsigned line) {
  return CmnError(CMN_SOURCE, line, CMN_E_NOMEM_AT, CMN_SOURCE, static_cast<int>(line));
}

// kB: pixel size fixed at compile time, 0 for the generic path. The block
// is walked in 32 x 32 squares so that both sides stay in cache.
template <int kB>
void RotateBlock(const unsigned char *src, unsigned char *dst, int w, int h, int bpp, bool ccw) {
  const size_t b = kB ? kB : bpp;
  constexpr int kSquare = 32;
  for (int y0 = 0; y0 < h; y0 += kSquare) {
    const int y1 = std::min(h, y0 + kSquare);
    for (int x0 = 0; x0 < w; x0 += kSquare) {
      const int x1 = std::min(w, x0 + kSquare);
      for (int x = x0; x < x1; ++x) {
        unsigned char *d = dst + static_cast<size_t>(ccw ? w - 1 - x : x) * h * b;
        const unsigned char *s = src + static_cast<size_t>(x) * b;
        for (int y = y0; y < y1; ++y)
          memcpy(d + static_cast<size_t>(ccw ? y : h - 1 - y) * b,
                 s + static_cast<size_t>(y) * w * b, kB ? kB : b);
      }
    }
  }
}

template <int kB>
void Reverse(unsigned char *p, int64_t n, int bpp) {
  const size_t b = kB ? kB : bpp;
  unsigned char tmp[4];
  for (int64_t i = 0, j = n - 1; i < j; ++i, --j) {
    unsigned char *a = p + i * b, *z = p + j * b;
    memcpy(tmp, a, kB ? kB : b);
    memcpy(a, z, kB ? kB : b);
    memcpy(z, tmp, kB ? kB : b);
  }
}

void ReversePixels(unsigned char *p, int64_t n, int bpp) {
  if (bpp == 1)
    std::reverse(p, p + n);
  else if (bpp == 4)
    Reverse<4>(p, n, 4);
  else
    Reverse<0>(p, n, bpp);
}

void FreeTiles(ImgTileTp *row, int n) {
  for (int i = 0; row && i < n; ++i) free(row[i].data);
  free(row);
}

// Rotation by 90: each source tile row becomes one tile column of the
// result. The new tiles of a strip are kept as a column until the end, so
// that the source row can be freed at once and the grid never exists
// twice; the rows are then assembled from the bottom up while each column
// shrinks by the tile it gave.
ReturnTp Rotate90(ImgTileTp ***pgrid, int w, int h, int bpp, unsigned char *strip,
                  unsigned char *turned, unsigned char *scratch) {
  ImgTileTp **old = *pgrid;
  const int across = Tiles(w), rows = Tiles(h);
  const int new_across = rows, new_rows = across;
  ImgTileTp **cols = static_cast<ImgTileTp **>(calloc(new_across, sizeof *cols));
  if (!cols) return NoMemory(__LINE__);
  ReturnTp rc = 0;
  int t = 0;
  for (; t < rows && !rc; ++t) {
    const int sh = Span(h, t);
    for (int c = 0; c < across; ++c) {
      ImgUnpackTile(&old[t][c], strip + Bytes(int64_t(c) * IMG_TILE, bpp), w * bpp, Span(w, c), sh,
                    bpp);
      free(old[t][c].data);
      old[t][c].data = nullptr;
    }
    free(old[t]);
    old[t] = nullptr;
    ImgTileTp *col = static_cast<ImgTileTp *>(calloc(new_rows, sizeof(ImgTileTp)));
    if (!col) {
      rc = NoMemory(__LINE__);
      break;
    }
    cols[t] = col;
    ImgRotateBlock(strip, turned, w, sh, bpp, 90);
    for (int r = 0; r < new_rows && !rc; ++r)
      rc = ImgStoreTileWith(&col[r], turned + Bytes(int64_t(r) * IMG_TILE * sh, bpp), sh * bpp, sh,
                            Span(w, r), bpp, scratch);
  }
  ImgTileTp **grid = nullptr;
  if (!rc && !(grid = static_cast<ImgTileTp **>(calloc(new_rows + 1, sizeof *grid))))
    rc = NoMemory(__LINE__);
  if (!rc && !(grid[new_rows] = static_cast<ImgTileTp *>(calloc(new_across, sizeof(ImgTileTp)))))
    rc = NoMemory(__LINE__);
  int r = new_rows - 1;
  for (; r >= 0 && !rc; --r) {
    ImgTileTp *row = static_cast<ImgTileTp *>(malloc(new_across * sizeof(ImgTileTp)));
    if (!row) {
      rc = NoMemory(__LINE__);
      break;
    }
    for (int c = 0; c < new_across; ++c) {
      row[c] = cols[c][r];
      if (r == 0) {
        free(cols[c]);
        cols[c] = nullptr;
      } else if (void *less = realloc(cols[c], r * sizeof(ImgTileTp))) {
        cols[c] = static_cast<ImgTileTp *>(less);
      }
    }
    grid[r] = row;
  }
  if (rc) {
    // Out of memory half-way: nothing consistent is left to keep.
    for (int i = 0; i < new_across; ++i) FreeTiles(cols[i], r + 1);
    for (int i = r + 1; grid && i <= new_rows; ++i) FreeTiles(grid[i], new_across);
    free(grid);
    grid = nullptr;
    for (int i = t; i < rows; ++i) FreeTiles(old[i], across);  // null from t on if freed
  }
  FreeTiles(old[rows], across);  // the spare row holds no pixels
  free(old);
  free(cols);
  *pgrid = grid;
  return rc;
}

// Rotation by 270: each source tile column becomes one tile row of the
// result. Columns are taken from the right, so that every source row can
// give back the tile it no longer needs by shrinking in place.
ReturnTp Rotate270(ImgTileTp ***pgrid, int w, int h, int bpp, unsigned char *strip,
                   unsigned char *turned, unsigned char *scratch) {
  ImgTileTp **old = *pgrid;
  const int across = Tiles(w), rows = Tiles(h);
  const int new_across = rows, new_rows = across;
  ImgTileTp **grid = static_cast<ImgTileTp **>(calloc(new_rows + 1, sizeof *grid));
  if (!grid) return NoMemory(__LINE__);
  FreeTiles(old[rows], across);
  old[rows] = nullptr;
  ReturnTp rc = 0;
  int remaining = across;  // source columns still held by the old rows
  for (int t = across - 1; t >= 0 && !rc; --t) {
    const int sw = Span(w, t);
    for (int k = 0; k < rows; ++k) {
      ImgUnpackTile(&old[k][t], strip + Bytes(int64_t(k) * IMG_TILE * sw, bpp), sw * bpp, sw,
                    Span(h, k), bpp);
      free(old[k][t].data);
      old[k][t].data = nullptr;
      if (t == 0) {
        free(old[k]);
        old[k] = nullptr;
      } else if (void *less = realloc(old[k], t * sizeof(ImgTileTp))) {
        old[k] = static_cast<ImgTileTp *>(less);
      }
    }
    remaining = t;
    ImgRotateBlock(strip, turned, sw, h, bpp, 270);
    ImgTileTp *row = static_cast<ImgTileTp *>(calloc(new_across, sizeof(ImgTileTp)));
    if (!row) {
      rc = NoMemory(__LINE__);
      break;
    }
    grid[t] = row;
    for (int c = 0; c < new_across && !rc; ++c)
      rc = ImgStoreTileWith(&row[c], turned + Bytes(int64_t(c) * IMG_TILE, bpp), h * bpp,
                            Span(h, c), sw, bpp, scratch);
  }
  if (!rc && !(grid[new_rows] = static_cast<ImgTileTp *>(calloc(new_across, sizeof(ImgTileTp)))))
    rc = NoMemory(__LINE__);
  if (rc) {
    for (int k = 0; k < rows; ++k) FreeTiles(old[k], remaining);
    for (int i = 0; i <= new_rows; ++i) FreeTiles(grid[i], new_across);
    free(grid);
    grid = nullptr;
  }
  free(old);
  *pgrid = grid;
  return rc;
}

// Recursive halving: the two column halves are rotated in copies of their
// own and laid one below the other.
bool RotateHalves(unsigned char *buf, int w, int h, int bpp, int degrees) {
  if (w == 1) {
    if (degrees == 270) ReversePixels(buf, h, bpp);
    return true;
  }
  const int lw = w / 2, rw = w - lw;
  unsigned char *left = static_cast<unsigned char *>(malloc(Bytes(int64_t(lw) * h, bpp)));
  unsigned char *right = static_cast<unsigned char *>(malloc(Bytes(int64_t(rw) * h, bpp)));
  bool ok = left && right;
  if (ok) {
    for (int y = 0; y < h; ++y) {
      const unsigned char *line = buf + Bytes(int64_t(y) * w, bpp);
      memcpy(left + Bytes(int64_t(y) * lw, bpp), line, Bytes(lw, bpp));
      memcpy(right + Bytes(int64_t(y) * rw, bpp), line + Bytes(lw, bpp), Bytes(rw, bpp));
    }
    ok = RotateHalves(left, lw, h, bpp, degrees) && RotateHalves(right, rw, h, bpp, degrees);
  }
  if (ok) {
    // Counter-clockwise, the right half ends on top.
    const unsigned char *first = degrees == 270 ? left : right;
    const unsigned char *second = degrees == 270 ? right : left;
    const size_t first_bytes = Bytes(int64_t(degrees == 270 ? lw : rw) * h, bpp);
    memcpy(buf, first, first_bytes);
    memcpy(buf + first_bytes, second, Bytes(int64_t(w) * h, bpp) - first_bytes);
  }
  free(left);
  free(right);
  return ok;
}

}  // namespace

void ImgRotateBlock(const unsigned char *src, unsigned char *dst, int w, int h, int bpp,
                    int degrees) {
  const bool ccw = degrees == 90;
  if (bpp == 1)
    RotateBlock<1>(src, dst, w, h, 1, ccw);
  else if (bpp == 4)
    RotateBlock<4>(src, dst, w, h, 4, ccw);
  else
    RotateBlock<0>(src, dst, w, h, bpp, ccw);
}

ReturnTp ImgRotateGrid(ImgTileTp ***grid, int w, int h, int bpp, int degrees) {
  IMG_ASSERT(degrees == 90 || degrees == 270, "degrees == 90 || degrees == 270");
  IMG_ASSERT(grid && *grid && w >= 1 && h >= 1 && bpp >= 1 && bpp <= 4, "0");
  // Two buffers of one strip: the unpacked strip and its rotated copy.
  const size_t strip_bytes = Bytes(int64_t(IMG_TILE) * (degrees == 90 ? w : h), bpp);
  unsigned char *strip = static_cast<unsigned char *>(malloc(strip_bytes));
  unsigned char *turned = static_cast<unsigned char *>(malloc(strip_bytes));
  unsigned char *scratch = static_cast<unsigned char *>(malloc(IMG_PACK_BOUND(bpp)));
  ReturnTp rc;
  if (!strip || !turned || !scratch)
    rc = NoMemory(__LINE__);
  else if (degrees == 90)
    rc = Rotate90(grid, w, h, bpp, strip, turned, scratch);
  else
    rc = Rotate270(grid, w, h, bpp, strip, turned, scratch);
  free(strip);
  free(turned);
  free(scratch);
  return rc;
}

ReturnTp ImgRotateRaw(ImgRawTp *praw, int w, int h, int bpp, int degrees) {
  IMG_ASSERT(degrees == 90 || degrees == 270, "degrees == 90 || degrees == 270");
  IMG_ASSERT(praw && praw->pptile, "praw->pptile");
  const ReturnTp rc = ImgRotateGrid(&praw->pptile, w, h, bpp, degrees);
  if (rc && praw->pptile) return rc;  // nothing moved
  praw->width = h;
  praw->height = w;
  return rc;
}

int ImgRotateBuffer(unsigned char *buffer, int w, int h, int bpp, int degrees) {
  int angle = degrees;
  if (angle > 360) angle = (angle - 1) % 360 + 1;  // as if 360 were taken off while above 360
  if (angle < 0) angle = (angle % 360 + 360) % 360;
  if (angle == 0 || angle == 360) return 0;
  if (angle != 90 && angle != 180 && angle != 270) {
    char text[96];
    snprintf(text, sizeof text,
             "Angle for ImgRotate must be a multiple of 90 degree\nAngle given was %d", degrees);
    CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
    return 1;
  }
  if (w < 1 || h < 1) return 0;
  if (angle == 180) {
    ReversePixels(buffer, int64_t(w) * h, bpp);
    return 0;
  }
  if (RotateHalves(buffer, w, h, bpp, angle)) return 0;
  NoMemory(__LINE__);
  return 1;
}

void ImgMirrorLine(unsigned char *line, int n, int bpp) { ReversePixels(line, n, bpp); }
