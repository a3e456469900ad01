// Layout documents, and the other vector and page types routed to the same
// driver, are not drawn by this program: what it shows of them is the
// preview picture some of them carry, a PNG in Base64 as the value of a
// "preview" member near the start of the text. Such files are only read.
#include <cstring>
#include <vector>

#include "drivers.h"
#include "ifdpng.h"

#define CMN_SOURCE "ifdlay"

namespace {

// The member and the start of its picture lie within this many bytes of
// the start of the file; the Base64 text itself may run on to the end.
constexpr size_t kWindow = 8192;
constexpr size_t kChunk = 65536;
const char kMember[] = "\"preview\"";
const char kPngStart[] = "iVBOR";  // the first bytes of the PNG signature in Base64

int Base64Value(int c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Base64 from the handle's position to the first character that belongs
// to no Base64 text, or to the end of the file. White space is skipped,
// and so are the escapes a JSON writer may put into a wrapped value ("\n",
// "\r"); "\/" is a slash. A last group of 2 or 3 characters gives 1 or 2
// bytes.
ReturnTp DecodeBase64(IfiHandleTp *handle, std::vector<unsigned char> *out) {
  try {
    std::vector<unsigned char> chunk(kChunk);
    uint32_t group = 0;
    int count = 0;
    bool escape = false, done = false;
    while (!done) {
      const size_t n = IfiFetch(chunk.data(), 1, kChunk, handle);
      for (size_t i = 0; i < n && !done; ++i) {
        const int c = chunk[i];
        if (escape) {
          escape = false;
          if (c == 'n' || c == 'r') continue;
          if (c != '/') {
            done = true;
            break;
          }
        } else if (c == '\\') {
          escape = true;
          continue;
        } else if (IsSpace(c)) {
          continue;
        }
        const int v = Base64Value(c);
        if (v < 0) {
          done = true;
          break;
        }
        group = group << 6 | static_cast<uint32_t>(v);
        if (++count == 4) {
          out->insert(out->end(),
                      {static_cast<unsigned char>(group >> 16),
                       static_cast<unsigned char>(group >> 8), static_cast<unsigned char>(group)});
          group = 0;
          count = 0;
        }
      }
      if (n < kChunk) break;
    }
    if (count == 2) out->push_back(static_cast<unsigned char>(group >> 4));
    if (count == 3)
      out->insert(out->end(), {static_cast<unsigned char>(group >> 10),
                               static_cast<unsigned char>(group >> 2)});
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  return 0;
}

// Where the preview's Base64 text starts, or -1.
int64_t FindPreview(IfiHandleTp *handle) {
  char text[kWindow + 1];
  if (IfiSeek(handle, 0, 0) != 0) return -1;
  const size_t n = IfiFetch(text, 1, kWindow, handle);
  // A text search that stops at no zero byte.
  for (size_t i = 0; i < n; ++i)
    if (text[i] == 0) text[i] = ' ';
  text[n] = 0;
  const char *member = strstr(text, kMember);
  const char *start = member ? strstr(member + strlen(kMember), kPngStart) : nullptr;
  return start ? start - text : -1;
}

}  // namespace

ReturnTp IfdLayInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  if (request->service == IFF_SRV_EXPORT)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT,
                    "ERROR: ifd does not support write of Plotvise Layouts\n");

  // A stream handed in stays the caller's until this call succeeds.
  IfiHandleTp *handle = nullptr;
  bool opened_here = false;
  ReturnTp rc = IffOpenDriverStream(request, &handle, nullptr, 0, &opened_here);
  if (rc) return rc;
  request->recognised = 0;
  const int64_t start = FindPreview(handle);
  if (start < 0) {
    if (opened_here) IfiClose(handle);
    // Reported here, once; the interface hands the code on as it is.
    CmnError(CMN_SOURCE, __LINE__, IFF_W_NO_PREVIEW);
    return IFF_W_NO_PREVIEW;
  }
  std::vector<unsigned char> png;
  rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(handle, start, 0));
  if (!rc) {
    // Only forward reads from here on: the I/O layer keeps no copy.
    handle->exact_growth = 1;
    rc = DecodeBase64(handle, &png);
  }
  if (!rc) rc = IfdPngOpenMemory(std::move(png), handle, state, request);
  if (rc && opened_here) IfiClose(handle);
  return rc;
}

ReturnTp IfdLayRdHead(void *state, IffParamTp *p) { return IfdPngRdHead(state, p); }
ReturnTp IfdLayRdCMap(void *state, IffParamTp *p) { return IfdPngRdCMap(state, p); }
ReturnTp IfdLayRdScan(void *state, IffParamTp *p) { return IfdPngRdScan(state, p); }
ReturnTp IfdLayTerm(void **state) { return IfdPngTerm(state); }

// Writing is refused by Init, with the message of its own; the driver
// therefore has no writer word.
const IffFormatTp IfdLayFormat = {
    "Layout",
    {{IFF_TYPE_LAYOUT, "Plotvise Layout."},
     {IFF_TYPE_SVG, "SVG (Scalable Vector Graphics)."},
     {IFF_TYPE_EMF, "EMF (Enhanced MetaFile)."},
     {IFF_TYPE_WMF, "WMF (Window MetaFile)."},
     {IFF_TYPE_CMP, "CMP (ZEH layout)."},
     {IFF_TYPE_EDIT, "EDIT (SDI layout)."},
     {IFF_TYPE_APIC, "APic"},
     {IFF_TYPE_PDF, "PDF."},
     {IFF_TYPE_PDS, "PDS (Schlumberger PDS format)."},
     {IFF_TYPE_XPS, "XPS."},
     {IFF_TYPE_DICOM, "DICOM."},
     {IFF_TYPE_PVPRJ, "PVPRJ (Vistrada Project)"},
     {44, nullptr},
     {45, nullptr},
     {46, nullptr},
     {47, nullptr}},
    0,
    0,
    {IfdLayInit, IfdLayRdHead, nullptr, IfdLayRdCMap, nullptr, IfdLayRdScan, nullptr, IfdLayTerm},
    {},
    0,
};
