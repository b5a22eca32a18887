// The public header stands alone in a C++17 translation unit.
#include "nuvra_sig.h"

nuvra_sdk_cpp::INuvraAPI* (*const header_check_get)() = getNuvraSDKInstanceCPP;
