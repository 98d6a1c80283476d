package com.ordune.notes.vellix;

import android.graphics.Bitmap;

/**
 * The natives of libvellix, the page-curl renderer, and the callback it makes when a page
 * animation ends. Load the library once with {@code System.loadLibrary("vellix")}; its
 * {@code JNI_OnLoad} registers the natives on this class by name, so a shrinker must keep the
 * class, its natives and {@link #animation_end_callback()} as they are: apply the rules of
 * {@code proguard-rules.pro} beside this file.
 *
 * <h2>Threads</h2>
 *
 * <p><b>GL natives</b> ({@link #InitializeCurlEngine}, {@link #RenderAnimationFrame}, {@link
 * #SetCurlEngineDimensions} and the image natives {@link #SetPageImages}, {@link
 * #UpdatePageImage}, {@link #RefreshImage}, {@link #SetBorderImage}, {@link #SetBlankImage},
 * {@link #SetLeftPageImage}) make GL calls and must run on the thread that holds the EGL
 * context the engine was initialised in: in a {@code GLSurfaceView.Renderer}'s methods, or in a
 * {@code Runnable} handed to {@code GLSurfaceView.queueEvent}. Called on any other thread (the UI
 * thread, say) they throw {@link IllegalStateException} and change nothing. <b>Touch and
 * animation natives</b> ({@link #CurlBegin}, {@link #Curling}, {@link #CurlEnd}, {@link
 * #TurnPageAnimation}, {@link #BouncingCurlAnimation}) and {@link #GetTransformedCoordinate},
 * {@link #ZoomBook}, {@link #SetVisible} and {@link #TerminateCurlEngine} may be called on any
 * thread; every native takes one lock of the library, so calls from several threads never meet
 * inside the renderer.
 *
 * <h2>Before initialisation and after termination</h2>
 *
 * <p>Until {@link #InitializeCurlEngine} has run, and after {@link #TerminateCurlEngine}, the
 * natives that return an {@code int} return -1, {@link #GetTransformedCoordinate} returns {@code
 * [0, 0]} and every other native does nothing (it checks neither its thread nor its bitmaps).
 *
 * <h2>Coordinates and time</h2>
 *
 * <p>Touch positions are pixels of the GL surface, x from the left, y from the top, as {@code
 * MotionEvent.getX()}/{@code getY()} give them for a full-surface view. The page (in single-page
 * mode) fills the surface, so a page bitmap of the surface's size shows pixel for pixel.
 *
 * <p>The {@code time} of the animation natives is a <b>speed factor, not milliseconds</b>: the
 * page moves in steps of 33 ms and a motion lasts distance &times; k &times; time steps, where
 * distance is measured in page heights (the page is 1.0 high and width/height wide) and k is 5.6
 * for completing a drag, 5 for a fall back and 3 for {@link #TurnPageAnimation}; the bounce
 * lifts the corner for 0.6 &times; time steps and then falls back. {@code time = 1} finishes a
 * release in the middle of a portrait page in about 0.2 s, and the duration grows in proportion
 * to {@code time} (300 takes about a minute). 0 or less moves the page to its end at the next
 * frame.
 *
 * <h2>Pages</h2>
 *
 * <p>The book holds three page images: the previous page (index -1), the current page (0) and
 * the next page (1). A forward turn carries the current page over the spine and shows the next
 * one beneath it; when it ends the images move along (the next becomes the current, the current
 * the previous), and the application hands in the new next page with {@code UpdatePageImage(next,
 * 1)}. Bitmaps of {@code Bitmap.Config.ARGB_8888} and {@code RGB_565} work (also {@code
 * ARGB_4444} and {@code ALPHA_8}); {@code HARDWARE}, {@code RGBA_F16}, {@code RGBA_1010102} and
 * recycled bitmaps are refused with {@link IllegalArgumentException} naming the format. Rows
 * with padding at their ends are read correctly. The pixels are copied into a texture during
 * the call: the bitmap may be changed or recycled afterwards.
 *
 * <h2>Kept for compatibility</h2>
 *
 * <p>{@link #StartRender}, {@link #StopRender}, {@link #SetBackgroundImage}, {@link
 * #SetQuickFlipImage}, {@link #QuickFlip} and {@link #Zoom} do nothing (the image natives among
 * them still check their bitmap). Two-page mode has no native: the library always shows one
 * page.
 */
public final class VellixLib {
  private VellixLib() {}

