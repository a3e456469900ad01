// The scaler: its weights, the agreement of its streaming, random-access and
// whole-buffer forms, and averaging against netpbm's box mean.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image.h"
#include "runprog.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::array<int, 5>> Entries;  // first, n, w1, w2, w3

Entries Table(int32_t src, int32_t dst, ImgScaleTp method) {
  std::vector<ImgContribTp> t(static_cast<size_t>(dst));
  int32_t w = 0;
  fillit(&w, t.data(), src, dst, method, 0, dst);
  Entries out;
  for (const ImgContribTp &e : t) out.push_back({static_cast<int>(e.first), e.n, e.w1, e.w2, e.w3});
  return out;
}

ImgStretchPtr Make(ImgScaleTp method, int32_t sw, int32_t sl, int32_t ow, int32_t ol, int32_t bpp,
                   int32_t x0 = 0, int32_t y0 = 0, int32_t cols = 0, int32_t rows = 0) {
  ImgStretchTp *s = nullptr;
  EXPECT_EQ(ImgCreateStretch(&s, method, sw, sl, ow, ol, bpp, x0, y0, cols, rows), 0u);
  return ImgStretchPtr(s);
}

// Drives the streaming step as the reading layer does; *lines counts the
// source lines it asked for.
Bytes Stream(const ImgStretchPtr &s, const Bytes &src, int *lines = nullptr) {
  const size_t in = static_cast<size_t>(s->src_width * s->bpp), out = s->cols * s->bpp;
  Bytes result(out * s->rows);
  int need_more = 1, given = 0;
  for (int32_t row = 0; row < s->rows; row++)
    for (int ready = 0; !ready;) {
      const uint8_t *line = need_more ? src.data() + in * given++ : nullptr;
      if (ImgStretchLine(s.get(), line, &result[out * row], &need_more, &ready) != 0) {
        ADD_FAILURE() << "streaming failed at row " << row;
        return result;
      }
    }
  if (lines) *lines = given;
  return result;
}

Bytes Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes v(n);
  for (uint8_t &b : v) b = static_cast<uint8_t>(gen());
  return v;
}

}  // namespace

// Every averaging weight set stays inside the source and sums to one.
TEST(ImaScale, AveragingWeightsCoverTheSource) {
  for (int32_t src = 1; src <= 70; src++)
    for (int32_t dst = 1; dst <= 70; dst++)
      for (const std::array<int, 5> &e : Table(src, dst, ImgScaleAveraging)) {
        ASSERT_LE(e[0] + e[1], src) << src << " -> " << dst;
        ASSERT_EQ(e[1] == 1 ? e[2] : e[2] + (e[1] - 2) * e[3] + e[4], 256) << src << " -> " << dst;
      }
}

TEST(ImaScale, SmallCasesComeOutExactly) {
  const Bytes src = Random(23 * 17 * 4, 1);
  for (ImgScaleTp m : {ImgScaleReplication, ImgScaleBilinear, ImgScaleAveraging})
    EXPECT_EQ(Stream(Make(m, 23, 17, 0, 0, 4), src), src) << ImgScaleName(m);
  EXPECT_EQ(Stream(Make(ImgScaleBilinear, 2, 1, 4, 1, 1), {0, 255}), (Bytes{0, 63, 191, 255}));
  // Averaging 5 -> 2 weights the shared sample 51 in the first output and
  // 52 in the second, across and down alike.
  const Bytes spike{0, 0, 255, 0, 0};
  EXPECT_EQ(Stream(Make(ImgScaleAveraging, 5, 1, 2, 1, 1), spike), (Bytes{50, 51}));
  EXPECT_EQ(Stream(Make(ImgScaleAveraging, 1, 5, 1, 2, 1), spike), (Bytes{50, 51}));
  EXPECT_EQ(Stream(Make(static_cast<ImgScaleTp>(3), 3, 2, 2, 2, 1), {1, 2, 3, 4, 5, 6}),
            Bytes(4, 0));
  // Tall plain means round at 1/256 once the sum passes 0x7fffff; wide
  // ones truncate: 599 samples of 255 and one of 254 give 255 down but
  // 254 across (four bytes per pixel, beyond the 16-bit lanes).
  Bytes line(600 * 4, 255), out(4);
  std::fill_n(&line[1200], 4, 254);
  ASSERT_EQ(ImgStretchBuffer(line.data(), out.data(), 1, 600, 1, 1, 4), 0u);
  EXPECT_EQ(out, Bytes(4, 255));
  ASSERT_EQ(ImgStretchBuffer(line.data(), out.data(), 600, 1, 1, 1, 4), 0u);
  EXPECT_EQ(out, Bytes(4, 254));
}

