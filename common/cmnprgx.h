// Small runtime services shared by several layers: generic singly linked
// lists, the quoted-word parser, the program search along PATH, and the
// debugging hooks.
#ifndef PV_COMMON_CMNPRGX_H
#define PV_COMMON_CMNPRGX_H

#include <cstddef>

// A CmnLink node is any record whose first field is the next pointer; a
// CmnLink2 node has the head of a child list of the same kind as second.
typedef struct CmnLinkTp {
  struct CmnLinkTp *next;
} CmnLinkTp;

typedef struct CmnLink2Tp {
  struct CmnLink2Tp *next;
  struct CmnLink2Tp *child;
} CmnLink2Tp;

void *CmnLinkAppend(void *head_address, size_t node_size);
void *CmnLinkInsert(void *head_address, size_t node_size, int position);
void *CmnLinkGetEntry(void *head_address, int index);
int CmnLinkCount(const void *head);
void CmnLinkRemove(void *head_address, int index);
void CmnLinkFree(void *head_address);

void *CmnLink2Append(void *head_address, size_t node_size);
void *CmnLink2GetEntry(void *head_address, int index);
int CmnLink2Count(const void *head);
void CmnLink2Remove(void *head_address, int index);
void CmnLink2Free(void *head_address);

// Copies the next word of text into word (quotes removed, escapes
// resolved); returns the position after it.
const char *CmnParse(const char *text, char *word);

// The character that a backslash escape stands for. *p points just past
// the backslash, at a character that is not the end of the text, and is
// moved past the escape. Octal codes take at most max_octal digits (0: as
// many as follow); "\a" is the bell only with bell set, else an "a".
// Quotes, the backslash and any other character stand for themselves.
char CmnDecodeEscape(const char **p, int max_octal, bool bell);
// 1 when an executable file was found (its full name copied to result).
int CmnFindProgram(const char *name, char *result, size_t result_length);

// Called first by the programs: freed memory stays with the process up to
// 64 MiB instead of going back to the kernel at every free. Readers take
// and release a strip's working buffers thousands of times per page (a
// TIFF of 3-row fax strips: 9333 times), and each hand-back was a system
// call costing more than the decoding.
void CmnKeepFreedMemory();

typedef int (*CmnDebugCheckTp)(const char *text, int value);
typedef void (*CmnDebugOutputTp)(const char *text);
extern CmnDebugCheckTp CmnDebugCheckPtr;
extern CmnDebugOutputTp CmnDebugOutputPtr;
int CmnDebugCheck(const char *text, int value);
void CmnDebugOutput(const char *text);

#endif
