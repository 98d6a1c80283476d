package com.ordune.notes.vellix.test;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * JNI_OnLoad against classes it cannot register on, each in a JVM of its own (a library loads
 * once per process): no VellixLib at all, and a VellixLib that lacks one of the natives.
 */
public final class RegistrationTest {
  private RegistrationTest() {}

  /** Runs LoadOnly with the given class path; returns its output, standard error included. */
  static String child(String classPath) throws Exception {
    String java = System.getProperty("java.home") + File.separator + "bin" + File.separator
        + "java";
    ProcessBuilder pb = new ProcessBuilder(java, "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp", classPath,
        "com.ordune.notes.vellix.probe.LoadOnly");
    pb.redirectErrorStream(true);
    Process p = pb.start();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    try (InputStream in = p.getInputStream()) {
      in.transferTo(out);
    }
    Check.ok(p.waitFor(30, TimeUnit.SECONDS), "child JVM ended");
    String text = out.toString("UTF-8");
    System.out.print(text);
    return text;
  }

  public static void main(String[] args) throws Exception {
    String loadOnly = System.getProperty("vellix.loadonly");
    String missing = System.getProperty("vellix.missingnative");

    Check.test("a class path without the class: FindClass fails, loading fails", () -> {
      String out = child(loadOnly);
      List<String> errors = Check.lines(out, 'E');
      Check.eq(Arrays.asList(
                   "Native registration unable to find class 'com/ordune/notes/vellix/VellixLib'",
                   "ERROR: registerNatives failed"),
          errors, "error lines");
      Check.eq(Arrays.asList("JNI_OnLoad"), Check.lines(out, 'I'), "info lines");
      Check.ok(out.contains("UnsatisfiedLinkError"), "System.loadLibrary throws");
      Check.ok(!out.contains("WARNING in native method"), "no JNI warnings");
    });

    Check.test("a class that lacks a native: RegisterNatives fails, loading fails", () -> {
      String out = child(missing + File.pathSeparator + loadOnly);
      Check.eq(Arrays.asList("RegisterNatives failed for 'com/ordune/notes/vellix/VellixLib'",
                   "ERROR: registerNatives failed"),
          Check.lines(out, 'E'), "error lines");
      Check.ok(out.contains("UnsatisfiedLinkError"), "System.loadLibrary throws");
      Check.ok(!out.contains("WARNING in native method"), "no JNI warnings");
    });
    Check.finish();
  }
}
