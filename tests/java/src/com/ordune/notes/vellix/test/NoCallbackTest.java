package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;
import com.ordune.notes.vellix.VellixLib;

/**
 * Run with a VellixLib that has no animation_end_callback first on the class path: the end of
 * an animation is logged and rendering goes on.
 */
public final class NoCallbackTest {
  private NoCallbackTest() {}

  static final int W = 120;
  static final int H = 160;

  public static void main(String[] args) throws Exception {
    System.loadLibrary("vellix");
    Check.test("a class without animation_end_callback: logged, rendering goes on", () -> {
      boolean hasCallback = true;
      try {
        VellixLib.class.getDeclaredMethod("animation_end_callback");
      } catch (NoSuchMethodException e) {
        hasCallback = false;
      }
      Check.ok(!hasCallback, "the class under test has no animation_end_callback");
      Bitmap current = Pages.page(W, H, 0xfff4ead5, Bitmap.FORMAT_RGBA_8888);
      Bitmap next = Pages.page(W, H, 0xffd5e5f4, Bitmap.FORMAT_RGBA_8888);
      try (Renderer r = new Renderer(W, H)) {
        r.run(() -> {
          VellixLib.InitializeCurlEngine(W, H);
          VellixLib.SetPageImages(new Bitmap[] {null, current, next}, 3);
        });
        VellixLib.CurlBegin(W - 2, H - 2, true);
        VellixLib.Curling(W / 2, H / 2);
        r.frame();
        VellixLib.CurlEnd(true, 1);
        String[] log = new String[1];
        int[] frames = {0};
        Check.captured(() -> {
          while (frames[0] < 600 && !Egl.peekCapture().contains("failed to get method ID")) {
            r.frame();
            ++frames[0];
          }
          // Frames after the end render normally.
          for (int i = 0; i < 5; ++i) {
            r.frame();
          }
          return null;
        }, log);
        Check.eq(1L, Check.lines(log[0], 'E').stream()
                        .filter(l -> l.equals("callback_handler: failed to get method ID"))
                        .count(),
            "missing-method lines");
        Check.ok(!log[0].contains("Exception"), "no exception escaped");
        int[] px = r.frame();
        Pages.near(0xffd5e5f4, Pages.at(px, W, W - 3, H / 2), 2, "the next page lies flat");
        r.run(VellixLib::TerminateCurlEngine);
      }
    });
    Check.finish();
  }
}
