// What the other layers may call in the raster image core.
#ifndef PV_IMAGE_IMAGE_H
#define PV_IMAGE_IMAGE_H

#include "imatypes.h"
#include "imaraw.h"
#include "imarotat.h"
#include "imascale.h"
#include "imacolor.h"
#include "imautil.h"
#include "ima24to8.h"
#include "imaread.h"

#endif
