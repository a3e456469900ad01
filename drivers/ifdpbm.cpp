// Placeholder until the driver is written: every operation says the
// format is not supported yet.
#include "drivers.h"

namespace {
ReturnTp NotYet() { return CmnError("ifdpbm", __LINE__, 0x06040001u, "Pbm"); }
}  // namespace

ReturnTp IfdPbmInit(void **, IffOpenRequestTp *, IffControlBlockTp *) { return NotYet(); }
ReturnTp IfdPbmRdHead(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdPbmWtHead(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdPbmRdScan(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdPbmWtScan(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdPbmTerm(void **state) { *state = nullptr; return 0; }
