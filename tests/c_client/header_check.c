/* The public header stands alone in a C translation unit, and an
 * application's handlers name its types as it does. */
#include "nuvra_sig.h"

INuvraAPIC* (*const header_check_get)(void) = getNuvraSDKInstanceC;

void header_check_on_login(ICallBackC* self, uint32_t uid, int fd) {
    (void)self; (void)uid; (void)fd;
}
void header_check_on_log(ICallBackC* self, const char* txt, size_t txt_size) {
    (void)self; (void)txt; (void)txt_size;
}

/* The codes by name, as an application compares them. */
int header_check_logged_out_by_user(int ecode) { return ecode == LOGOUT_E_USER; }
const NUVRA_E_CODE header_check_largest_code = GENERAL_E_LARGE_PARAM;
