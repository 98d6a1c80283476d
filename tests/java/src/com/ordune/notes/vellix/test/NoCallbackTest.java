package com.ordune.notes.vellix.test;

import com.ordune.notes.vellix.VellixLib;
import java.util.Arrays;

/**
 * Run with a VellixLib that has no animation_end_callback first on the class path (what a
 * shrinker without the library's rules leaves): the initialising native throws, and no engine
 * is made.
 */
public final class NoCallbackTest {
  private NoCallbackTest() {}

  static final int W = 120;
  static final int H = 160;

  public static void main(String[] args) throws Exception {
    System.loadLibrary("vellix");
    Check.test("a class without animation_end_callback: InitializeCurlEngine throws", () -> {
      boolean hasCallback = true;
      try {
        VellixLib.class.getDeclaredMethod("animation_end_callback");
      } catch (NoSuchMethodException e) {
        hasCallback = false;
      }
      Check.ok(!hasCallback, "the class under test has no animation_end_callback");
      try (Renderer r = new Renderer(W, H)) {
        String[] log = new String[1];
        Check.captured(() -> {
          for (int i = 0; i < 2; ++i) {
            Check.throwsWith(NoSuchMethodError.class,
                () -> r.run(() -> VellixLib.InitializeCurlEngine(W, H)),
                "animation_end_callback()", "proguard-rules.pro");
          }
          return null;
        }, log);
        Check.eq(Arrays.asList("CVellixCallback::Init(+)",
                     "callback_handler: failed to get method ID", "CVellixCallback(+)",
                     "DeleteGlobalRef(javaclass) (+)", "DeleteGlobalRef(javaclass) (-)",
                     "CVellixCallback(-)", "CVellixCallback::Init(+)",
                     "callback_handler: failed to get method ID", "CVellixCallback(+)",
                     "DeleteGlobalRef(javaclass) (+)", "DeleteGlobalRef(javaclass) (-)",
                     "CVellixCallback(-)"),
            Check.lines(log[0], 'E'), "log lines: looked up at initialisation, each time");
        // No engine was made: the natives behave as before initialisation.
        Check.eq(-1, r.call(VellixLib::RenderAnimationFrame), "RenderAnimationFrame");
        Check.eq(-1, VellixLib.CurlBegin(W - 2, H - 2, true), "CurlBegin");
        Check.eq(0, r.call(Egl::glError), "GL error");
      }
    });
    Check.finish();
  }
}
