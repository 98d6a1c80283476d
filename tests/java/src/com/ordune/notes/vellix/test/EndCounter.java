package com.ordune.notes.vellix.test;

import com.ordune.notes.vellix.VellixLib;

/** Counts the ends of page animations; for native tests that read the count through JNI. */
public final class EndCounter {
  private EndCounter() {}

  public static volatile int ends;

  public static void install() {
    VellixLib.setAnimationEndListener(() -> ++ends);
  }
}
