package com.ordune.notes.vellix.test;

/** Test-only natives: a headless GL context on the calling thread, read-back, stderr capture. */
final class Egl {
  static {
    System.loadLibrary("vellix_test_helper");
  }

  private Egl() {}

  static native boolean makeCurrent(int width, int height);

  static native void release();

  /** The surface as 0xAARRGGBB, top row first. */
  static native int[] readPixels();

  static native int glError();

  static native boolean beginCapture();

  static native String peekCapture();

  static native String endCapture();
}
