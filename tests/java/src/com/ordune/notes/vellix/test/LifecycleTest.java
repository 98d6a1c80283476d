package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;
import com.ordune.notes.vellix.VellixLib;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * What an application's GL view lives through: a rotation during a drag and during the
 * finishing animation, a lost EGL context between two frames, and an end-of-animation callback
 * that calls the library and waits for a thread that calls it too.
 */
public final class LifecycleTest {
  private LifecycleTest() {}

  static final int W = 240;
  static final int H = 320;
  static final int PAPER = 0xfff4ead5;
  static final int NEXT_PAPER = 0xffd5e5f4;

  /** The drag of RenderTest's mid-curl picture: the bottom-right corner carried up and left. */
  static void drag(Renderer r) throws Exception {
    Check.eq(0, VellixLib.CurlBegin(W - 4, H - 4, true), "CurlBegin");
    for (int i = 1; i <= 8; ++i) {
      Check.eq(0, VellixLib.Curling(W - 4 - i * 12, H - 4 - i * 14), "Curling");
      r.frame();
    }
  }

  static int untilEnd(Renderer r, AtomicInteger ends, int before) throws Exception {
    int frames = 0;
    while (ends.get() == before && frames < 900) {
      r.frame();
      ++frames;
    }
    return frames;
  }

  /** Makes the surface w x h (the same context) and tells the library, as onSurfaceChanged. */
  static void rotate(Renderer r, int w, int h) throws Exception {
    r.run(() -> {
      Check.ok(Egl.makeCurrent(w, h), "surface " + w + "x" + h);
      VellixLib.SetCurlEngineDimensions(w, h);
    });
  }

