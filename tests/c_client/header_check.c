/* The public header stands alone in a C11 translation unit. */
#include "nuvra_sig.h"

INuvraAPIC* (*const header_check_get)(void) = getNuvraSDKInstanceC;
