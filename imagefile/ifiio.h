// File I/O of the image file layer: every driver reads and writes its file
// through an IfiHandleTp, never through stdio directly. The handle hides
// the difference between a disk file, standard input and the read end of a
// conversion filter pipe: the beginning of the input is kept in memory (the
// virtual buffer) so that identification can look at it and a driver can
// still seek backwards on streams that cannot seek. The layer also runs
// shell commands connected by pipes.
#ifndef PV_IMAGEFILE_IFIIO_H
#define PV_IMAGEFILE_IFIIO_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common.h"

#define IFI_SRV_READ 0
#define IFI_SRV_WRITE 1

// Bytes read ahead at open; identification sees at most this much.
#define IFI_INITIAL_READ 32768
// A disk file is copied into the virtual buffer only below this position...
#define IFI_VIRTUAL_LIMIT 0x80001
// ...and only until a forward seek of at least this many bytes.
#define IFI_FAR_SEEK 0x10001

// Which file to open, copied by value. An empty name is standard input on
// import and standard output on export. The image starts start_offset
// bytes into the file; all positions a driver passes to IfiSeek are
// relative to it.
typedef struct {
  const char *name;
  void *reserved;  // must be null when a name is given; never read here
  uint64_t start_offset;
} IffFileSpecTp;

// One open file. Created by IfiOpen/IfiOpenRead/IfiOpenWrite (zero-filled),
// owned by the driver that opened it, freed by IfiClose.
//
// While the handle is virtual, buffer[i] is byte i of the input stream
// counted from its very beginning, the stream stands right behind the
// valid bytes, and position is an index into buffer. Once direct (never
// back), buffer only holds bytes read ahead of the driver: position..valid
// are still to be delivered and the stream stands behind them.
typedef struct IfiHandleTp {
  FILE *stream;                       // file, stdin, stdout or filter pipe
  pid_t pid;                          // filter child (pipes only)
  std::vector<unsigned char> buffer;  // virtual buffer; size() is what is allocated
  int64_t start_offset;               // added to offsets given to IfiSeek
  int64_t position;                   // next byte to deliver, index into buffer
  int64_t valid;                      // filled bytes of buffer
  int32_t write_handle;               // 1 on export handles
  int32_t buffer_control;             // always 1
  int32_t is_pipe;                    // stream is a filter pipe
  uint32_t file_type;                 // detected type code
  int32_t seekable;                   // 1 for a named file, 0 for stdin/stdout
  int32_t direct;                     // virtual buffer no longer used
  char *description;                  // malloc'ed type name followed by "\n"
  int32_t exact_growth;               // grow by exactly what a read lacks, then go direct
  // Set by the conversion-filter stage.
  int32_t rasterized;
  int64_t file_size;   // from seeking to the end at open (0 if unknown)
  int64_t first_read;  // bytes of the input's first read, before any filter replaced it
  int32_t vector_filter;
  int32_t scaled;
  int32_t filter_fd;
  // Bytes IfiRead delivered from the input, and bytes it had to make up
  // as zeros past its end: a header that promises far more than the file
  // holds shows in the second.
  int64_t delivered;
  int64_t made_up;
  // Of the made-up bytes, those standing for damaged data that a driver
  // decoded past and warned about itself: bounded like the others, but no
  // missing data.
  int64_t salvaged;
} IfiHandleTp;

// Identification of the input's first bytes (at most IFI_INITIAL_READ, from
// the start offset). Installed by the identification module; while it is
// null every input is reported as type 0.
typedef uint32_t (*IfiIdentifyFnTp)(const unsigned char *buffer, int32_t length);
extern IfiIdentifyFnTp IfiIdentifyFn;

// Who opens an input (the reading layer's control block, in data), and how
// the filter stage reaches it: its rotation, and the note that a filter has
// turned the picture. It travels with the open, so that nothing of the
// layer above is held here. A null client or member: no rotation, no note.
typedef struct {
  void *data;
  int32_t (*rotation)(void *data);
  void (*rotated)(void *data);
  void (*filter_pid)(void *data, pid_t pid);
} IfiFilterClientTp;

// The conversion-filter stage, called by IfiOpenRead after identification
// for every input. It decides itself whether the type needs a filter; when
// it runs one it may replace handle->stream by a pipe (setting is_pipe, pid,
// start_offset and position to 0, seekable to 0), refill handle->buffer and
// valid with the filter's output and change file_type. command_header tells
// whether the input began with a "QPLCMD" header (its text starts at
// buffer[0]). A non-zero result makes the open fail and is passed up
// unchanged. While it is null no input is filtered; the programs install
// it at start-up, so that tests and fuzz targets never start a filter.
typedef ReturnTp (*IfiFilterStageFnTp)(const IfiFilterClientTp *client, const char *name,
                                       int command_header, IfiHandleTp *handle);
extern IfiFilterStageFnTp IfiFilterStageFn;

// service IFI_SRV_READ or IFI_SRV_WRITE.
ReturnTp IfiOpen(const IffFileSpecTp *spec, int service, IfiHandleTp **handle);
// client (or null) is passed on to the filter stage.
ReturnTp IfiOpenRead(const IfiFilterClientTp *client, const IffFileSpecTp *spec,
                     IfiHandleTp **handle);
