// What the other layers may call in the raster image core.
#ifndef PV_IMAGE_IMAGE_H
#define PV_IMAGE_IMAGE_H

#include "ima24to8.h"
#include "imacolor.h"
#include "imaraw.h"
#include "imaread.h"
#include "imarotat.h"
#include "imascale.h"
#include "imatypes.h"
#include "imautil.h"

#endif
