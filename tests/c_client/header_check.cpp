// The public header stands alone in a C++ translation unit, and an
// application's handlers name its types as it does, without std::.
#include "nuvra_sig.h"

nuvra_sdk_cpp::INuvraAPI* (*const header_check_get)() = getNuvraSDKInstanceCPP;

struct HeaderCheckEvents : nuvra_sdk_cpp::ICallBack {
    void onLoginSuccess(uint32_t uid, int fd) override { (void)uid; (void)fd; }
    void onLog(const char* txt, size_t txt_size) override { (void)txt; (void)txt_size; }
};

// The codes by name, as an application compares them.
bool header_check_logged_out_by_user(int ecode) { return ecode == LOGOUT_E_USER; }
const NUVRA_E_CODE header_check_largest_code = GENERAL_E_LARGE_PARAM;