// The streaming form asks for each needed source line once; its rows equal
// those of the random-access form, of the whole-buffer form and of a
// window cut from the middle of the output.
TEST(ImaScale, StreamingRowAndBufferFormsAgree) {
  const int32_t sizes[][2] = {{1, 3}, {2, 4}, {3, 2}, {5, 7}, {7, 5}, {40, 3}, {3, 40}, {23, 23}};
  for (ImgScaleTp m : {ImgScaleReplication, ImgScaleBilinear, ImgScaleAveraging})
    for (const auto &x : sizes)
      for (const auto &y : sizes) {
        const int32_t bpp = 1 + (x[0] + y[1]) % 4, sw = x[0], ow = x[1], sl = y[0], ol = y[1];
        SCOPED_TRACE(std::string(ImgScaleName(m)) + " " + std::to_string(sw) + "x" +
                     std::to_string(sl) + " -> " + std::to_string(ow) + "x" + std::to_string(ol));
        const Bytes src = Random(static_cast<size_t>(sw * sl * bpp), ow);
        ImgStretchPtr s = Make(m, sw, sl, ow, ol, bpp);
        int lines = 0;
        const Bytes full = Stream(s, src, &lines);
        EXPECT_EQ(lines, s->span_y + s->span_lines);
        Bytes rows(full.size());
        for (int32_t r = 0; r < ol; r++)
          ASSERT_EQ(ImgStretchRow(s.get(), r, src.data(), &rows[r * ow * bpp]), 0u);
        EXPECT_EQ(rows, full);
        if (m == ImgScaleAveraging) {
          ASSERT_EQ(ImgStretchBuffer(src.data(), rows.data(), sw, sl, ow, ol, bpp), 0u);
          EXPECT_EQ(rows, full);
        }
        const int32_t x0 = ow / 3, y0 = ol / 3, cols = (ow + 1) / 2, height = (ol + 1) / 2;
        Bytes window;
        for (int32_t r = y0; r < y0 + height; r++)
          window.insert(window.end(), full.begin() + (r * ow + x0) * bpp,
                        full.begin() + (r * ow + x0 + cols) * bpp);
        EXPECT_EQ(Stream(Make(m, sw, sl, ow, ol, bpp, x0, y0, cols, height), src), window);
        // Given only the span its window reads, the scaler makes the same.
        ImgStretchPtr cut = Make(m, sw, sl, ow, ol, bpp, x0, y0, cols, height);
        const int32_t sx = cut->span_x, sy = cut->span_y, spw = cut->span_width;
        Bytes span;
        for (int32_t r = sy; r < sy + cut->span_lines; r++)
          span.insert(span.end(), src.begin() + (r * sw + sx) * bpp,
                      src.begin() + (r * sw + sx + spw) * bpp);
        ImgStretchFromSpan(cut.get());
        EXPECT_EQ(cut->src_width, spw);
        EXPECT_EQ(Stream(cut, span), window);
      }
}

