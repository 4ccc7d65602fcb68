// Native methods of com.korrivan.navigation.NavCtrlJni. Each ignores its two
// JNI parameters and returns the callee's result.
#include <jni.h>

#include "krv_nav.h"

extern "C" {

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_init(JNIEnv*, jobject) { return krv_nav_utils_init(); }

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_start(JNIEnv*, jobject) { return krv_nav_core_start(); }

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_stop(JNIEnv*, jobject) { return krv_nav_core_stop(); }

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_uinit(JNIEnv*, jobject) { return krv_nav_utils_uinit(); }

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_getSta(JNIEnv*, jobject) {
    return krv_nav_utils_getSta();
}

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_setSta(JNIEnv*, jobject, jint sta) {
    return krv_nav_utils_setSta(sta);
}

// simulateX replays the downward swipe and simulateY the upward one.
JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_simulateX(JNIEnv*, jobject) {
    return krv_nav_simulateTouch("down");
}

JNIEXPORT jint JNICALL Java_com_korrivan_navigation_NavCtrlJni_simulateY(JNIEnv*, jobject) {
    return krv_nav_simulateTouch("up");
}

}  // extern "C"
