// Status codes, raising, message texts, formatted heap texts and the info
// channel. Every layer reports failures through CmnError and formats its
// texts through CmnStrPrintf / CmnInfoPrintf.
#ifndef PV_COMMON_CMNERROR_H
#define PV_COMMON_CMNERROR_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "cmncodes.h"

// 0 is success. Bits 31..24 module, bit 20 reported mark, bits 19..16
// severity, bits 15..0 number within the module.
typedef uint32_t ReturnTp;

#define CMN_MODULE_MASK 0xFF000000u
#define CMN_REPORTED 0x00100000u
#define CMN_SEVERITY_MASK 0x000F0000u
#define CMN_NUMBER_MASK 0x0000FFFFu

#define CMN_SEV_INFO 0x00010000u
#define CMN_SEV_WARNING 0x00020000u
#define CMN_SEV_ERROR 0x00040000u
#define CMN_SEV_INTERNAL 0x00080000u

// One row of a message table; a table given to CmnErrorText as extension
// ends with a row whose message is null.
typedef struct {
  ReturnTp code;
  const char *message;
} CmnErrorTableTp;

typedef void (*CmnErrorHandlerTp)(ReturnTp code);
typedef void (*CmnDebugHandlerTp)(const char *text);
// The info handler owns *text from the call on: it must free it and set
// the pointer to null.
typedef void (*CmnInfoHandlerTp)(const char *kind, char **text);

extern ReturnTp CmnErrno;  // last code raised
extern uint16_t pvdebug;   // debug level; above 0 messages carry source and line
extern CmnErrorHandlerTp CmnHandleError;
extern CmnDebugHandlerTp CmnHandleDebug;
extern CmnInfoHandlerTp CmnInfoHandle;

// Raise a code once, where it is detected. Information and warnings come
// back as 0 (the caller carries on); errors come back with the reported
// mark so that callers pass them up unchanged.
ReturnTp CmnError(const char *source, unsigned line, ReturnTp code, ...);
ReturnTp CmnVError(const char *source, unsigned line, ReturnTp code, va_list args);
// Pass up a code that a callee returned: marked codes come back as they
// are; an unmarked one (raised while the filter hid it, or never raised)
// is raised here without reading arguments, keeping the text of its first
// raise when that was the last one.
ReturnTp CmnReraise(const char *source, unsigned line, ReturnTp code);
// An internal inconsistency that no input should cause: print the broken
// rule with its place and abort.
[[noreturn]] void CmnAssertFailed(const char *rule, const char *source, unsigned line);
#define CMN_ASSERT(cond)                                       \
  do {                                                         \
    if (!(cond)) CmnAssertFailed(#cond, CMN_SOURCE, __LINE__); \
  } while (0)

// Raise 0x00040019 with "<text>: <strerror(errno)>".
ReturnTp CmnSysError(const char *text);

// The message of a code, formatted with the arguments of the last raise,
// into a process-wide 512-byte buffer (valid until the next call).
const char *CmnErrorText(ReturnTp code, const CmnErrorTableTp *extension, FILE *stream);

void CmnFilterOn(uint32_t severity_mask);
void CmnFilterOff(uint32_t severity_mask);
CmnErrorHandlerTp *CmnSetErrorHandler(CmnErrorHandlerTp handler);
void CmnDefaultErrorHandler(ReturnTp code);

void CmnDebug(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Formatted heap texts. With dest null the scratch buffer itself is
// returned (valid until the next formatting call); with *dest null a heap
// copy is made; otherwise the result is appended to *dest.
char *CmnStrPrintf(char **dest, const char *format, ...) __attribute__((format(printf, 2, 3)));
char *CmnStrVPrintf(char **dest, const char *format, va_list args);
// Formats like CmnStrPrintf and hands the text to the info channel.
char *CmnInfoPrintf(char **dest, const char *format, ...) __attribute__((format(printf, 2, 3)));
void CmnInfo(const char *kind, char **text);
void CmnInfoFlush(char **text);
CmnInfoHandlerTp *CmnSetInfoHandler(CmnInfoHandlerTp handler);
void CmnDefaultInfoHandler(const char *kind, char **text);
void CmnStrFree(char **text);

// Allocation failure inside the common runtime: message and abort().
[[noreturn]] void CmnPanic(unsigned line, const char *source, const char *message);

// Test hook: the capacity of the shared scratch text (0 before first use).
size_t CmnStrCapacity(void);

#endif
