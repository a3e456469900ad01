// What the other layers may call in the image file layer.
#ifndef PV_IMAGEFILE_IMAGEFILE_H
#define PV_IMAGEFILE_IMAGEFILE_H

#include "ifd.h"
#include "iff.h"
#include "ififlt.h"
#include "ifiio.h"
#include "ifu.h"

#endif
