// The format drivers. Each fills the slot set of the image file interface
// for its type codes; the interface's driver table names them. Drivers
// read and write only through the file I/O layer.
#ifndef PV_DRIVERS_DRIVERS_H
#define PV_DRIVERS_DRIVERS_H

#include "imagefile.h"

#define IFD_DRIVER_SET(X)                                                   \
  ReturnTp Ifd##X##Init(void **state, IffOpenRequestTp *request,            \
                        IffControlBlockTp *cb);                             \
  ReturnTp Ifd##X##RdHead(void *state, IffParamTp *param);                  \
  ReturnTp Ifd##X##WtHead(void *state, IffParamTp *param);                  \
  ReturnTp Ifd##X##RdScan(void *state, IffParamTp *param);                  \
  ReturnTp Ifd##X##WtScan(void *state, IffParamTp *param);                  \
  ReturnTp Ifd##X##Term(void **state);

#define IFD_CMAP_OPS(X)                                    \
  ReturnTp Ifd##X##RdCMap(void *state, IffParamTp *param); \
  ReturnTp Ifd##X##WtCMap(void *state, IffParamTp *param);

// Native raw format (type 2).
IFD_DRIVER_SET(Qpl)
IFD_CMAP_OPS(Qpl)

// PBM, PGM, PPM and PAM (types 9 and 34); no colour-map operations.
IFD_DRIVER_SET(Pbm)

#endif
