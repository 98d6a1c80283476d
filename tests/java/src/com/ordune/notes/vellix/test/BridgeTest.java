package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;
import com.ordune.notes.vellix.VellixLib;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** The natives from a real JVM: registration, the engine's life cycle, bitmaps good and bad. */
public final class BridgeTest {
  private BridgeTest() {}

  static final int W = 96;
  static final int H = 128;

  /** The result of each of the seven natives that return an int. */
  static List<Integer> intNatives() {
    return Arrays.asList(VellixLib.RenderAnimationFrame(), VellixLib.CurlBegin(10, 10, true),
        VellixLib.Curling(20, 20), VellixLib.CurlEnd(false, 1),
        VellixLib.TurnPageAnimation(true, 1), VellixLib.BouncingCurlAnimation(true, 1),
        VellixLib.CurlEnd(true, 1));
  }

  /** Every void native with harmless arguments: none may throw or touch a missing engine. */
  static void voidNatives(Bitmap b) {
    VellixLib.StartRender();
    VellixLib.StopRender();
    VellixLib.SetCurlEngineDimensions(W, H);
    VellixLib.SetPageImages(new Bitmap[] {b}, 1);
    VellixLib.UpdatePageImage(b, 0);
    VellixLib.RefreshImage(b, 0, true);
    VellixLib.SetBackgroundImage(b);
    VellixLib.SetBorderImage(b);
    VellixLib.SetBlankImage(b);
    VellixLib.SetLeftPageImage(b);
    VellixLib.SetQuickFlipImage(b, true);
    VellixLib.Zoom(0, 0, W, H, 1.0f);
    VellixLib.ZoomBook(1.0f);
    VellixLib.QuickFlip(1, true, 1);
    VellixLib.SetVisible(true);
  }

