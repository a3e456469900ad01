// The PNG reader of the PNG driver, shared with the drivers that carry a
// PNG picture inside another file (the layout driver's preview).
#ifndef PV_DRIVERS_IFDPNG_H
#define PV_DRIVERS_IFDPNG_H

#include <vector>

#include "imagefile.h"

// A PNG reader over a PNG held in memory. It takes over data, and handle
// (the file the picture came from, which may be null) is kept open until
// IfdPngTerm, because the interface still looks at it. request->recognised
// tells whether data starts with the PNG signature.
ReturnTp IfdPngOpenMemory(std::vector<unsigned char> &&data, IfiHandleTp *handle, void **state,
                          IffOpenRequestTp *request);

// The PNG driver's operations (drivers/ifdpng.cpp).
ReturnTp IfdPngInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *cb);
ReturnTp IfdPngRdHead(void *state, IffParamTp *p);
ReturnTp IfdPngRdCMap(void *state, IffParamTp *p);
ReturnTp IfdPngRdScan(void *state, IffParamTp *p);
ReturnTp IfdPngWtHead(void *state, IffParamTp *p);
ReturnTp IfdPngWtCMap(void *state, IffParamTp *p);
ReturnTp IfdPngWtScan(void *state, IffParamTp *p);
ReturnTp IfdPngTerm(void **state);

// The layout driver's reading operations (drivers/ifdlay.cpp): other
// drivers whose files carry the same preview read it with these.
ReturnTp IfdLayInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *cb);
ReturnTp IfdLayRdHead(void *state, IffParamTp *p);
ReturnTp IfdLayRdCMap(void *state, IffParamTp *p);
ReturnTp IfdLayRdScan(void *state, IffParamTp *p);
ReturnTp IfdLayTerm(void **state);

#endif
