package com.ordune.notes.vellix.test;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;

/** A small runner: named cases, assertions, a closing "N passed, N failed" line. */
final class Check {
  private static int passed;
  private static int failed;

  private Check() {}

  interface Body {
    void run() throws Exception;
  }

  static void test(String name, Body body) {
    try {
      body.run();
      ++passed;
      System.out.println("[ OK ] " + name);
    } catch (Throwable t) {
      ++failed;
      System.out.println("[FAIL] " + name + ": " + t);
      t.printStackTrace(System.out);
    }
  }

  static void finish() {
    System.out.println(passed + " passed, " + failed + " failed");
    System.exit(failed == 0 ? 0 : 1);
  }

  static void ok(boolean condition, String what) {
    if (!condition) {
      throw new AssertionError(what);
    }
  }

  static void eq(Object expected, Object actual, String what) {
    if (expected == null ? actual != null : !expected.equals(actual)) {
      throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
    }
  }

  /**
   * Runs `body`, which must throw `type` (directly or as the cause of the Renderer's
   * ExecutionException) with a message holding every one of `words`; returns the message.
   */
  static String throwsWith(Class<? extends Throwable> type, Body body, String... words) {
    Throwable thrown = null;
    try {
      body.run();
    } catch (Throwable t) {
      thrown = t instanceof java.util.concurrent.ExecutionException && t.getCause() != null
          ? t.getCause()
          : t;
    }
    if (thrown == null) {
      throw new AssertionError("expected " + type.getSimpleName() + ", nothing was thrown");
    }
    if (!type.isInstance(thrown)) {
      throw new AssertionError("expected " + type.getSimpleName() + " but got " + thrown, thrown);
    }
    String message = String.valueOf(thrown.getMessage());
    for (String w : words) {
      if (!message.contains(w)) {
        throw new AssertionError("message <" + message + "> lacks <" + w + ">");
      }
    }
    return message;
  }

  /** The messages of the library's log lines at priority `p` (E, I, ...) in `log`. */
  static List<String> lines(String log, char p) {
    List<String> out = new ArrayList<>();
    for (String line : log.split("\n")) {
      int colon = line.indexOf("): ");
      if (line.length() > 2 && line.charAt(0) == p && line.startsWith(p + "/(") && colon > 0) {
        out.add(line.substring(colon + 3));
      }
    }
    return out;
  }

  static void lineList(String log, char p, String... expected) {
    eq(Arrays.asList(expected), lines(log, p), "log lines");
  }

  /** Runs `body` with the process's standard error captured into log[0]. */
  static <T> T captured(Callable<T> body, String[] log) throws Exception {
    ok(Egl.beginCapture(), "stderr capture");
    try {
      return body.call();
    } finally {
      log[0] = Egl.endCapture();
      System.err.print(log[0]);
    }
  }
}
