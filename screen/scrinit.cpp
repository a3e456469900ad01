// Opening a screen: the parameter checks, the choice of the resolution
// attribute and the control block.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "scrint.h"

#define CMN_SOURCE "scrinit"

namespace {

// The number of the parameter failure, 0 when there is none. Of several
// failures the highest number counts.
int ParameterFailure(SCR_CONTROL_BLOCK **block, const SCR_DRIVER_FUNCTIONS *functions,
                     const ScrModeTp *mode, const ScrInitRecordTp *init_record,
                     const ScrResAttributeTp *desired) {
  int failure = 0;
  if (!block || *block || !functions || !mode || !init_record || !desired) failure = 1;
  if (mode && mode->color_mode >= 2) failure = 2;
  if (mode && (mode->bits_per_color < 1 || mode->bits_per_color > 16)) failure = 3;
  if (functions && !ScrValidFunctions(functions)) failure = 4;
  return failure;
}

ReturnTp Refuse(int number, unsigned line) {
  fprintf(stderr, "Parameter Failure Code = %d\n", number);
  fflush(stderr);
  return CmnError(CMN_SOURCE, line, CMN_E_INVALID_ARG);
}

bool Matches(const ScrResAttributeTp &attr, const ScrResAttributeTp &desired,
             const ScrModeTp &mode) {
  if (memcmp(&attr, &desired, sizeof attr) != 0) return false;
  if (attr.cmap_entries != mode.cmap_entries || attr.bits_per_color != mode.bits_per_color)
    return false;
  return mode.color_mode == 1 ? attr.bw_supported == 1 : attr.rgb_supported == 1;
}

}  // namespace

ReturnTp ScrInit(SCR_CONTROL_BLOCK **block, const SCR_DRIVER_FUNCTIONS *functions,
                 const ScrModeTp *mode, ScrInitRecordTp *init_record,
                 const ScrResAttributeTp *desired, void *user_data) {
  if (int failure = ParameterFailure(block, functions, mode, init_record, desired))
    return Refuse(failure, __LINE__);

  // The attribute record is large; it lives on the heap until it is copied
  // into the control block.
  std::unique_ptr<ScrAttributesTp> attributes(new (std::nothrow) ScrAttributesTp());
  if (!attributes) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  if (ReturnTp rc = ScrGetAttributes(functions, user_data, attributes.get()))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);

  int chosen = -1;
  int count = attributes->n_resolutions;
  if (count > SCR_MAX_RESOLUTIONS) count = SCR_MAX_RESOLUTIONS;
  for (int i = 0; i < count; ++i)
    if (Matches(attributes->resolutions[i], *desired, *mode)) chosen = i;
  if (chosen < 0) return Refuse(7, __LINE__);

  auto *cb = static_cast<SCR_CONTROL_BLOCK *>(calloc(1, sizeof(SCR_CONTROL_BLOCK)));
  if (!cb) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  memcpy(cb->tag, SCR_CONTROL_BLOCK_TAG, sizeof cb->tag);
  cb->user_data = user_data;
  cb->functions = *functions;
  cb->resolution = chosen;
  cb->mode = *mode;
  cb->attributes = *attributes;
  cb->driver = init_record;
  cb->display_class = attributes->resolutions[chosen].display_class;
  *block = cb;
  return 0;
}
