package com.ordune.notes.vellix.test;

import java.awt.image.BufferedImage;
import java.io.File;
import java.nio.file.Files;
import java.util.concurrent.TimeUnit;
import javax.imageio.ImageIO;
import javax.imageio.ImageReader;
import javax.imageio.stream.ImageInputStream;

/** vellix-demo end to end: it renders a turn, and its PNGs and GIF read back as that turn. */
public final class DemoTest {
  private DemoTest() {}

  /** Mean absolute channel difference of two pictures of the same size. */
  static double meanDifference(BufferedImage a, BufferedImage b) {
    long sum = 0;
    for (int y = 0; y < a.getHeight(); ++y) {
      for (int x = 0; x < a.getWidth(); ++x) {
        int p = a.getRGB(x, y);
        int q = b.getRGB(x, y);
        for (int s = 0; s < 24; s += 8) {
          sum += Math.abs(((p >> s) & 0xff) - ((q >> s) & 0xff));
        }
      }
    }
    return sum / (3.0 * a.getWidth() * a.getHeight());
  }

  /** The same over the means of 4 x 4 blocks, where ordered dithering averages out. */
  static double blockDifference(BufferedImage a, BufferedImage b) {
    long sum = 0;
    int blocks = 0;
    for (int y = 0; y + 4 <= a.getHeight(); y += 4) {
      for (int x = 0; x + 4 <= a.getWidth(); x += 4) {
        for (int s = 0; s < 24; s += 8) {
          int ma = 0;
          int mb = 0;
          for (int k = 0; k < 16; ++k) {
            ma += (a.getRGB(x + k % 4, y + k / 4) >> s) & 0xff;
            mb += (b.getRGB(x + k % 4, y + k / 4) >> s) & 0xff;
          }
          sum += Math.abs(ma - mb) / 16;
        }
        ++blocks;
      }
    }
    return sum / (3.0 * blocks);
  }

  public static void main(String[] args) throws Exception {
    Check.test("vellix-demo answers --help and refuses an unknown option, writing nothing", () -> {
      File cwd = Files.createTempDirectory("vellix-demo-args").toFile();
      String[][] cases = {{"--help", "0"}, {"--frames", "2"}};
      for (String[] c : cases) {
        Process p = new ProcessBuilder(System.getProperty("vellix.demo"), c[0])
                        .directory(cwd)
                        .redirectErrorStream(true)
                        .start();
        String out = new String(p.getInputStream().readAllBytes(), "UTF-8");
        Check.ok(p.waitFor(30, TimeUnit.SECONDS), "the demo ends");
        Check.eq(Integer.parseInt(c[1]), p.exitValue(), c[0] + " exit status");
        Check.ok(out.contains("usage: vellix-demo [FOLDER]"), c[0] + " prints the usage: " + out);
        Check.eq(0, cwd.list().length, c[0] + " writes nothing");
      }
    });
    Check.test("vellix-demo writes the frames of one page turn and a GIF of them", () -> {
      File out = Files.createTempDirectory("vellix-demo").toFile();
      Process p = new ProcessBuilder(System.getProperty("vellix.demo"), out.getPath())
                      .redirectErrorStream(true)
                      .start();
      String log = new String(p.getInputStream().readAllBytes(), "UTF-8");
      Check.ok(p.waitFor(60, TimeUnit.SECONDS), "the demo ends");
      System.out.print(log);
      Check.eq(0, p.exitValue(), "exit status");
      Check.ok(log.contains("callback once"), "the turn ended with the callback");
      File[] pngs = out.listFiles((d, n) -> n.startsWith("frame_") && n.endsWith(".png"));
      Check.ok(pngs != null && pngs.length > 40, "frames written");
      java.util.Arrays.sort(pngs);
      BufferedImage first = ImageIO.read(pngs[0]);
      BufferedImage mid = ImageIO.read(pngs[25]);
      BufferedImage last = ImageIO.read(pngs[pngs.length - 1]);
      Check.eq("800x600", first.getWidth() + "x" + first.getHeight(), "frame size");
      Check.ok(meanDifference(first, mid) > 10, "mid-turn differs from the first page");
      Check.ok(meanDifference(first, last) > 5, "the last frame shows another page");
      ImageReader gif = ImageIO.getImageReadersByFormatName("gif").next();
      try (ImageInputStream in = ImageIO.createImageInputStream(new File(out, "vellix-demo.gif"))) {
        gif.setInput(in);
        Check.eq(pngs.length, gif.getNumImages(true), "GIF frames");
        // 252 colours with ordered dithering: close to the PNG block by block.
        double d = blockDifference(mid, gif.read(25));
        Check.ok(d < 6, "GIF frame 25 is the PNG frame 25 (mean block difference " + d + ")");
      }
      for (File f : out.listFiles()) {
        f.delete();
      }
      out.delete();
    });
    Check.finish();
  }
}
