// The wiring of the layers: the hooks through which a lower layer reaches
// a higher one, set once, explicitly, at the start of every program, test
// program, benchmark and fuzz target. Nothing is wired by static
// constructors, which run only when their object file happens to be
// linked.
#ifndef PV_INIT_PVINIT_H
#define PV_INIT_PVINIT_H

// PvInit flags.
#define PV_INIT_FILTERS 1  // page and vector files go through the conversion filters

// Hands the image file interface the list of formats, installs the
// reading layer under the raster and, with PV_INIT_FILTERS, the filter
// stage under the I/O layer (only the programs start filters). Call it
// once, before any file is opened.
void PvInit(int flags);

#endif