// Lines given as pieces scale exactly as the same lines given whole: runs
// of white and of other values, literal samples, across every method,
// reducing and enlarging, with and without a window.
TEST(ImaScale, LinesAsPiecesScaleAsWholeLines) {
  std::mt19937 gen(7);
  const int32_t sizes[][4] = {{97, 61, 13, 9},   {97, 61, 40, 30}, {97, 61, 97, 20},
                              {60, 40, 7, 5},    {23, 17, 50, 40}, {300, 20, 11, 20},
                              {1000, 30, 37, 3}, {5, 5, 2, 2}};
  for (ImgScaleTp m : {ImgScaleReplication, ImgScaleBilinear, ImgScaleAveraging})
    for (const auto &z : sizes)
      for (int windowed = 0; windowed < 2; windowed++) {
        const int32_t sw = z[0], sl = z[1], ow = z[2], ol = z[3];
        SCOPED_TRACE(std::string(ImgScaleName(m)) + " " + std::to_string(sw) + "x" +
                     std::to_string(sl) + " -> " + std::to_string(ow) + "x" + std::to_string(ol) +
                     (windowed ? " windowed" : ""));
        // Mostly white, with dark runs, runs of one gray and noisy stretches.
        Bytes src(static_cast<size_t>(sw * sl), 255);
        std::vector<ImgRunLineTp> lines(static_cast<size_t>(sl));
        for (int32_t y = 0; y < sl; y++) {
          uint8_t *row = &src[static_cast<size_t>(y * sw)];
          for (int32_t x = 0; x < sw;) {
            const int32_t n = std::min<int32_t>(sw - x, 1 + gen() % 40);
            const int kind = gen() % 5;
            if (kind == 0) {
              for (int32_t i = 0; i < n; i++) row[x + i] = static_cast<uint8_t>(gen());
              lines[y].literals(row + x, n);
            } else {
              const uint8_t v = kind == 1 ? 0 : kind == 2 ? static_cast<uint8_t>(gen()) : 255;
              std::fill_n(row + x, n, v);
              lines[y].run(n, v);
            }
            x += n;
          }
        }
        const int32_t x0 = windowed ? ow / 4 : 0, y0 = windowed ? ol / 3 : 0;
        const int32_t cols = windowed ? (ow + 1) / 2 : 0, rows = windowed ? (ol + 1) / 2 : 0;
        const Bytes whole = Stream(Make(m, sw, sl, ow, ol, 1, x0, y0, cols, rows), src);
        // The same lines as pieces found in their bytes, as a file's lines
        // reach the scaler.
        std::vector<ImgRunLineTp> found(static_cast<size_t>(sl));
        std::vector<bool> noisy(static_cast<size_t>(sl));
        for (int32_t y = 0; y < sl; y++) {
          found[y].clear();
          noisy[y] = !found[y].bytes(&src[static_cast<size_t>(y * sw)], sw);
        }
        for (const auto *given_lines : {&lines, &found}) {
          ImgStretchPtr s = Make(m, sw, sl, ow, ol, 1, x0, y0, cols, rows);
          Bytes pieces(whole.size());
          int need_more = 1;
          size_t given = 0;
          for (int32_t row = 0; row < s->rows; row++)
            for (int ready = 0; !ready;) {
              // Found in bytes, a noisy line is given whole, among lines as
              // pieces.
              const size_t k = need_more ? given++ : 0;
              uint8_t *to = &pieces[row * s->cols];
              if (need_more && given_lines == &found && noisy[k]) {
                ASSERT_EQ(ImgStretchLine(s.get(), &src[k * sw], to, &need_more, &ready), 0u);
                continue;
              }
              const ImgRunLineTp *line = need_more ? &(*given_lines)[k] : nullptr;
              ASSERT_EQ(ImgStretchRunLine(s.get(), line, to, &need_more, &ready), 0u);
            }
          EXPECT_EQ(pieces, whole);
        }
      }
  // Read from its end, a line of pieces is the line reversed.
  ImgRunLineTp line;
  const uint8_t noise[] = {1, 2, 3};
  line.run(2, 9);
  line.literals(noise, 3);
  line.run(1, 255);
  line.reverse();
  Bytes out(6);
  line.expand(out.data());
  EXPECT_EQ(out, (Bytes{255, 3, 2, 1, 9, 9}));
}

// Bytes become pieces: runs of 15 equal samples or more always, wherever
// they fall against the words compared, of fewer than 8 never; the rest
// literals with their sums. Mostly literal lines are left whole.
TEST(ImaScale, BytesBecomeRunsAndLiterals) {
  const std::vector<std::pair<int, int>> cases[] = {
      // (count, value) in order
      {{20000, 255}},
      {{7, 255}, {1, 0}, {7, 255}},
      {{8, 255}, {3, 0}, {8, 255}},
      {{15, 0}, {16, 255}, {1, 7}, {14, 7}, {40, 0}},
      {{3, 1}, {2, 2}, {1, 3}, {64, 200}, {5, 4}},
      {{1, 9}},
  };
  for (const auto &spans : cases) {
    Bytes line;
    int sure = 0, possible = 0;  // spans that must, or may, be runs
    int sure_samples = 0;
    for (const auto &span : spans) {
      line.insert(line.end(), span.first, span.second);
      sure += span.first >= 15;
      sure_samples += span.first >= 15 ? span.first : 0;
      possible += span.first >= 8;
    }
    for (size_t shift = 0; shift < 8; shift++) {  // the line at every word position
      Bytes src(shift, 42);
      src.insert(src.end(), line.begin(), line.end());
      ImgRunLineTp r;
      SCOPED_TRACE(std::to_string(src.size()) + " samples, shifted " + std::to_string(shift));
      if (!r.bytes(src.data(), static_cast<int32_t>(src.size()))) {
        // Given up only on lines more than half literal.
        EXPECT_LE(2 * sure_samples, static_cast<int>(src.size()));
        continue;
      }
      Bytes out(src.size());
      r.expand(out.data());
      EXPECT_EQ(out, src);
      int runs = 0;
      uint64_t before = 0;
      for (size_t k = 0; k < r.pieces.size(); k++) {
        const ImgRunLineTp::PieceTp &p = r.pieces[k];
        const int32_t start = k ? r.pieces[k - 1].end : 0;
        EXPECT_EQ(p.before, before);
        if (p.value >= 0) {
          EXPECT_GE(p.end - start, 8);
          ++runs;
        }
        for (int32_t x = start; x < p.end; x++) {
          if (p.value < 0) {
            EXPECT_EQ(r.sums[p.literal + x - start], before);
          }
          before += src[x];
        }
      }
      EXPECT_EQ(r.total, before);
      EXPECT_GE(runs, sure);
      EXPECT_LE(runs, possible);
    }
  }
}

