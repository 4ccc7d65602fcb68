/*
 * krv_nav.h - fingerprint-sensor navigation library, exported interface.
 *
 * The library turns a fingerprint sensor into a navigation pad: a worker
 * thread sleeps until the sensor driver signals a touch (SIGIO), fetches a
 * frame pair, classifies the touch and injects a key press or a simulated
 * touch-screen swipe into "/dev/input/event2". A control thread takes
 * "STP" / "STT" / "CNL" commands from a named pipe.
 *
 * This header is valid C and C++. Every function uses the C calling
 * convention and an unmangled name. Status results: 0 success, negative on
 * failure as documented per function.
 */
#ifndef KRV_NAV_H
#define KRV_NAV_H

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#if defined(__GNUC__) || defined(__clang__)
#define KRV_EXPORT __attribute__((visibility("default")))
#else
#define KRV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Sensor driver protocol                                              */
/* ------------------------------------------------------------------ */

/* Fixed device and pipe paths. */
#define KRV_SENSOR_NODE "/dev/kvs508"
#define KRV_INPUT_NODE "/dev/input/event2"
#define KRV_CTL_PIPE "/data/system/users/0/fpdata//navCtrlPipe"

/* Frame geometry: 128 rows of 72 unsigned 8-bit pixels, row-major. */
#define KRV_FRAME_COLS 72
#define KRV_FRAME_ROWS 128
#define KRV_FRAME_PIXELS (KRV_FRAME_COLS * KRV_FRAME_ROWS) /* 9216 */

/* Frame request: _IOWR(0xFC, 15, 4). The driver writes a whole FramePair
 * (18433 bytes) to the address given, whatever the size field says. */
#define NAV_IOC_GET_IMAGE 0xC004FC0FU
/* Key request: _IOWR(0xFC, 16, 4). The driver reads exactly one byte. */
#define NAV_IOC_REPORT_KEY 0xC004FC10U

/* One frame pair as the driver delivers it: frame0 is the earlier image. */
typedef struct FramePair {
    uint8_t frame0[KRV_FRAME_PIXELS];
    uint8_t frame1[KRV_FRAME_PIXELS];
    uint8_t status; /* 1: the driver flags this touch */
} FramePair;

/* An edge point: row first, then column. 0xFF, 0xFF means "not found". */
typedef struct FramePoint {
    uint8_t row;
    uint8_t col;
} FramePoint;

/* A centroid: column (x) first, then row (y). */
typedef struct FrameCenter {
    uint8_t x;
    uint8_t y;
} FrameCenter;

/* Summary of one frame, twelve bytes in this order. Every byte starts at
 * 0xFF; a valid frame keeps `invalid` at 0xFF (only 1 is ever written). */
typedef struct FrameInfo {
    FramePoint row_last;  /* last edge pixel of the row-major scan */
    FramePoint row_first; /* first edge pixel of the row-major scan */
    FramePoint col_last;  /* last edge pixel of the column-major scan */
    FramePoint col_first; /* first edge pixel of the column-major scan */
    uint8_t level;        /* mean value of the touch pixels, plus 1 */
    uint8_t invalid;      /* 1 when fewer than 200 touch pixels */
    FrameCenter center;   /* centroid of the touch pixels */
} FrameInfo;

/* Result of classifying one touch. A pass yields only 0, 3, 4, 5 or 7. */
typedef enum NavResult {
    NAV_RESULT_NONE = 0,
    NAV_RESULT_LEFT = 1,
    NAV_RESULT_RIGHT = 2,
    NAV_RESULT_UP = 3,
    NAV_RESULT_DOWN = 4,
    NAV_RESULT_SINGLE_TAP = 5,
    NAV_RESULT_DRIVER_FLAGGED = 7
} NavResult;

/* ------------------------------------------------------------------ */
/* Thread control                                                      */
/* ------------------------------------------------------------------ */

/* Values of ThreadControlBlock.state. A worker treats any other value as
 * STATE_STOP: it waits for a wake and reads the word again.
 * gFingerprintVarNavCtl.state: the STATE_CANCEL that krv_nav_core_ctl_uinit
 * stores stays there until the control thread has ended; while that thread
 * lives, krv_nav_core_start (and with it "STT") leaves it alone, and the
 * next krv_nav_core_ctl_init puts the word back to STATE_RUN. */
#define STATE_RUN 0
#define STATE_STOP 1
#define STATE_CANCEL 2

