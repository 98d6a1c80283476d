package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;
import com.ordune.notes.vellix.VellixLib;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The contract the Java class documents, case by case: GL natives away from the GL thread,
 * bitmaps the library refuses, GL errors in the log, padded rows, and what each turn leaves
 * on screen.
 */
public final class ContractTest {
  private ContractTest() {}

  static final int W = 240;
  static final int H = 320;
  static final int PAPER = 0xfff4ead5;
  static final int NEXT_PAPER = 0xffd5e5f4;
  static final int PREVIOUS_PAPER = 0xffe8d8f0;

  /** A native call with a name, for the tables. */
  static final class Call {
    final String name;
    final Check.Body body;

    Call(String name, Check.Body body) {
      this.name = name;
      this.body = body;
    }
  }

  /** A bitmap the library must refuse, and the words its exception must hold. */
  static final class Refused {
    final String what;
    final Bitmap bitmap;
    final String[] words;

    Refused(String what, Bitmap bitmap, String... words) {
      this.what = what;
      this.bitmap = bitmap;
      this.words = words;
    }
  }

  static int frames(Renderer r, AtomicInteger ends, int before) throws Exception {
    int frames = 0;
    while (ends.get() == before && frames < 600) {
      r.frame();
      ++frames;
    }
    return frames;
  }