  public static void main(String[] args) throws Exception {
    System.loadLibrary("vellix");
    Bitmap current = Pages.page(W, H, PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap next = Pages.page(W, H, NEXT_PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap[] pages = {null, current, next};
    AtomicInteger ends = new AtomicInteger();
    VellixLib.setAnimationEndListener(ends::incrementAndGet);

    try (Renderer r = new Renderer(W, H)) {
      r.run(() -> {
        VellixLib.InitializeCurlEngine(W, H);
        VellixLib.SetPageImages(pages, 3);
      });

      Check.test("a rotation keeps the drag and the finishing animation", () -> {
        drag(r);
        Images.expect("mid_curl", r.frame(), W, H);
        // Landscape: the same drag, scaled to the wider page.
        rotate(r, H, W);
        int[] px = r.frame();
        Images.expect("rotated_drag", px, H, W);
        Pages.near(current.getPixelArgb(20, 20), Pages.at(px, H, 20, 20), 2, "current page");
        Pages.near(NEXT_PAPER, Pages.at(px, H, H - 3, W / 2 + 40), 2, "next page uncovered");
        // The release, and a rotation back while the page is on its way over the spine.
        int before = ends.get();
        Check.eq(0, VellixLib.CurlEnd(true, 3), "CurlEnd");
        r.frame();
        r.frame();
        Check.eq(before, ends.get(), "still turning");
        rotate(r, W, H);
        int frames = untilEnd(r, ends, before);
        Check.eq(before + 1, ends.get(), "callbacks after " + frames + " frames");
        for (int i = 0; i < 5; ++i) {
          px = r.frame();
        }
        Check.eq(before + 1, ends.get(), "callbacks five frames later");
        Images.expect("rotated_turned", px, W, H);
        Pages.near(NEXT_PAPER, Pages.at(px, W, W - 5, H / 2), 2, "the next page lies flat");
        Check.eq(0, r.call(Egl::glError), "GL error");
        r.run(() -> VellixLib.SetPageImages(pages, 3));
      });

      Check.test("a lost EGL context: initialise again, hand the pages in, they come back", () -> {
        drag(r);
        Images.expect("mid_curl", r.frame(), W, H);
        // The context is destroyed and a new one made between two frames.
        r.run(() -> {
          Egl.release();
          Check.ok(Egl.makeCurrent(W, H), "new context");
        });
        Check.throwsWith(IllegalStateException.class, () -> r.frame(), "RenderAnimationFrame",
            "not the one InitializeCurlEngine ran in");
        // onSurfaceCreated, onSurfaceChanged: initialise, hand every image in again.
        r.run(() -> {
          VellixLib.InitializeCurlEngine(W, H);
          VellixLib.SetPageImages(pages, 3);
        });
        Images.expect("mid_curl", r.frame(), W, H);
        // Replacing the images deletes the new context's textures only once each.
        r.run(() -> {
          VellixLib.UpdatePageImage(current, 0);
          VellixLib.UpdatePageImage(next, 1);
        });
        Images.expect("mid_curl", r.frame(), W, H);
        Check.eq(0, r.call(Egl::glError), "GL error");
        int before = ends.get();
        Check.eq(0, VellixLib.CurlEnd(true, 1), "CurlEnd");
        untilEnd(r, ends, before);
        Check.eq(before + 1, ends.get(), "the turn ends with the callback");
        Pages.near(NEXT_PAPER, Pages.at(r.frame(), W, W - 5, H / 2), 2, "the next page");
        r.run(() -> VellixLib.SetPageImages(pages, 3));
      });

      Check.test("the callback runs outside the lock: it calls natives and waits for a thread "
          + "that calls them",
          () -> {
            List<Object> seen = new ArrayList<>();
            VellixLib.setAnimationEndListener(() -> {
              ends.incrementAndGet();
              if (!seen.isEmpty()) {
                return;
              }
              // The callback itself: a touch native and a coordinate query.
              seen.add(VellixLib.Curling(10, 10));
              seen.add(VellixLib.GetTransformedCoordinate(7, 9, 1)[0]);
              // The GL thread: the page that is now next can be handed in from here.
              VellixLib.UpdatePageImage(next, 1);
              // A second thread (say the UI thread, handling a touch) that the callback waits
              // for: under the lock, it would wait for the callback and the callback for it.
              int[] results = new int[3];
              Thread ui = new Thread(() -> {
                results[0] = VellixLib.CurlBegin(W - 4, H / 2, true);
                results[1] = VellixLib.Curling(W / 2, H / 2);
                results[2] = VellixLib.CurlEnd(false, 1);
              });
              ui.start();
              try {
                ui.join(TimeUnit.SECONDS.toMillis(10));
              } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
              }
              seen.add(!ui.isAlive());
              seen.add(results[0] + "," + results[1] + "," + results[2]);
            });
            int before = ends.get();
            Check.eq(0, VellixLib.TurnPageAnimation(true, 1), "TurnPageAnimation");
            untilEnd(r, ends, before);
            Check.eq(4, seen.size(), "the callback ran: " + seen);
            Check.eq(0, seen.get(0), "Curling from the callback");
            Check.eq(7, seen.get(1), "GetTransformedCoordinate from the callback");
            Check.eq(true, seen.get(2), "the other thread's natives returned while it waited");
            Check.eq("0,0,0", seen.get(3), "the other thread's results");
            // The other thread's drag falls back and ends with a callback of its own.
            untilEnd(r, ends, before + 1);
            Check.eq(before + 2, ends.get(), "callbacks");
            VellixLib.setAnimationEndListener(ends::incrementAndGet);
          });

      Check.test("TerminateCurlEngine away from the GL thread forgets the GL names", () -> {
        // This thread has no context: nothing is deleted in any context, the engine ends.
        VellixLib.TerminateCurlEngine();
        Check.eq(-1, VellixLib.CurlBegin(1, 1, true), "no engine");
        r.run(() -> {
          VellixLib.InitializeCurlEngine(W, H);
          VellixLib.SetPageImages(pages, 3);
        });
        Images.expect("flat_page", r.frame(), W, H);
        r.run(VellixLib::TerminateCurlEngine);
        Check.eq(0, r.call(Egl::glError), "GL error");
      });
    }
    Check.finish();
  }
}
