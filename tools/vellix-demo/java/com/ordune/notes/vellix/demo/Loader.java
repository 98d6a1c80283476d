package com.ordune.notes.vellix.demo;

import com.ordune.notes.vellix.VellixLib;

/**
 * Loads libvellix from a Java class, so that its JNI_OnLoad finds VellixLib on this loader, and
 * counts the ends of page animations as an application's listener would see them.
 */
public final class Loader {
  private Loader() {}

  /** How often animation_end_callback ran. */
  public static volatile int animationEnds;

  public static void load() {
    System.loadLibrary("vellix");
    VellixLib.setAnimationEndListener(() -> ++animationEnds);
  }
}