ReturnTp IfiOpenWrite(const IffFileSpecTp *spec, IfiHandleTp **handle);
// Ends a filter pipe (IfiClosePipe) and reports how the filter ended;
// never closes stdin/stdout. Frees the handle.
ReturnTp IfiClose(IfiHandleTp *handle);

// Reads size x count bytes. A short read that delivers at least one item
// succeeds. When nothing is delivered the code is returned without being
// raised (drivers probe with it): IFI_E_EOF with the buffer zero-filled at
// the end of a file, IFI_E_READ otherwise.
// The zeros made up at the end of a file are counted (made_up).
ReturnTp IfiRead(void *buffer, size_t size, size_t count, IfiHandleTp *handle);
// True when the zeros made up past the end of the input outweigh what it
// held by far: more than 64 MiB and more than 16 times the bytes read. A
// file cut short still reads to its end as zeros; a tiny file whose
// header claims billions of lines is stopped after bounded work.
bool IfiInputExhausted(const IfiHandleTp *handle);
// For drivers that read through IfiFetch (text formats): bytes taken from
// the input and values made up past its end, in the same balance.
void IfiAccount(IfiHandleTp *handle, int64_t delivered, int64_t made_up);
// Bytes made up for damaged data the driver has warned about (a fax strip
// decoded past an invalid code): counted in made_up and in salvaged.
void IfiAccountSalvaged(IfiHandleTp *handle, int64_t made_up);
// The working routine of IfiRead: the number of whole items delivered. A
// null buffer appends count items from the stream to the virtual buffer.
size_t IfiFetch(void *buffer, size_t size, size_t count, IfiHandleTp *handle);
// Copies up to size x count bytes from the position without advancing;
// returns the bytes copied (or available, when buffer is null).
size_t IfiPeek(void *buffer, size_t size, size_t count, IfiHandleTp *handle);
ReturnTp IfiWrite(const void *buffer, size_t size, size_t count, IfiHandleTp *handle);
// whence 0 from the start offset, 1 from the position, 2 from the end.
ReturnTp IfiSeek(IfiHandleTp *handle, int64_t offset, int whence);
// The position a driver sees: relative to the start offset.
ReturnTp IfiTell(IfiHandleTp *handle, int64_t *position);
// mode 0 full, 1 line, 2 no buffering (as setvbuf).
ReturnTp IfiSetBuffer(IfiHandleTp *handle, char *buffer, int mode, size_t size);
ReturnTp IfiRemove(const char *name);

// Runs command through "/bin/sh -c" in a process group of its own and
// returns the parent's end: with bidirectional 0, mode "r" gives a stream
// reading the command's standard output and "w" one writing its standard
// input; with bidirectional 1 the result reads its output and
// *write_stream writes its input (mode is ignored). Null on failure. Close
// the write stream before draining or closing the read stream, or the
// child never sees the end of its input. The command reaches the shell as
// it is: quote every file name in it with CmnShellQuote. A read stream is
// unbuffered, so stdio reads and IfiPipeRead may be mixed. An error_fd of 0
// or more becomes the command's standard error (the caller keeps it).
// The child is recorded until IfiClosePipe, so that IfiEndChildren can
// end it.
FILE *IfiOpenPipe(const char *command, const char *mode, pid_t *pid, FILE **write_stream,
                  int bidirectional, int error_fd = -1);
// Reads up to length bytes of the child's output. Short at its end; also
// short, with errno set to ETIMEDOUT, when the child has written nothing
// for IfiFilterTimeout() seconds: its process group has then been ended,
// and later reads return nothing. Waits in poll, never in sleeps.
size_t IfiPipeRead(FILE *stream, void *buffer, size_t length);
size_t IfiPipeWrite(FILE *stream, const void *buffer, size_t length);
// Reads the child's output to its end (each wait bounded as above).
void IfiEmptyPipe(FILE *stream);
// Closes the stream and ends the child's process group. A child that has
// written all its output (or, on a write stream, been handed all its
// input) gets a moment to exit by itself; whatever is left of its group
// then gets SIGTERM and, once it has had a short grace to go, SIGKILL.
// Returns the wait status of a child that exited by itself, or -1 when it
// had to be ended (or on failure).
int IfiClosePipe(FILE *stream, pid_t pid);
// Ends the process group of every child of IfiOpenPipe that is still
// running, as IfiClosePipe does, without reaping. Safe in a signal handler.
void IfiEndChildren(void);
// The seconds a filter may keep us waiting for output: PVFILTERTIMEOUT, or
// 300 when that is unset or not a positive whole number.
int IfiFilterTimeout(void);
// Reports a filter's end: nothing for the wait status 0 or for -1 (ended
// by us), a warning for a non-zero exit status or a signal. Each report
// counts as a failure for IfiFilterFailed.
void IfiReportFilterStatus(int status);
// Raises the time-out message (a failure too) and returns its code.
ReturnTp IfiReportFilterTimeout(void);
// True once a filter of this process has failed or has been stopped for
// its silence: the picture read from it may be incomplete.
bool IfiFilterFailed(void);
// Sets that state back, for a reader that got the picture another way
// after a converter failed.
void IfiSetFilterFailed(bool failed);
// Makes pipe creation take a process-wide mutex.
void IfiEnableLocking(void);

#endif
