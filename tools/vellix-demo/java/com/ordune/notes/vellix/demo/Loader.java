package com.ordune.notes.vellix.demo;

/** Loads libvellix from a Java class, so that its JNI_OnLoad finds VellixLib on this loader. */
public final class Loader {
  private Loader() {}

  public static void load() {
    System.loadLibrary("vellix");
  }
}
