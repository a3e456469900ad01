// Every status code of the system with its one name and its message: the
// rows of the message table and the names that raise sites use.
#ifndef PV_COMMON_CMNCODES_H
#define PV_COMMON_CMNCODES_H

#include <cstdint>

// X(name, code, message). Bits 31..24 module, 19..16 severity (1 info,
// 2 warning, 4 error, 8 internal), 15..0 number. A later row for the same
// code would win; there is none.
// clang-format off: one row a code, its continuation marks where the rows end
#define CMN_CODE_TABLE(X)                                                                        \
  /* System services: files, memory, directories, arguments, texts. */                           \
  X(CMN_E_NO_SUCH_FILE, 0x00040001u, "The file or directory does not exist")                     \
  X(CMN_E_IO, 0x00040002u, "I/O error")                                                          \
  X(CMN_E_NOMEM, 0x00040003u, "Not enough memory")                                               \
  X(CMN_E_PERMISSION, 0x00040004u, "Permission denied")                                          \
  X(CMN_E_EXISTS, 0x00040005u, "File already exists")                                            \
  X(CMN_E_NOT_DIR, 0x00040006u, "Not a directory")                                               \
  X(CMN_E_IS_DIR, 0x00040007u, "The file is a directory")                                        \
  X(CMN_E_ENVIRONMENT, 0x00040009u, "Invalid environment")                                       \
  X(CMN_E_NOT_SUPPORTED, 0x0004000Au, "Arg. not supported")                                      \
  X(CMN_E_TOO_MANY_FILES, 0x0004000Bu, "Too many open files")                                    \
  X(CMN_E_NO_SPACE, 0x0004000Cu, "No space on device")                                           \
  X(CMN_E_DOMAIN, 0x0004000Du, "Domain error")                                                   \
  X(CMN_E_RANGE, 0x0004000Eu, "Result too large")                                                \
  X(CMN_E_OPEN_FILE, 0x00040010u, "Cannot open file")                                            \
  X(CMN_E_OPEN, 0x00040011u, "Cannot open %s")                                                   \
  X(CMN_E_READ_FILE, 0x00040012u, "Cannot read file")                                            \
  X(CMN_E_READ, 0x00040013u, "Cannot read %s")                                                   \
  X(CMN_E_WRITE_FILE, 0x00040014u, "Cannot write file")                                          \
  X(CMN_E_WRITE, 0x00040015u, "Cannot write %s")                                                 \
  X(CMN_E_NAME_TOO_LONG, 0x00040016u, "Name, <%s>, too long. Max %d allowed")                    \
  X(CMN_E_TOO_MANY_PARAMS, 0x00040017u, "Too many parameters specified")                         \
  X(CMN_E_SYSCALL, 0x00040018u, "General system call error")                                     \
  X(CMN_E_TEXT, 0x00040019u, "%s")                                                               \
  X(CMN_E_TEXT2, 0x0004001Au, "%s%s")                                                            \
  X(CMN_E_TEXT3, 0x0004001Bu, "%s%s%s")                                                          \
  X(CMN_E_TEXT4, 0x0004001Cu, "%s%s%s%s")                                                        \
  X(CMN_E_TEXT5, 0x0004001Du, "%s%s%s%s%s")                                                      \
  X(CMN_E_MKDIR, 0x0004001Eu, "Cannot create directory %s")                                      \
  X(CMN_E_MOVE, 0x0004001Fu, "Cannot move file %s to %s")                                        \
  X(CMN_E_COPY, 0x00040020u, "Cannot copy file %s to %s")                                        \
  X(CMN_E_NOMEM_AT, 0x00040021u, "%s %d: Not enough memory")                                     \
  X(CMN_E_OPEN_NAMED, 0x00040022u, "Cannot open %s")                                             \
  X(CMN_W_UNKNOWN_TYPE, 0x00020001u, "Unknown type of file %s")                                  \
  X(CMN_W_SAVE_RASTERIZED, 0x00020002u, "Cannot save rasterized Vector Graphics file")           \
  X(CMN_E_INVALID_ARG, 0x00080001u, "Invalid argument")                                          \
  X(CMN_E_INVALID_STATE, 0x00080002u, "Invalid state")                                           \
  /* Image file interface. */                                                                    \
  X(IFF_E_CB_NOT_NULL, 0x05080002u, "Control block pointer should be NULL")                      \
  X(IFF_E_NO_FILENAME, 0x05080003u, "File name points to NULL")                                  \
  X(IFF_E_UNKNOWN_TYPE, 0x05080006u, "Unknown file type")                                        \
  X(IFF_E_CB_NULL, 0x05080007u, "Control block pointer is NULL")                                 \
  X(IFF_E_SERVICE, 0x05080008u, "Service confusion from the application")                        \
  X(IFF_E_BAD_HEADER, 0x0508000Au, "Bad file header params returned from driver")                \
  X(IFF_E_WIDTH, 0x0508000Bu, "Strange width of the image")                                      \
  X(IFF_E_HEIGHT, 0x0508000Cu, "Strange height of the image")                                    \
  X(IFF_E_HAS_CMAP, 0x0508000Eu, "Is there a colormap or not")                                   \
  X(IFF_E_CMAP, 0x0508000Fu, "Strange color map")                                                \
  X(IFF_E_CMAP_SIZE, 0x05080010u, "Strange color map size")                                      \
  X(IFF_E_ORIENTATION, 0x05080011u, "Strange orientation")                                       \
  X(IFF_E_MIRRORED, 0x05080012u, "Invalid mirrored state")                                       \
  X(IFF_E_WT_HEADER, 0x05080016u, "Invalid parameters while writing file header")                \
  X(IFF_E_CMAP_PTR, 0x05080017u, "The colormap pointer is NULL")                                 \
  X(IFF_E_NO_CMAP_RD, 0x05080018u, "There is not colormap to read")                              \
  X(IFF_E_NO_CMAP_WT, 0x05080019u, "There is not colormap to write")                             \
  X(IFF_E_SCANLINE_PTR, 0x0508001Au, "The ScanLine pointer is NULL")                             \
  X(IFF_E_RD_NO_LINE, 0x0508001Bu, "Reading a line that does not exist")                         \
  X(IFF_E_WT_NO_LINE, 0x0508001Du, "Writing a line that does not exist")                         \
  X(IFF_E_NOT_LINKED, 0x0508001Fu, "The requested driver is not linked in")                      \
  X(IFF_E_IMPORT_ONLY, 0x05080020u, "The IFD has been set up for import only")                   \
  X(IFF_W_NO_PREVIEW, 0x05020021u, "The layout does not have a preview")                         \
  /* Format drivers. */                                                                          \
  X(IFD_E_UNSUPPORTED, 0x06040001u, "Unsupported %s format")                                     \
  X(IFD_E_CONVERT, 0x06040002u, "Cannot convert to %s format")                                   \
  X(IFD_E_INVALID_DATA, 0x06040003u, "Invalid Data in %s format")                                \
  X(IFD_E_IMPORT_SEQUENCE, 0x06080005u, "Invalid line sequence during import")                   \
  X(IFD_E_EXPORT_SEQUENCE, 0x06080006u, "Invalid line sequence during export")                   \
  X(IFD_E_NEEDS_CMAP, 0x06080007u, "The driver expects a color map")                             \
  X(IFD_E_NEEDS_RGB, 0x06080008u, "The driver expects image data in RGB form")                   \
  X(IFD_E_CMAP_SIZE, 0x06080009u, "Invalid color map size during export")                        \
  X(IFD_E_WRITE_HEADER, 0x0608000Bu, "Cannot write the header information")                      \
  X(IFD_E_WRITE_LINE, 0x0608000Cu, "Cannot write a scan line")                                   \
  X(IFD_E_NO_COMPRESSION, 0x0608000Du, "The driver does not handle compression")                 \
  X(IFD_E_WRITE_CMAP, 0x0608000Eu, "Cannot write the color map")                                 \
  X(IFD_E_COMPRESSION, 0x06080010u, "The driver cannot handle the desired compression")          \
  X(IFD_E_PCX_VERSION, 0x0604008Cu, "Version of PCX file is not supported")                      \
  X(IFD_E_PCX_COLOR_MODE, 0x0604008Du, "Unsupported color mode in PCX file")                     \
  X(IFD_E_GIF_RECORD, 0x0608007Au, "Invalid GIF record in file")                                 \
  X(IFD_E_GIF_DESCRIPTOR, 0x0608007Bu, "Cannot read the GIF image descriptor")                   \
  X(IFD_E_GIF_DECOMPRESS, 0x0608007Cu, "Cannot decompress GIF scan line")                        \
  X(IFD_E_GIF_EXTENSION, 0x0608007Du, "Cannot get GIF extension block")                          \
  X(IFD_E_GIF_EXTENSION_HANDLING, 0x0608007Eu, "Problems with GIF extension block handling")     \
  X(IFD_E_GIF_CLOSE, 0x0608007Fu, "GIF problems during close")                                   \
  X(IFD_E_TIFF_PLANAR, 0x060400B5u, "TIFF planar configuration not supported")                   \
  X(TIFF_W_GXCONVERT, 0x060100C1u, "Old-style JPEG written by gXconvert: 8-bit samples assumed") \
  X(IFD_E_TIFF_BITS, 0x060400B6u, "TIFF bits per sample not supported")                          \
  X(IFD_W_FAX_DAMAGED, 0x060200C2u, "Damaged fax data: the rows from row %lu on may be wrong")   \
  X(IFD_E_CAEDS_NO_RASTER, 0x060400BEu, "No Raster Data in I-DEAS Picture File")                 \
  X(IFD_E_CAEDS_OVERFLOW, 0x060800BFu, "Data Overflow in I-DEAS Picture Command")                \
  X(IFD_E_WHOLE_IMAGE, 0x060400C9u, "Interlaced %s of %d x %d pixels is too large to hold")      \
  X(IFD_E_TOO_LARGE, 0x060400C8u, "%s files cannot hold a picture of %d x %d pixels")            \
  /* Format conversion utilities. */                                                             \
  X(IFU_E_CONVBPC, 0x07080003u, "Unnecessary call of IfuConvBPC()")                              \
  X(IFU_E_RLKIND, 0x07080004u, "Invalid RL encoding")                                            \
  X(IFU_E_RLUNIT, 0x07080005u, "Only byte oriented RL encoding is supported")                    \
  X(IFU_E_PIXPERBYTE, 0x07080006u, "Invalid number of pixels per byte")                          \
  /* File I/O. */                                                                                \
  X(IFI_E_EMPTY, 0x08040004u, "Empty file")                                                      \
  X(IFI_E_CLOSE, 0x08080004u, "Cannot close file")                                               \
  X(IFI_E_READ, 0x08080006u, "Cannot read file")                                                 \
  X(IFI_E_NOTFOUND, 0x08080009u, "File not found")                                               \
  X(IFI_E_EOF, 0x0808000Au, "Unexpected End-Of-File")                                            \
  X(IFI_W_DATA_MISSING, 0x0802000Au, "Unexpected End-Of-File: the picture is incomplete")        \
  X(IFI_E_SETBUF, 0x0808000Bu, "Cannot set file buffer")                                         \
  X(IFI_E_BADSTREAM, 0x0808000Cu, "Invalid or unopend stream")                                   \
  X(IFI_E_STREAM, 0x0808000Du, "Invalid file stream")                                            \
  X(IFI_E_FILTER_TIMEOUT, 0x08040030u,                                                           \
    "The filter wrote nothing for %d s and was stopped (PVFILTERTIMEOUT)")                       \
  X(IFI_W_FILTER_STATUS, 0x08020031u, "The filter ended with status %d")                         \
  X(IFI_W_FILTER_SIGNAL, 0x08020032u, "The filter was ended by signal %d")                       \
  X(IFI_W_FILTER_LOG, 0x08020033u,                                                               \
    "Filter messages are not written to %s: a link or not a file of this user")                  \
  X(IFI_W_FILTER_USER, 0x08020034u,                                                              \
    "Filter messages are not logged: the user name %s holds a '/'")                              \
  /* TIFF reading. */                                                                            \
  X(TIFF_E_NOT_TIFF, 0x0A040001u, "Not a Tiff file")                                             \
  X(TIFF_E_INVALID, 0x0A040002u, "Invalid or unsupported Tiff file")                             \
  X(TIFF_E_COMPRESSION, 0x0A040003u, "Compression not supported")                                \
  X(TIFF_E_UNSUPPORTED, 0x0A040004u, "Unsupported Tiff file")                                    \
  X(TIFF_E_DIR_BEYOND_END, 0x0A040005u, "Tiff directory at byte %lu: past the end of the file")  \
  X(TIFF_E_DIR_CUT, 0x0A040006u, "Tiff directory at byte %lu: cut short by the end of the file") \
  X(TIFF_E_COMPRESSION_NAMED, 0x0A040007u, "TIFF compression %lu%s is not supported")            \
  X(TIFF_E_JPEG_TABLE, 0x0A040008u, "Old-style JPEG table at byte %lu lies outside the file")    \
  /* File-name arguments, start-up, screen visuals. */                                           \
  X(CMD_E_TILDE, 0x14040006u, "Could not subsitute '~' with users home directory")               \
  X(CMN_E_NOSYSDIR, 0x18040007u,                                                                 \
    "Use the option '-sys <sysdir>' or set the SYSDIR variable\n"                                \
    "to specify the path-name of the system directory")                                          \
  X(SCR_E_VISUALS, 0x1D040001u, "Too many visuals encountered")                                  \
  /* Codec stream handles and buffers. */                                                        \
  X(IFU_E_HANDLE_SET, 0x20080001u, "Handle atready allocated")                                   \
  X(IFU_E_ALLOC_HANDLE, 0x20040002u, "Cannot allocate handle")                                   \
  X(IFU_E_ALLOC_BUFFER, 0x20040003u, "Cannot allocate buffer")                                   \
  X(IFU_E_HANDLE, 0x20080004u, "Invalid handle")                                                 \
  X(IFU_I_EOD, 0x20010005u, "EOD found")                                                         \
  X(IFU_E_BUFFER, 0x20080006u, "Invalid buffer")                                                 \
  X(IFU_E_CHARACTER, 0x20040007u, "Invalid character")                                           \
  X(IFU_W_DATA_LOST, 0x20020008u, "Data lost")                                                   \
  X(IFU_E_JPEG, 0x20040009u, "Cannot decode the JPEG data: %s")                                  \
  X(IFU_E_STRIP, 0x2008000Bu, "Non-integral strip")                                              \
  X(IFU_I_PAUSED, 0x2001000Eu, "Paused")                                                         \
  X(IFU_E_INTERNAL, 0x200800FFu, "Internal error")                                               \
  /* Pages of a multi-page image. */                                                             \
  X(IFF_I_NO_MORE_PAGES, 0x22010001u, "No more pages")                                           \
  /* end */
// clang-format on

#define CMN_CODE_NAME(name, code, message) name = code,
enum CmnCodeTp : uint32_t { CMN_CODE_TABLE(CMN_CODE_NAME) };
#undef CMN_CODE_NAME

#endif