/* Control record of one worker thread. `state` is a 32-bit word accessed
 * atomically; other threads store into it without a lock. `thread` is 0
 * while no worker runs. The reserved bytes are never touched by the
 * library; `state` sits at offset 16 on every build (40 bytes in all on
 * the 32-bit target). */
typedef struct ThreadControlBlock {
    uint8_t reserved0[16];
    int32_t state;
    pthread_t thread;
    pthread_mutex_t threadLock; /* held by the worker for its whole life */
    pthread_mutex_t waitLock;   /* held by the worker around its waits */
    pthread_cond_t wakeCond;
    uint8_t reserved1[4];
} ThreadControlBlock;

/* Layout of ThreadControlBlock on Android (bionic), in bytes:
 *
 *   field        32-bit ARM      64-bit ARM
 *   reserved0     0  (16)         0  (16)
 *   state        16   (4)        16   (4, then 4 of padding)
 *   thread       20   (4)        24   (8)
 *   threadLock   24   (4)        32  (40)
 *   waitLock     28   (4)        72  (40)
 *   wakeCond     32   (4)       112  (48)
 *   reserved1    36   (4)       160   (4, then 4 of padding)
 *   size         40             168
 *
 * glibc's mutexes and condition variables are larger, so on Linux builds
 * only `state` and `thread` keep these offsets. ThreadParamBlock (24
 * bytes), FramePair (18433) and FrameInfo (12) are the same on every
 * target. */

/* Thread start argument; never read. */
typedef struct ThreadParamBlock {
    uint8_t reserved[24];
} ThreadParamBlock;

KRV_EXPORT extern ThreadControlBlock gFingerprintVarNav;    /* navigation thread */
KRV_EXPORT extern ThreadControlBlock gFingerprintVarNavCtl; /* control thread */
KRV_EXPORT extern ThreadParamBlock gFingerprintParamNav;
KRV_EXPORT extern ThreadParamBlock gFingerprintParamNavCtl;

/* An 18433-byte frame pair kept for the host; the library never uses it. */
KRV_EXPORT extern FramePair image;

/* ------------------------------------------------------------------ */
/* JNI entry points of com.korrivan.navigation.NavCtrlJni              */
/* ------------------------------------------------------------------ */
/* The first two parameters (JNIEnv* and the object or class) are ignored.
 * Include <jni.h> before this header to see them with the JNI types;
 * otherwise they are declared with the ABI-identical void* and int32_t. */
#ifdef JNIEXPORT
typedef JNIEnv* KrvJniEnv;
typedef jobject KrvJniObject;
typedef jint KrvJint;
#else
typedef void* KrvJniEnv;
typedef void* KrvJniObject;
typedef int32_t KrvJint;
#endif

KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_init(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_start(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_stop(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_uinit(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_getSta(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_setSta(KrvJniEnv env, KrvJniObject obj, KrvJint sta);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_simulateX(KrvJniEnv env, KrvJniObject obj);
KRV_EXPORT KrvJint Java_com_korrivan_navigation_NavCtrlJni_simulateY(KrvJniEnv env, KrvJniObject obj);

/* ------------------------------------------------------------------ */
/* C layer and enable state                                            */
/* ------------------------------------------------------------------ */

/* Creates both threads (unless present) and writes "enable".
 * 0; -1 navigation thread not created; -2 control thread not created. */
KRV_EXPORT int krv_nav_utils_init(void);
/* Sends "CNL" to the control thread and writes "disable"; returns the
 * property write's result. Does not wait for the threads to end. */
KRV_EXPORT int krv_nav_utils_uinit(void);
/* 1 enabled, 0 disabled, -1 neither. */
KRV_EXPORT int krv_nav_utils_getSta(void);
/* Writes "enable" for non-zero, "disable" for zero; property result. */
KRV_EXPORT int krv_nav_utils_setSta(int sta);
KRV_EXPORT int krv_nav_core_ctl_getSta(void);
KRV_EXPORT int krv_nav_core_ctl_setSta(int sta);

/* ------------------------------------------------------------------ */
/* Navigation thread                                                   */
/* ------------------------------------------------------------------ */

/* Creates the navigation thread unless one exists; 0, or -1. */
KRV_EXPORT int krv_nav_core_init(void);
/* Sets run, wakes the navigation thread, sets the control state to run
 * (but leaves a pending cancel of a living control thread). */
KRV_EXPORT int krv_nav_core_start(void);
/* Sets stop; takes effect when the current wait ends. */
KRV_EXPORT int krv_nav_core_stop(void);
/* Arms the sensor and sleeps until a touch or an explicit wake.
 * timeoutSec 255: no limit. Otherwise a limit of timeoutSec seconds plus
 * timeoutMs milliseconds. 0 woken, -1 sensor not opened, -2 timed out. */
KRV_EXPORT int krv_nav_core_waitSignal(int timeoutSec, int timeoutMs);

/* ------------------------------------------------------------------ */
/* Control channel                                                     */
/* ------------------------------------------------------------------ */

/* Creates the control thread unless one exists; 0, or -1. */
KRV_EXPORT int krv_nav_core_ctl_init(void);
/* Cancels the control thread (and through it the navigation thread) by
 * writing "CNL" into the pipe; always 0. Never blocks for ever. */
KRV_EXPORT int krv_nav_core_ctl_uinit(void);
/* Reads one message (up to 1024 bytes) into `buffer`, creating the pipe
 * when missing. Bytes read (>0), 0 at end of file, -1 pipe not created or
 * read failed, -2 pipe not opened (or not a FIFO). */
KRV_EXPORT int read_navCtlPipe(char* buffer);
/* Writes `command` and its NUL in one write. -1 when the pipe does not
 * exist, cannot be opened or is not a FIFO; otherwise the write's result:
 * the bytes written, or -1 when the write failed. */
KRV_EXPORT int wirte_navCtlPipe(const char* command);

/* ------------------------------------------------------------------ */
/* Sensor access and classification                                   */
/* ------------------------------------------------------------------ */

/* Fetches a frame pair into `buffer` (18433 bytes); `unused` is ignored.
 * Reports nothing: without the sensor the buffer is left as it was. */
KRV_EXPORT void krv_nav_getImageData(uint8_t* buffer, int unused);
/* Hands the driver the low 8 bits of `key`. */
KRV_EXPORT void krv_nav_reportKey(int key);

/* One classification pass over the current touch; returns a NavResult. */
KRV_EXPORT int cal_touch_area(void);
/* Summarises one frame into level, invalid and center; returns the mean. */
KRV_EXPORT uint8_t cal_frame_info(const uint8_t* frame, FrameInfo* info);
/* Fills the four edge points; needs cal_frame_info's level first. */
KRV_EXPORT void cal_edg_pos(const uint8_t* frame, FrameInfo* info);
/* Classifies the move from `first` to `second` (the pass's classifier). */
KRV_EXPORT void cal_move_dir_5406(const FrameInfo* first, const FrameInfo* second);
/* Second classifier with left/right codes and other thresholds. */
KRV_EXPORT void cal_move_dir_5517(const FrameInfo* first, const FrameInfo* second);
/* result = later - earlier; 0, or -1 (result untouched) if earlier > later. */
KRV_EXPORT int timeval_subtract(struct timeval* result, const struct timeval* earlier, const struct timeval* later);

/* ------------------------------------------------------------------ */
/* Input injection                                                     */
/* ------------------------------------------------------------------ */

/* Writes press, report, release, report of `keyCode` (low 16 bits). */
KRV_EXPORT void simulate_key(int deviceFd, int keyCode);
/* 7 home, 5 back, 3 KEY_LEFT, 4 KEY_RIGHT; other codes write nothing. */
KRV_EXPORT int krv_nav_reportKey2(int resultCode);
/* Writes the home key. */
KRV_EXPORT int krv_pw_reportKey2(void);
/* 3 swipes up, 4 swipes down, 1 and 2 log only, others do nothing; 0. */
KRV_EXPORT int krv_nav_func(int resultCode);
KRV_EXPORT int krv_nav_LaucherNav(int resultCode);
/* Replays the swipe whose name begins with "left", "right", "up" or
 * "down" (case-sensitive); always 0. Blocks at least 100 ms. */
KRV_EXPORT int krv_nav_simulateTouch(const char* swipeName);
/* Horizontal / vertical swipe scripts on an open descriptor. */
KRV_EXPORT void simulate_Touch_X(int deviceFd, int increasing);
KRV_EXPORT void simulate_Touch_Y(int deviceFd, int increasing);

#ifdef __cplusplus
}
#endif

#endif /* KRV_NAV_H */