  public static void main(String[] args) throws Exception {
    System.loadLibrary("vellix");
    Bitmap previous = Pages.page(W, H, PREVIOUS_PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap current = Pages.page(W, H, PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap next = Pages.page(W, H, NEXT_PAPER, Bitmap.FORMAT_RGBA_8888);
    Bitmap other = Pages.page(W, H, 0xff303030, Bitmap.FORMAT_RGBA_8888);
    AtomicInteger ends = new AtomicInteger();
    VellixLib.setAnimationEndListener(ends::incrementAndGet);

    try (Renderer r = new Renderer(W, H)) {
      Check.test("InitializeCurlEngine without an EGL context throws and makes no engine", () -> {
        Check.throwsWith(IllegalStateException.class, () -> VellixLib.InitializeCurlEngine(W, H),
            "InitializeCurlEngine", "no EGL context");
        Check.eq(-1, VellixLib.CurlBegin(1, 1, true), "CurlBegin without an engine");
        Check.eq(-1, r.call(VellixLib::RenderAnimationFrame), "RenderAnimationFrame");
      });

      r.run(() -> {
        VellixLib.InitializeCurlEngine(W, H);
        VellixLib.SetPageImages(new Bitmap[] {previous, current, next}, 3);
      });

      Check.test("GL natives on a thread without the context throw and change nothing", () -> {
        Call[] gl = {
            new Call("InitializeCurlEngine", () -> VellixLib.InitializeCurlEngine(W / 2, H)),
            new Call("RenderAnimationFrame", VellixLib::RenderAnimationFrame),
            new Call("SetCurlEngineDimensions", () -> VellixLib.SetCurlEngineDimensions(H, W)),
            new Call("SetPageImages",
                () -> VellixLib.SetPageImages(new Bitmap[] {other, other, other}, 3)),
            new Call("UpdatePageImage", () -> VellixLib.UpdatePageImage(other, 0)),
            new Call("RefreshImage", () -> VellixLib.RefreshImage(other, 0, false)),
            new Call("SetBorderImage", () -> VellixLib.SetBorderImage(other)),
            new Call("SetBlankImage", () -> VellixLib.SetBlankImage(other)),
            new Call("SetLeftPageImage", () -> VellixLib.SetLeftPageImage(other)),
        };
        for (Call c : gl) {
          // This thread (the test's main thread) has no EGL context, like an app's UI thread.
          Check.throwsWith(IllegalStateException.class, c.body, "VellixLib." + c.name,
              "no EGL context is current", "GL thread");
        }
        Check.eq(0, other.getLockCount(), "locks left");
        // Nothing changed: the same page, the same size, still visible.
        Images.expect("flat_page", r.frame(), W, H);
      });

      Check.test("refused bitmaps throw IllegalArgumentException naming the format", () -> {
        java.nio.ByteBuffer heap = java.nio.ByteBuffer.allocate(W * H * 4);
        Refused[] bitmaps = {
            new Refused("HARDWARE", Bitmap.createHardware(W, H, Bitmap.FORMAT_RGBA_8888),
                "format HARDWARE", "copy"),
            new Refused("RGBA_F16", Bitmap.create(W, H, Bitmap.FORMAT_RGBA_F16),
                "format RGBA_F16 (9)", "cannot upload"),
            new Refused("RGBA_1010102", Bitmap.create(W, H, Bitmap.FORMAT_RGBA_1010102),
                "format RGBA_1010102 (10)", "cannot upload"),
            new Refused("unknown format", Bitmap.wrap(W, H, 3, heap), "cannot be described"),
            new Refused("not lockable", Bitmap.wrap(W, H, Bitmap.FORMAT_RGBA_8888, heap),
                "format RGBA_8888", "cannot be locked"),
        };
        Call[] natives = {
            new Call("UpdatePageImage", null),
            new Call("RefreshImage", null),
            new Call("SetPageImages: bitmap 2", null),
            new Call("SetBorderImage", null),
            new Call("SetBlankImage", null),
            new Call("SetLeftPageImage", null),
            new Call("SetBackgroundImage", null),
        };
        for (Refused b : bitmaps) {
          for (Call n : natives) {
            Check.Body body;
            switch (n.name) {
              case "UpdatePageImage":
                body = () -> VellixLib.UpdatePageImage(b.bitmap, 0);
                break;
              case "RefreshImage":
                body = () -> VellixLib.RefreshImage(b.bitmap, 0, false);
                break;
              case "SetPageImages: bitmap 2":
                // All or nothing: the good bitmaps before the bad one are not used either.
                body = () -> VellixLib.SetPageImages(new Bitmap[] {other, other, b.bitmap}, 3);
                break;
              case "SetBorderImage":
                body = () -> VellixLib.SetBorderImage(b.bitmap);
                break;
              case "SetBlankImage":
                body = () -> VellixLib.SetBlankImage(b.bitmap);
                break;
              case "SetLeftPageImage":
                body = () -> VellixLib.SetLeftPageImage(b.bitmap);
                break;
              default:
                body = () -> VellixLib.SetBackgroundImage(b.bitmap);
                break;
            }
            String[] log = new String[1];
            try {
              Check.captured(() -> {
                Check.throwsWith(IllegalArgumentException.class, () -> r.run(body),
                    concat("VellixLib." + n.name, b.words));
                return null;
              }, log);
            } catch (AssertionError e) {
              throw new AssertionError(b.what + " through " + n.name + ": " + e.getMessage(), e);
            }
            Check.eq(0, b.bitmap.getLockCount() + other.getLockCount(), "locks left");
          }
        }
        Images.expect("flat_page", r.frame(), W, H);
        Check.eq(0, r.call(Egl::glError), "GL error");
      });

      Check.test("a GL error goes to the log at warning priority", () -> {
        // Wider than any texture llvmpipe makes: glTexImage2D fails with GL_INVALID_VALUE.
        Bitmap wide = Bitmap.create(20000, 1, Bitmap.FORMAT_RGBA_8888);
        String[] log = new String[1];
        Check.captured(() -> {
          r.run(() -> VellixLib.UpdatePageImage(wide, 1));
          return null;
        }, log);
        Check.ok(Check.lines(log[0], 'W').contains("GL error 0x0501 at glTextureInit"),
            "warning lines " + Check.lines(log[0], 'W'));
        r.run(() -> VellixLib.UpdatePageImage(next, 1));
        Check.eq(0, r.call(Egl::glError), "GL error");
      });

      Check.test("rows with padding are read row by row", () -> {
        int[][] cases = {
            // format, padding bytes per row
            {Bitmap.FORMAT_RGBA_8888, 16}, {Bitmap.FORMAT_RGBA_8888, 3},
            {Bitmap.FORMAT_RGB_565, 4}, {Bitmap.FORMAT_RGB_565, 5},
            {Bitmap.FORMAT_RGBA_4444, 2}, {Bitmap.FORMAT_A_8, 7},
        };
        for (int[] c : cases) {
          Bitmap packed = Pages.page(W, H, PAPER, c[0]);
          Bitmap padded = Pages.paddedPage(W, H, PAPER, c[0], c[1]);
          Check.eq(W * Bitmap.bytesPerPixel(c[0]) + c[1], padded.getRowBytes(), "row bytes");
          r.run(() -> VellixLib.UpdatePageImage(packed, 0));
          int[] expected = r.frame();
          r.run(() -> VellixLib.UpdatePageImage(padded, 0));
          int[] actual = r.frame();
          for (int i = 0; i < expected.length; ++i) {
            if (expected[i] != actual[i]) {
              throw new AssertionError("format " + c[0] + ", padding " + c[1] + ": pixel "
                  + (i % W) + "," + (i / W) + " is " + Pages.hex(actual[i]) + ", packed rows give "
                  + Pages.hex(expected[i]));
            }
          }
          Check.eq(0, padded.getLockCount(), "locks left");
        }
        r.run(() -> VellixLib.UpdatePageImage(Pages.paddedPage(W, H, PAPER,
            Bitmap.FORMAT_RGBA_8888, 12), 0));
        Images.expect("flat_page", r.frame(), W, H);
      });

      Check.test("what each turn leaves on screen, and one callback for it", () -> {
        // reverse (true: forward), how the turn is made, the page on screen after it.
        Object[][] cases = {
            {true, "CurlEnd(true)", NEXT_PAPER},
            {true, "CurlEnd(false)", PAPER},
            {false, "CurlEnd(true)", PREVIOUS_PAPER},
            {false, "CurlEnd(false)", PAPER},
            {true, "TurnPageAnimation", NEXT_PAPER},
            {false, "TurnPageAnimation", PREVIOUS_PAPER},
            {true, "BouncingCurlAnimation", PAPER},
            {false, "BouncingCurlAnimation", PREVIOUS_PAPER},
        };
        for (Object[] c : cases) {
          boolean reverse = (Boolean) c[0];
          String how = (String) c[1];
          int expected = (Integer) c[2];
          r.run(() -> VellixLib.SetPageImages(new Bitmap[] {previous, current, next}, 3));
          r.frame();
          int before = ends.get();
          if (how.startsWith("CurlEnd")) {
            Check.eq(0, VellixLib.CurlBegin(W - 4, H - 4, reverse), "CurlBegin");
            for (int i = 1; i <= 6; ++i) {
              VellixLib.Curling(W - 4 - i * 25, H - 4 - i * 20);
              r.frame();
            }
            Check.eq(0, VellixLib.CurlEnd(how.equals("CurlEnd(true)"), 1), "CurlEnd");
          } else if (how.equals("TurnPageAnimation")) {
            Check.eq(0, VellixLib.TurnPageAnimation(reverse, 1), how);
          } else {
            Check.eq(0, VellixLib.BouncingCurlAnimation(reverse, 1), how);
          }
          int n = frames(r, ends, before);
          int[] px = null;
          for (int i = 0; i < 5; ++i) {
            px = r.frame();
          }
          String what = (reverse ? "forward " : "backward ") + how;
          Check.eq(before + 1, ends.get(), what + ": callbacks after " + n + " frames");
          Pages.near(expected, Pages.at(px, W, W - 5, H / 2), 2, what + ": the page on screen");
        }
      });

      r.run(VellixLib::TerminateCurlEngine);
    }
    Check.finish();
  }

  static String[] concat(String first, String[] rest) {
    String[] all = new String[rest.length + 1];
    all[0] = first;
    System.arraycopy(rest, 0, all, 1, rest.length);
    return all;
  }
}
