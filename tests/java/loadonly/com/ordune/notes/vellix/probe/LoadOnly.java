package com.ordune.notes.vellix.probe;

/** Loads libvellix and says how that went; run in a child JVM by RegistrationTest. */
public final class LoadOnly {
  private LoadOnly() {}

  public static void main(String[] args) {
    try {
      System.loadLibrary("vellix");
      System.out.println("loaded");
    } catch (UnsatisfiedLinkError e) {
      System.out.println("UnsatisfiedLinkError");
    }
  }
}
