package com.ordune.notes.vellix.test;

import android.graphics.Bitmap;

/**
 * What the mid-curl picture must show where: the finger has carried the bottom-right corner
 * to about (140, 204) on a 240 x 320 screen.
 */
final class MidCurl {
  private MidCurl() {}

  static int channel(int argb, int shift) {
    return (argb >> shift) & 0xff;
  }

  /** The back face: the front's colour washed 80 % towards white, then shaded by the light. */
  static void back(int front, int actual, String what) {
    double k = channel(actual, 16) / (0.2 * channel(front, 16) + 204.0);
    for (int s = 0; s < 24; s += 8) {
      double washed = 0.2 * channel(front, s) + 204.0;
      if (Math.abs(channel(actual, s) - k * washed) > 4 || k < 0.6 || k > 1.0) {
        throw new AssertionError(what + ": " + Pages.hex(actual) + " is not the back of "
            + Pages.hex(front) + " (shade " + k + ")");
      }
    }
  }

  /** Shadow: the paper darkened towards black, the same factor on every channel. */
  static void shadow(int paper, int actual, String what) {
    double k = channel(actual, 0) / (double) channel(paper, 0);
    for (int s = 0; s < 24; s += 8) {
      if (Math.abs(channel(actual, s) - k * channel(paper, s)) > 3 || k > 0.95 || k < 0.5) {
        throw new AssertionError(what + ": " + Pages.hex(actual) + " is not a shadow on "
            + Pages.hex(paper) + " (factor " + k + ")");
      }
    }
  }

  static void check(int[] px, int w, int h, Bitmap current, Bitmap next) {
    // Away from the curl the current page lies flat.
    for (int[] p : new int[][] {{20, 20}, {60, 100}, {200, 60}, {10, 300}}) {
      Pages.near(current.getPixelArgb(p[0], p[1]), Pages.at(px, w, p[0], p[1]), 2,
          "flat current page at " + p[0] + "," + p[1]);
    }
    // Where the corner was, the next page is uncovered.
    for (int[] p : new int[][] {{150, 300}, {180, 280}, {230, 250}, {236, 316}}) {
      Pages.near(next.getPixelArgb(p[0], p[1]), Pages.at(px, w, p[0], p[1]), 2,
          "next page at " + p[0] + "," + p[1]);
    }
    Check.ok(Pages.distance(current.getPixelArgb(150, 300), next.getPixelArgb(150, 300)) > 20,
        "the two pages differ there");
    // Between the fold and the finger the page shows its back: paper, and the mirrored
    // magenta block of the bottom-right corner.
    back(current.getPixelArgb(230, 160), Pages.at(px, w, 183, 230), "back, paper");
    back(Pages.MAGENTA, Pages.at(px, w, 170, 240), "back, corner block");
    // Just outside the curled edge the next page lies in its shadow, darkest at the edge.
    int paper = next.getPixelArgb(134, 300);
    shadow(paper, Pages.at(px, w, 134, 300), "shadow at the curl's edge");
    Check.ok(Pages.distance(paper, Pages.at(px, w, 134, 300))
            > Pages.distance(paper, Pages.at(px, w, 138, 300)),
        "the shadow fades away from the curl");
  }
}
