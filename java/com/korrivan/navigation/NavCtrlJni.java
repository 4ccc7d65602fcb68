package com.korrivan.navigation;

/**
 * Drives the fingerprint navigation library. The native methods are static:
 * the library keeps one navigation and one control thread per process, so
 * there is no per-object state. The library is loaded from
 * java.library.path as "krvnav" (libkrvnav.so).
 */
public final class NavCtrlJni {
    static {
        System.loadLibrary("krvnav");
    }

    private NavCtrlJni() {}

    /** Starts navigation: 0, -1 (navigation thread) or -2 (control thread). */
    public static native int init();

    /** Resumes a paused navigation thread; 0. */
    public static native int start();

    /** Pauses navigation from the next touch on; 0. */
    public static native int stop();

    /** Ends both threads and stores "disable"; the property write's result. */
    public static native int uinit();

    /** The stored enable state: 1 enabled, 0 disabled, -1 neither. */
    public static native int getSta();

    /** Stores "enable" (non-zero) or "disable" (zero); the write's result. */
    public static native int setSta(int sta);

    /** Replays a downward swipe on the touch screen; 0. */
    public static native int simulateX();

    /** Replays an upward swipe on the touch screen; 0. */
    public static native int simulateY();
}
