// File type identification from a file's first bytes, never its name.
#ifndef PV_IMAGEFILE_IFD_H
#define PV_IMAGEFILE_IFD_H

#include <cstdint>

// Set by a host to enable the layout canvas test; 0 unless set.
extern int32_t do_valid_lay;

// The type code of the data in buffer (n bytes), 0 when unknown.
uint32_t IfiIdentify(const unsigned char *buffer, int32_t n);
// IfiIdentify, then the host's veto (IfiValidateFormatImplementation).
uint32_t IfiIdentifyChecked(const unsigned char *buffer, int32_t n);

#endif
