// Asking a driver for its attributes, and writing them out.
#include <cstdio>

#include "scrint.h"

#define CMN_SOURCE "scrattr"

ReturnTp ScrGetAttributes(const SCR_DRIVER_FUNCTIONS *functions, void *user_data,
                          ScrAttributesTp *attributes) {
  if (!ScrValidFunctions(functions) || !attributes)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!functions->get_attributes) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
  if (ReturnTp rc = functions->get_attributes(user_data, attributes))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  return 0;
}

void ScrDumpAttributes(const ScrAttributesTp *a) {
  if (!a) return;
  static const char kRule[] = "-----------------------------\n";
  FILE *f = stderr;
  fputs(kRule, f);
  fputs("       SCR  ATTRIBUTES\n", f);
  fputs(kRule, f);
  fprintf(f, "Scrolling Supported = %d\n", a->scrolling_supported);
  fprintf(f, "Panning Supported   = %d\n", a->panning_supported);
  fprintf(f, "Zooming Supported   = %d\n", a->zooming_supported);
  fputs(kRule, f);
  fprintf(f, "Async Display       = %d\n", a->async_display);
  fprintf(f, "Status Supported    = %d\n", a->status_supported);
  fprintf(f, "Noises Supported    = %d %d %d %d\n", a->noises_supported[0], a->noises_supported[1],
          a->noises_supported[2], a->noises_supported[3]);
  fprintf(f, "No Of Resolutions   = %d\n", a->n_resolutions);
  for (int i = 0; i < a->n_resolutions && i < 6; ++i) {
    const ScrResAttributeTp &r = a->resolutions[i];
    fputs(kRule, f);
    fprintf(f, "  RES ATTRIBUTE NUMBER : %d\n", i);
    fprintf(f, "Width, Height, Ratio = %d, %d, %f\n", r.width, r.height, r.ratio);
    fprintf(f, "ColorMap Entries     = %d  ", r.cmap_entries);
    fprintf(f, "Bits per Color       = %d\n", r.bits_per_color);
    fprintf(f, "Format, Depth        = %d %d\n", r.format, r.depth);
    fprintf(f, "RGB - BW Supported   = %d - %d\n", r.rgb_supported, r.bw_supported);
    fprintf(f, "Writable ColorMap    = %d\n", r.writable_cmap);
    fprintf(f, "Technicolor - Fast   = %d - %d\n", r.technicolor, r.fast);
    fprintf(f, "RGB All The Same     = %d  ", r.rgb_all_same);
    fprintf(f, "Driver Defined       = %d\n", r.driver_defined);
  }
  fflush(f);
}