  public static void main(String[] args) throws Exception {
    String[] log = new String[1];
    Check.captured(() -> {
      System.loadLibrary("vellix");
      return null;
    }, log);
    Bitmap page = Pages.page(W, H, 0xfff4ead5, Bitmap.FORMAT_RGBA_8888);

    Check.test("JNI_OnLoad registers all 24 natives", () -> {
      Check.eq(Arrays.asList("JNI_OnLoad"), Check.lines(log[0], 'I'), "info lines");
      Check.eq(new ArrayList<String>(), Check.lines(log[0], 'E'), "error lines");
      int natives = 0;
      for (Method m : VellixLib.class.getDeclaredMethods()) {
        natives += Modifier.isNative(m.getModifiers()) ? 1 : 0;
      }
      Check.eq(24, natives, "natives declared");
      // An unregistered native would throw UnsatisfiedLinkError here.
      Check.eq(Arrays.asList(-1, -1, -1, -1, -1, -1, -1), intNatives(), "int natives, no engine");
      voidNatives(page);
      Check.eq(0, page.getLockCount(), "locks left without an engine");
      int[] xy = VellixLib.GetTransformedCoordinate(5, 6, 0);
      Check.eq("[0, 0]", Arrays.toString(xy), "coordinates without an engine");
    });

    try (Renderer r = new Renderer(W, H)) {
      Check.test("the engine's life cycle: initialise, use, terminate twice", () -> {
        String[] init = new String[1];
        Check.captured(() -> {
          r.run(() -> VellixLib.InitializeCurlEngine(W, H));
          r.run(() -> VellixLib.InitializeCurlEngine(W, H));
          return null;
        }, init);
        // The callback is made once; a second initialisation only rebuilds the scene.
        Check.lineList(init[0], 'E', "CVellixCallback::Init(+)", "CVellixCallback::Init(-)");
        Check.eq(Arrays.asList(0, 0, 0, 0, 0, 0, 0), r.call(BridgeTest::intNatives),
            "int natives with an engine");
        Check.eq("[7, 9]", Arrays.toString(VellixLib.GetTransformedCoordinate(7, 9, 0)),
            "direction 0");
        Check.eq("[7, 9]", Arrays.toString(VellixLib.GetTransformedCoordinate(7, 9, 1)),
            "screen to book at scale 1");
        r.run(() -> voidNatives(page));
        Check.eq(0, page.getLockCount(), "locks left with an engine");
        Check.eq(0, Egl.glError(), "GL error");

        String[] term = new String[1];
        Check.captured(() -> {
          r.run(VellixLib::TerminateCurlEngine);
          r.run(VellixLib::TerminateCurlEngine);
          return null;
        }, term);
        Check.lineList(term[0], 'E', "VELLIX_JNI::Delete Callbacker(+)", "callback!=NULL",
            "CVellixCallback(+)", "DeleteGlobalRef(javaclass) (+)",
            "DeleteGlobalRef(javaclass) (-)", "CVellixCallback(-)",
            "VELLIX_JNI::Delete Callbacker(-)", "VELLIX_JNI::Delete Callbacker(+)",
            "VELLIX_JNI::Delete Callbacker(-)");
        Check.eq(Arrays.asList(-1, -1, -1, -1, -1, -1, -1), r.call(BridgeTest::intNatives),
            "int natives after TerminateCurlEngine");
      });

      Check.test("null, foreign and malformed bitmaps are refused and left unlocked", () -> {
        r.run(() -> VellixLib.InitializeCurlEngine(W, H));
        Bitmap heap = Bitmap.wrap(W, H, Bitmap.FORMAT_RGBA_8888, ByteBuffer.allocate(W * H * 4));
        Bitmap small = Bitmap.wrap(W, H, Bitmap.FORMAT_RGBA_8888, ByteBuffer.allocateDirect(16));
        Bitmap odd = Bitmap.wrap(W, H, 3, ByteBuffer.allocateDirect(W * H * 4));
        String[] out = new String[1];
        Check.captured(() -> {
          r.run(() -> {
            VellixLib.UpdatePageImage(null, 0);
            VellixLib.RefreshImage(null, 0, true);
            VellixLib.SetPageImages(null, 3);
          });
          return null;
        }, out);
        Check.lineList(out[0], 'E');
        Check.captured(() -> {
          // A null border changes nothing (logged); the others cannot be described or locked
          // and throw, naming the native and the format.
          r.run(() -> VellixLib.SetBorderImage(null));
          Check.throwsWith(IllegalArgumentException.class,
              () -> r.run(() -> VellixLib.UpdatePageImage(heap, 0)), "UpdatePageImage",
              "RGBA_8888", "cannot be locked");
          Check.throwsWith(IllegalArgumentException.class,
              () -> r.run(() -> VellixLib.UpdatePageImage(small, 0)), "UpdatePageImage",
              "RGBA_8888", "cannot be locked");
          // The unknown format abandons the call: the bitmap locked before it is unlocked.
          Check.throwsWith(IllegalArgumentException.class,
              () -> r.run(() -> VellixLib.SetPageImages(new Bitmap[] {page, odd, page}, 3)),
              "SetPageImages: bitmap 1", "cannot be described");
          return null;
        }, out);
        Check.lineList(out[0], 'E', "AndroidBitmap_getInfo() failed ! error=-1",
            "AndroidBitmap_lockPixels() failed ! error=-1",
            "AndroidBitmap_lockPixels() failed ! error=-1",
            "AndroidBitmap_getInfo() failed ! error=-1");
        for (Bitmap b : new Bitmap[] {page, heap, small, odd}) {
          Check.eq(0, b.getLockCount(), "locks left");
        }
        Check.eq(0, r.call(Egl::glError), "GL error");
      });

      Check.test("SetPageImages reads only the bitmaps that exist", () -> {
        int paper = 0xfff4ead5;
        Bitmap next = Pages.page(W, H, 0xffd5e5f4, Bitmap.FORMAT_RGBA_8888);
        Bitmap[] three = {null, page, next};
        // Counts beyond the array and beyond the three slots, a shorter array, nothing at all.
        r.run(() -> {
          VellixLib.SetPageImages(three, 7);
          VellixLib.SetPageImages(new Bitmap[] {next}, 3);
          VellixLib.SetPageImages(new Bitmap[0], 2);
          VellixLib.SetPageImages(three, -1);
        });
        Check.eq(0, page.getLockCount() + next.getLockCount(), "locks left");
        int[] px = r.frame();
        // The current page (element 1) is on screen: its paper in the middle, its corners.
        Pages.near(paper, Pages.at(px, W, W - 5, H / 2), 2, "paper");
        Pages.near(Pages.RED, Pages.at(px, W, 3, 3), 2, "top-left block");
        Pages.near(Pages.MAGENTA, Pages.at(px, W, W - 3, H - 3), 2, "bottom-right block");
        r.run(VellixLib::TerminateCurlEngine);
      });
    }
    Check.finish();
  }
}
