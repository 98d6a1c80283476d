package com.ordune.notes.vellix;

import android.graphics.Bitmap;

/** The natives of libvellix, one of them missing. */
public final class VellixLib {
  private VellixLib() {}

  public static native void InitializeCurlEngine(int width, int height);

  public static native void TerminateCurlEngine();

  public static native int RenderAnimationFrame();

  public static native int CurlBegin(int x, int y, boolean reverse);

  public static native int Curling(int x, int y);

  public static native int CurlEnd(boolean flag, long time);

  public static native int TurnPageAnimation(boolean reverse, long time);

  public static native int BouncingCurlAnimation(boolean reverse, long time);

  public static native int[] GetTransformedCoordinate(int x, int y, int direction);

  public static native void StartRender();

  public static native void StopRender();

  public static native void SetCurlEngineDimensions(int width, int height);

  public static native void SetPageImages(Bitmap[] bitmaps, int count);

  public static native void UpdatePageImage(Bitmap bitmap, int index);

  public static native void RefreshImage(Bitmap bitmap, int index, boolean show);

  public static native void SetBackgroundImage(Bitmap bitmap);

  public static native void SetBorderImage(Bitmap bitmap);

  public static native void SetBlankImage(Bitmap bitmap);

  public static native void SetLeftPageImage(Bitmap bitmap);

  public static native void SetQuickFlipImage(Bitmap bitmap, boolean next);

  public static native void Zoom(int a, int b, int c, int d, float scale);

  public static native void ZoomBook(float scale);

  public static native void QuickFlip(int a, boolean next, long time);

}
