package com.ordune.notes.vellix.probe;

import com.ordune.notes.vellix.VellixLib;

/**
 * A minimal application, shrunk by ProGuard in ProguardTest and run in a child JVM: it loads
 * libvellix, makes a GL context (through the test helper, by reflection, so that the shrinker
 * does not see it) and initialises the engine.
 */
public final class ShrunkApp {
  private ShrunkApp() {}

  public static void main(String[] args) throws Exception {
    VellixLib.setAnimationEndListener(new Runnable() {
      @Override
      public void run() {
        System.out.println("animation ended");
      }
    });
    try {
      System.loadLibrary("vellix");
    } catch (UnsatisfiedLinkError e) {
      System.out.println("UnsatisfiedLinkError");
      return;
    }
    Class.forName("com.ordune.notes.vellix.test.EglAccess")
        .getMethod("makeCurrent", int.class, int.class)
        .invoke(null, 16, 16);
    try {
      VellixLib.InitializeCurlEngine(16, 16);
      System.out.println("initialised " + VellixLib.RenderAnimationFrame());
    } catch (NoSuchMethodError e) {
      System.out.println("NoSuchMethodError: " + e.getMessage());
    }
    VellixLib.TerminateCurlEngine();
  }
}
