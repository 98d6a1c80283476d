package com.ordune.notes.vellix.test;

import java.awt.image.BufferedImage;
import java.io.File;
import java.io.IOException;
import javax.imageio.ImageIO;

/**
 * Rendered pictures against the committed references: every channel of every pixel within a
 * few levels. On a mismatch the actual picture (and a difference picture) is written to the
 * output folder for a person to look at. With -Dvellix.update the references are rewritten.
 */
final class Images {
  static final int TOLERANCE = 4;

  private Images() {}

  static BufferedImage image(int[] argb, int w, int h) {
    BufferedImage img = new BufferedImage(w, h, BufferedImage.TYPE_INT_ARGB);
    img.setRGB(0, 0, w, h, argb, 0, w);
    return img;
  }

  static void expect(String name, int[] argb, int w, int h) throws IOException {
    File ref = new File(System.getProperty("vellix.references"), name + ".png");
    File out = new File(System.getProperty("vellix.output", "."));
    if (System.getProperty("vellix.update") != null) {
      ImageIO.write(image(argb, w, h), "png", ref);
      System.out.println("wrote " + ref);
      return;
    }
    BufferedImage expected = ImageIO.read(ref);
    Check.ok(expected != null, "reference " + ref + " is readable");
    Check.eq(w + "x" + h, expected.getWidth() + "x" + expected.getHeight(), name + " size");
    int bad = 0;
    int worst = 0;
    int[] diff = new int[w * h];
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        int a = argb[y * w + x];
        int e = expected.getRGB(x, y);
        int d = Math.max(Pages.distance(a, e), Math.abs((a >>> 24) - (e >>> 24)));
        worst = Math.max(worst, d);
        if (d > TOLERANCE) {
          ++bad;
          diff[y * w + x] = 0xffff0000;
        } else {
          diff[y * w + x] = 0xff000000 | (d * 40);
        }
      }
    }
    if (bad > 0) {
      out.mkdirs();
      File actual = new File(out, name + ".actual.png");
      ImageIO.write(image(argb, w, h), "png", actual);
      ImageIO.write(image(diff, w, h), "png", new File(out, name + ".diff.png"));
      throw new AssertionError(name + ": " + bad + " pixels differ by more than " + TOLERANCE
          + " levels (at most " + worst + "); actual picture: " + actual.getAbsolutePath());
    }
  }
}
