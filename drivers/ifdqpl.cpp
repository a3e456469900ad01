// Placeholder until the driver is written: every operation says the
// format is not supported yet.
#include "drivers.h"

namespace {
ReturnTp NotYet() { return CmnError("ifdqpl", __LINE__, 0x06040001u, "Qpl"); }
}  // namespace

ReturnTp IfdQplInit(void **, IffOpenRequestTp *, IffControlBlockTp *) { return NotYet(); }
ReturnTp IfdQplRdHead(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdQplWtHead(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdQplRdScan(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdQplWtScan(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdQplTerm(void **state) { *state = nullptr; return 0; }
ReturnTp IfdQplRdCMap(void *, IffParamTp *) { return NotYet(); }
ReturnTp IfdQplWtCMap(void *, IffParamTp *) { return NotYet(); }
