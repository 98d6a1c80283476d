package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;
import com.ordune.notes.vellix.VellixLib;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

/**
 * Pictures through the natives, as an application drives them: a render thread owns the GL
 * context and renders frames, the test's main thread plays the input thread.
 */
public final class RenderTest {
  private RenderTest() {}

  static final int W = 240;
  static final int H = 320;
  static final int PAPER = 0xfff4ead5;
  static final int NEXT_PAPER = 0xffd5e5f4;

  public static void main(String[] args) throws Exception {
    System.loadLibrary("vellix");
    Bitmap current = Pages.page(W, H, PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap next = Pages.page(W, H, NEXT_PAPER, Bitmap.FORMAT_RGBA_8888);
    AtomicInteger ends = new AtomicInteger();
    AtomicReference<Thread> endThread = new AtomicReference<>();
    VellixLib.setAnimationEndListener(() -> {
      ends.incrementAndGet();
      endThread.set(Thread.currentThread());
    });

    try (Renderer r = new Renderer(W, H)) {
      r.run(() -> {
        VellixLib.InitializeCurlEngine(W, H);
        VellixLib.SetPageImages(new Bitmap[] {null, current, next}, 3);
      });

      Check.test("a flat page shows its bitmap", () -> {
        int[] px = r.frame();
        Images.expect("flat_page", px, W, H);
        // The page fills the surface at scale 1: screen pixels are bitmap pixels.
        for (int[] p : new int[][] {{3, 3}, {W - 4, 3}, {3, H - 4}, {W - 4, H - 4}, {W - 5, H / 2},
                 {W / 3, H / 2}}) {
          Pages.near(current.getPixelArgb(p[0], p[1]), Pages.at(px, W, p[0], p[1]), 2,
              "pixel " + p[0] + "," + p[1]);
        }
      });

      Check.test("mid-curl: the next page, the back of the page and the shadow", () -> {
        // A drag from the bottom-right corner up and to the left, fed from this thread.
        Check.eq(0, VellixLib.CurlBegin(W - 4, H - 4, true), "CurlBegin");
        for (int i = 1; i <= 8; ++i) {
          Check.eq(0, VellixLib.Curling(W - 4 - i * 12, H - 4 - i * 14), "Curling");
          r.frame();
        }
        int[] px = r.frame();
        Images.expect("mid_curl", px, W, H);
        MidCurl.check(px, W, H, current, next);
      });

      Check.test("a full turn calls animation_end_callback once, on the rendering thread", () -> {
        Check.eq(0, VellixLib.CurlEnd(true, 1), "CurlEnd");
        int frames = 0;
        while (ends.get() == 0 && frames < 600) {
          r.frame();
          ++frames;
        }
        Check.eq(1, ends.get(), "callbacks after " + frames + " frames");
        Check.eq(r.thread(), endThread.get(), "callback thread");
        int[] px = null;
        for (int i = 0; i < 10; ++i) {
          px = r.frame();
        }
        Check.eq(1, ends.get(), "callbacks ten frames later");
        // Turned over: the next page lies flat.
        Pages.near(NEXT_PAPER, Pages.at(px, W, W - 5, H / 2), 2, "paper of the next page");
        Pages.near(Pages.MAGENTA, Pages.at(px, W, W - 4, H - 4), 2, "its bottom-right block");
      });

      Check.test("input from other threads while frames render", () -> {
        // Touch and animation natives on two threads while the render thread draws: each
        // native takes the bridge's lock, so the scene sees whole calls only.
        r.run(() -> VellixLib.SetPageImages(new Bitmap[] {null, current, next}, 3));
        int before = ends.get();
        Thread input = new Thread(() -> {
          for (int k = 0; k < 40; ++k) {
            VellixLib.CurlBegin(W - 2, H / 2, true);
            for (int i = 0; i < 10; ++i) {
              VellixLib.Curling(W - i * 20, H / 2 - i * 5);
            }
            VellixLib.CurlEnd(k % 2 == 0, 1);
          }
        });
        input.start();
        while (input.isAlive()) {
          r.frame();
        }
        input.join();
        int frames = 0;
        while (ends.get() == before && frames < 600) {
          r.frame();
          ++frames;
        }
        Check.ok(ends.get() > before, "an animation ended");
        Check.eq(0, r.call(Egl::glError), "GL error");
      });

      r.run(VellixLib::TerminateCurlEngine);
    }
    Check.finish();
  }
}