TEST(ImaScale, RejectsMisuse) {
  CmnSetErrorHandler([](ReturnTp) {});
  ImgStretchPtr s = Make(ImgScaleReplication, 3, 2, 6, 0, 1);
  ImgStretchTp *bad = nullptr;
  EXPECT_EQ(ImgCreateStretch(&bad, ImgScaleAveraging, 3, 2, 2, 2, 1, 1, 0, 2),
            CMN_E_INVALID_ARG | CMN_REPORTED);
  Bytes buf(12);
  EXPECT_EQ(ImgStretchRow(s.get(), 2, buf.data(), buf.data()), CMN_E_INVALID_ARG | CMN_REPORTED);
  CmnSetErrorHandler(CmnDefaultErrorHandler);
}

// pamscale -linear -reduce rounds the box mean; the scaler truncates it,
// and truncation in its horizontal pass can lose one more step when the
// mean of nine or more samples is a whole number. Four bytes per pixel
// must give what three give.
TEST(ImaScale, AveragingByWholeFactorIsTheBoxMean) {
  const struct {
    const char *program, *pattern;
    int f;
  } cases[] = {{"pgmramp", "-diag", 4},
               {"pgmramp", "-diag", 10},
               {"ppmpat", "-camo", 9},
               {"ppmpat", "-madras", 10}};
  TempDir dir;
  for (const auto &[program, pattern, f] : cases) {
    SCOPED_TRACE(testing::Message() << program << pattern << " reduced " << f);
    const RunResult made = RunProgram({program, pattern, "360", "180"});
    ASSERT_EQ(made.status, 0) << made.err;
    WriteFile(dir.file("in.pnm"), made.out);
    const RunResult reduced =
        RunProgram({"pamscale", "-linear", "-reduce", std::to_string(f), dir.file("in.pnm")});
    ASSERT_EQ(reduced.status, 0) << reduced.err;
    const int bpp = made.out[1] == '6' ? 3 : 1, w = 360, h = 180, ow = w / f, oh = h / f;
    const std::string head = made.out.substr(0, 3), reduced_head = head + std::to_string(ow) + " " +
                                                                   std::to_string(oh) + "\n255\n";
    ASSERT_EQ(made.out.substr(0, 15), head + "360 180\n255\n");
    ASSERT_EQ(reduced.out.substr(0, reduced_head.size()), reduced_head);
    const uint8_t *in = reinterpret_cast<const uint8_t *>(&made.out[15]);
    const uint8_t *ref = reinterpret_cast<const uint8_t *>(&reduced.out[reduced_head.size()]);
    Bytes ours(static_cast<size_t>(ow * oh * bpp));
    ASSERT_EQ(ImgStretchBuffer(in, ours.data(), w, h, ow, oh, bpp), 0u);
    for (int k = 0; k < ow * oh * bpp; k++) {
      const int x = k / bpp % ow, y = k / bpp / ow, b = k % bpp, area = f * f;
      int total = 0;
      for (int j = 0; j < f * f; j++) total += in[((y * f + j / f) * w + x * f + j % f) * bpp + b];
      const int mean = total / area;
      ASSERT_TRUE(ours[k] == mean || (f >= 9 && total % area == 0 && ours[k] == mean - 1))
          << x << "," << y << " mean " << total / double(area) << " ours " << int(ours[k]);
      ASSERT_TRUE(ref[k] == ours[k] || ref[k] == ours[k] + 1) << x << "," << y;
    }
    if (bpp != 3) continue;
    Bytes in4, ours4(static_cast<size_t>(ow * oh * 4));
    for (int k = 0; k < w * h; k++)
      in4.insert(in4.end(), {in[3 * k], in[3 * k + 1], in[3 * k + 2], in[3 * k]});
    ASSERT_EQ(ImgStretchBuffer(in4.data(), ours4.data(), w, h, ow, oh, 4), 0u);
    for (int k = 0; k < ow * oh * 4; k++) ASSERT_EQ(ours4[k], ours[k / 4 * 3 + k % 4 % 3]) << k;
  }
}