  /**
   * Creates the engine, or makes it ready for a new surface or a new EGL context. GL thread;
   * call it in {@code onSurfaceChanged} after every {@code onSurfaceCreated}.
   *
   * <p>The first call creates the renderer and looks up {@link #animation_end_callback()}; later
   * calls build the shader programs again and keep the book: its pages, its current page and any
   * running animation. In the same EGL context the page images stay; in a new context (the old
   * one was lost, for instance when {@code GLSurfaceView} paused without {@code
   * setPreserveEGLContextOnPause}) the textures of the old context are forgotten without being
   * deleted, and the application hands every image in again ({@link #SetPageImages}, {@link
   * #SetBorderImage}, ...). A size of 0 or less in either direction leaves the book as it was
   * (none at first).
   *
   * @param width the surface width in pixels
   * @param height the surface height in pixels
   * @throws IllegalStateException when no EGL context is current on the calling thread
   * @throws NoSuchMethodError when this class has lost {@code animation_end_callback()} (a
   *     shrinker removed it): the engine is not created
   */
  public static native void InitializeCurlEngine(int width, int height);

  /**
   * Destroys the engine: the book, its textures and programs, and the callback. Any thread; on
   * the GL thread, while the engine's context is current, the GL objects are deleted; elsewhere
   * (for instance after the context was lost) they are only forgotten. Calling it again does
   * nothing; {@link #InitializeCurlEngine} starts anew afterwards.
   */
  public static native void TerminateCurlEngine();

  /**
   * Advances the animation by the time since the last frame and draws one frame into the
   * current surface. GL thread, once per {@code onDrawFrame}. When an animation ended in this
   * frame, {@link #animation_end_callback()} runs on this thread after the frame is drawn and
   * after the library's lock is released.
   *
   * @return always 0 with an engine (the end of an animation is reported by the callback only),
   *     -1 without one
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   */
  public static native int RenderAnimationFrame();

  /**
   * A finger went down: starts a drag of the page. Any thread. A backward drag starts at the
   * right edge of the page at the finger's height, whatever x is given.
   *
   * @param x surface pixels from the left
   * @param y surface pixels from the top
   * @param reverse {@code true} for a forward turn (the current page is lifted), {@code false}
   *     for a backward one (the previous page is brought back over the current one)
   * @return 0, or -1 without an engine
   */
  public static native int CurlBegin(int x, int y, boolean reverse);

  /**
   * The finger moved: the lifted corner follows it. Any thread; the page is drawn at the next
   * frame. Without a preceding {@link #CurlBegin} the position is stored and nothing moves.
   *
   * @param x surface pixels from the left
   * @param y surface pixels from the top
   * @return 0, or -1 without an engine
   */
  public static native int Curling(int x, int y);

  /**
   * The finger lifted: the drag ends with an animation, and {@link #animation_end_callback()}
   * runs when it has finished. Any thread. Without a drag in progress it does nothing.
   *
   * @param complete {@code true} lets the turn begun by {@link #CurlBegin} happen (a forward
   *     drag turns the page over, a backward one lays the previous page down), {@code false}
   *     undoes it (the page falls back where it was)
   * @param time speed factor, not milliseconds (see the class comment); 1 is a brisk finish
   * @return 0, or -1 without an engine
   */
  public static native int CurlEnd(boolean complete, long time);

  /**
   * Turns a page without a finger: an automatic turn that runs to its end, then {@link
   * #animation_end_callback()}. Any thread.
   *
   * @param reverse {@code true} turns forward to the next page, {@code false} brings the
   *     previous page back
   * @param time speed factor, not milliseconds (see the class comment)
   * @return 0, or -1 without an engine
   */
  public static native int TurnPageAnimation(boolean reverse, long time);

  /**
   * A hint that the page can be turned: the bottom corner of the current page lifts a little and
   * falls back, then {@link #animation_end_callback()}. Any thread.
   *
   * @param reverse {@code true} to bounce the current page; {@code false} first brings the
   *     previous page over, which then stays the current page
   * @param time speed factor, not milliseconds (see the class comment)
   * @return 0, or -1 without an engine
   */
  public static native int BouncingCurlAnimation(boolean reverse, long time);

  /**
   * Converts between surface pixels and pixels of the page. Any thread. The page fills the
   * surface at scale 1, so both directions return the point unchanged (rounded).
   *
   * @param x pixels from the left
   * @param y pixels from the top
   * @param direction 1 surface to page, -1 page to surface, anything else returns (x, y)
   * @return a new array {x, y}; {@code [0, 0]} without an engine
   */
  public static native int[] GetTransformedCoordinate(int x, int y, int direction);

  /** Kept for compatibility: does nothing. Render by calling {@link #RenderAnimationFrame}. */
  public static native void StartRender();

  /** Kept for compatibility: does nothing. */
  public static native void StopRender();

  /**
   * The surface changed size (rotation, a split screen). GL thread, in {@code onSurfaceChanged}
   * when the context is the one the engine was initialised in. The book keeps its pages, its
   * current page and any running animation, which goes on to its end at the new size; the same
   * size changes nothing. A size of 0 or less in either direction is ignored.
   *
   * @param width the surface width in pixels
   * @param height the surface height in pixels
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   */
  public static native void SetCurlEngineDimensions(int width, int height);

