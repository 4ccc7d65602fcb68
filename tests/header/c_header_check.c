/* The exported header as a C99 compiler reads it, pedantic and with every
 * warning an error: its types, records and declarations are used here so
 * that each is parsed, not only the preprocessor's view of them. */
#include "krv_nav.h"

#include <stddef.h>

typedef int (*Status)(void);

/* A table of every exported function, as a C host would keep it. */
static const Status kStatusCalls[] = {
    krv_nav_utils_init,     krv_nav_utils_uinit, krv_nav_utils_getSta, krv_nav_core_ctl_getSta,
    krv_nav_core_init,      krv_nav_core_start,  krv_nav_core_stop,    krv_nav_core_ctl_init,
    krv_nav_core_ctl_uinit, krv_pw_reportKey2,   cal_touch_area,
};

int krv_c_header_check(void);
int krv_c_header_check(void) {
    FramePair* pair = &image;
    FrameInfo info;
    ThreadControlBlock* nav = &gFingerprintVarNav;
    int (*set_state)(int) = krv_nav_utils_setSta;
    int (*wait)(int, int) = krv_nav_core_waitSignal;
    int (*read_pipe)(char*) = read_navCtlPipe;
    int (*write_pipe)(const char*) = wirte_navCtlPipe;
    void (*fetch)(uint8_t*, int) = krv_nav_getImageData;
    uint8_t (*summary)(const uint8_t*, FrameInfo*) = cal_frame_info;
    void (*edges)(const uint8_t*, FrameInfo*) = cal_edg_pos;
    void (*dir_a)(const FrameInfo*, const FrameInfo*) = cal_move_dir_5406;
    void (*dir_b)(const FrameInfo*, const FrameInfo*) = cal_move_dir_5517;
    int (*subtract)(struct timeval*, const struct timeval*, const struct timeval*) = timeval_subtract;
    void (*key)(int, int) = simulate_key;
    int (*report)(int) = krv_nav_reportKey2;
    int (*dispatch)(int) = krv_nav_func;
    int (*launcher)(int) = krv_nav_LaucherNav;
    int (*swipe)(const char*) = krv_nav_simulateTouch;
    void (*touch_x)(int, int) = simulate_Touch_X;
    void (*touch_y)(int, int) = simulate_Touch_Y;
    void (*report_key)(int) = krv_nav_reportKey;
    const void* all[] = {(const void*)&set_state,  (const void*)&wait,     (const void*)&read_pipe,
                         (const void*)&write_pipe, (const void*)&fetch,    (const void*)&summary,
                         (const void*)&edges,      (const void*)&dir_a,    (const void*)&dir_b,
                         (const void*)&subtract,   (const void*)&key,      (const void*)&report,
                         (const void*)&dispatch,   (const void*)&launcher, (const void*)&swipe,
                         (const void*)&touch_x,    (const void*)&touch_y,  (const void*)&report_key};
    info.level = 0;
    return (int)(sizeof kStatusCalls / sizeof kStatusCalls[0]) + (int)(sizeof all / sizeof all[0]) +
           (int)sizeof pair->frame0 + (int)offsetof(ThreadControlBlock, state) + (nav->state == STATE_RUN) +
           info.level + KRV_FRAME_PIXELS + (int)sizeof(KRV_CTL_PIPE) + (int)sizeof(gFingerprintParamNav);
}
