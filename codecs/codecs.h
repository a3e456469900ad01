// What the other layers may call in the codecs layer.
#ifndef PV_CODECS_CODECS_H
#define PV_CODECS_CODECS_H

#include "ccitt.h"
#include "jpeg.h"
#include "jtk.h"

#endif