  /**
   * Hands in the previous, current and next page at once and makes the book visible. GL thread.
   * All or nothing: when one bitmap is refused no page changes.
   *
   * @param bitmaps element 0 the previous page, 1 the current page, 2 the next page; null
   *     elements leave their page as it is
   * @param count how many elements to read; at most 3 and at most the array's length are read
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when a bitmap cannot be locked or has a format the library
   *     cannot upload (the message names the format)
   */
  public static native void SetPageImages(Bitmap[] bitmaps, int count);

  /**
   * Hands in one page and makes the book visible. GL thread. A null bitmap does nothing.
   *
   * @param bitmap the page image
   * @param index -1 the previous page, 0 the current page, 1 the next page; any other index
   *     uploads nothing (but still makes the book visible)
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void UpdatePageImage(Bitmap bitmap, int index);

  /**
   * Hands in one page, as {@link #UpdatePageImage}, and shows or hides the whole book. GL
   * thread. A null bitmap does nothing.
   *
   * @param bitmap the page image
   * @param index -1 the previous page, 0 the current page, 1 the next page
   * @param show {@code true} makes the book visible, {@code false} hides it (frames only clear
   *     the surface) until an image is handed in with {@code show} or {@link #SetVisible}
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void RefreshImage(Bitmap bitmap, int index, boolean show);

  /**
   * Kept for compatibility: does nothing with the image. Any thread; the bitmap is still checked
   * and locked once.
   *
   * @param bitmap any bitmap
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void SetBackgroundImage(Bitmap bitmap);

  /**
   * The image of the page edge: its rightmost 4 % is drawn over the rightmost 4 % of the page,
   * also while a page turns. GL thread. A null bitmap changes nothing.
   *
   * @param bitmap the edge image, usually the size of a page
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void SetBorderImage(Bitmap bitmap);

  /**
   * The image shown beneath the moving page where the book has no page image for it: under a
   * backward turn, and under a forward turn before the next page is handed in after the last
   * turn. GL thread. A null bitmap changes nothing.
   *
   * @param bitmap the blank page image
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void SetBlankImage(Bitmap bitmap);

  /**
   * The image of the left-hand page, shown beside the page while the book is zoomed out ({@link
   * #ZoomBook} below 1). GL thread. A null bitmap changes nothing.
   *
   * @param bitmap the left page image
   * @throws IllegalStateException when the engine's EGL context is not current on this thread
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void SetLeftPageImage(Bitmap bitmap);

  /**
   * Kept for compatibility: does nothing with the image. Any thread; the bitmap is still checked
   * and locked once.
   *
   * @param bitmap any bitmap
   * @param next not used
   * @throws IllegalArgumentException when the bitmap cannot be locked or has a format the
   *     library cannot upload
   */
  public static native void SetQuickFlipImage(Bitmap bitmap, boolean next);

  /**
   * Kept for compatibility: does nothing. Use {@link #ZoomBook}.
   *
   * @param unused1 not used
   * @param unused2 not used
   * @param unused3 not used
   * @param unused4 not used
   * @param unusedScale not used
   */
  public static native void Zoom(int unused1, int unused2, int unused3, int unused4,
      float unusedScale);

  /**
   * Moves the book away from or towards the viewer. Any thread; shown at the next frame.
   *
   * @param scale 1 the page fills the surface, below 1 it is smaller (0.5 half the size), above
   *     1 larger; 0, negative, infinite and NaN values are ignored
   */
  public static native void ZoomBook(float scale);

  /**
   * Kept for compatibility: does nothing.
   *
   * @param unusedPage not used
   * @param unusedNext not used
   * @param unusedTime not used
   */
  public static native void QuickFlip(int unusedPage, boolean unusedNext, long unusedTime);

  /**
   * Shows or hides the book. Any thread. While hidden, frames only clear the surface and
   * animations do not advance.
   *
   * @param visible {@code true} to draw the book
   */
  public static native void SetVisible(boolean visible);

  private static volatile Runnable animationEndListener;

  /**
   * Sets what {@link #animation_end_callback()} runs. It runs on the GL thread, inside {@link
   * #RenderAnimationFrame}: post UI work to a {@code Handler} of the main looper, and hand the
   * next page image in with {@code GLSurfaceView.queueEvent} or directly (it is the GL thread).
   *
   * @param listener run at the end of every page animation; null for none
   */
  public static void setAnimationEndListener(Runnable listener) {
    animationEndListener = listener;
  }

  /**
   * Called by the library, by this name, when a page animation has ended (a turn, a fall back,
   * a bounce); runs the listener of {@link #setAnimationEndListener}. Keep it through shrinking:
   * without it {@link #InitializeCurlEngine} throws {@link NoSuchMethodError}. An exception
   * thrown by the listener comes out of {@link #RenderAnimationFrame}.
   */
  public static void animation_end_callback() {
    Runnable r = animationEndListener;
    if (r != null) {
      r.run();
    }
  }
}
