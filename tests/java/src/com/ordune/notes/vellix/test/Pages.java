package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;

/** Page pictures that show which page, which side and which way up is drawn. */
final class Pages {
  private Pages() {}

  static final int RED = 0xffd02020;
  static final int GREEN = 0xff20a040;
  static final int BLUE = 0xff2040d0;
  static final int MAGENTA = 0xffc020c0;
  static final int ORANGE = 0xfff08010;
  static final int INK = 0xff202840;

  /** Paper of colour `paper` with lines of text and a coloured block in each corner. */
  static Bitmap page(int w, int h, int paper, int format) {
    return draw(Bitmap.create(w, h, format), paper);
  }

  /**
   * The same page in a bitmap whose rows are `padding` bytes longer than its pixels; the
   * padding holds bytes no page has (0x5a), so reading it would show.
   */
  static Bitmap paddedPage(int w, int h, int paper, int format, int padding) {
    int stride = w * Bitmap.bytesPerPixel(format) + padding;
    Bitmap b = Bitmap.createPadded(w, h, format, stride);
    for (int i = 0; i < stride * h; ++i) {
      b.getBuffer().put(i, (byte) 0x5a);
    }
    return draw(b, paper);
  }

  private static Bitmap draw(Bitmap b, int paper) {
    int w = b.getWidth();
    int h = b.getHeight();
    b.eraseColor(paper);
    int block = Math.max(4, w / 6);
    for (int y = block + 8; y < h - block - 8; y += 12) {
      int len = (int) (w * (0.55 + 0.35 * Math.abs(Math.sin(y * 0.37))));
      for (int x = 12; x < Math.min(len, w - 12); ++x) {
        if ((x / 7) % 5 != 4) {
          for (int t = 0; t < 3; ++t) {
            b.setPixel(x, y + t, INK);
          }
        }
      }
    }
    fill(b, 0, 0, block, block, RED);
    fill(b, w - block, 0, w, block, GREEN);
    fill(b, 0, h - block, block, h, BLUE);
    fill(b, w - block, h - block, w, h, MAGENTA);
    return b;
  }

  static void fill(Bitmap b, int x0, int y0, int x1, int y1, int argb) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        b.setPixel(x, y, argb);
      }
    }
  }

  /** The largest channel difference of two 0xAARRGGBB colours, alpha left out. */
  static int distance(int a, int b) {
    int d = 0;
    for (int s = 0; s < 24; s += 8) {
      d = Math.max(d, Math.abs(((a >> s) & 0xff) - ((b >> s) & 0xff)));
    }
    return d;
  }

  static int at(int[] argb, int width, int x, int y) {
    return argb[y * width + x];
  }

  static String hex(int argb) {
    return String.format("%08x", argb);
  }

  static void near(int expected, int actual, int tolerance, String what) {
    if (distance(expected, actual) > tolerance) {
      throw new AssertionError(what + ": expected about " + hex(expected) + " but was "
          + hex(actual));
    }
  }
}
