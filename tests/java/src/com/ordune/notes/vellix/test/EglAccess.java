package com.ordune.notes.vellix.test;

/** The test helper's context for code outside this package (the shrunk application). */
public final class EglAccess {
  private EglAccess() {}

  public static boolean makeCurrent(int width, int height) {
    return Egl.makeCurrent(width, height);
  }
}
