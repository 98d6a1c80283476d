package android.graphics;

import java.nio.ByteBuffer;

/**
 * The test stand-in for Android's bitmap: the pixels live in a direct buffer that the native
 * side locks through jnigraphics. Rows are packed (stride = width x bytes per pixel) unless the
 * bitmap was made with padded rows; RGBA_8888 pixels are the bytes R, G, B, A. A "hardware"
 * bitmap describes itself but cannot be locked, as on Android.
 */
public final class Bitmap {
  public static final int FORMAT_RGBA_8888 = 1;
  public static final int FORMAT_RGB_565 = 4;
  public static final int FORMAT_RGBA_4444 = 7;
  public static final int FORMAT_A_8 = 8;
  public static final int FORMAT_RGBA_F16 = 9;
  public static final int FORMAT_RGBA_1010102 = 10;

  int mWidth;
  int mHeight;
  int mFormat;
  ByteBuffer mBuffer;
  // Kept by jnigraphics: locks not yet unlocked.
  int mLockCount;
  // Set for bitmaps whose memory belongs to native code (streaming textures).
  long mNativePixelRef;
  // Bytes from one row to the next; 0 for packed rows.
  int mStride;
  // Pixels in GPU memory: jnigraphics describes the bitmap but cannot lock it.
  boolean mHardware;

  Bitmap() {}

  public static int bytesPerPixel(int format) {
    switch (format) {
      case FORMAT_RGBA_F16:
        return 8;
      case FORMAT_RGBA_8888:
      case FORMAT_RGBA_1010102:
        return 4;
      case FORMAT_RGB_565:
      case FORMAT_RGBA_4444:
        return 2;
      case FORMAT_A_8:
        return 1;
      default:
        return 4;
    }
  }

  public static Bitmap create(int width, int height, int format) {
    return wrap(width, height, format,
        ByteBuffer.allocateDirect(width * height * bytesPerPixel(format)));
  }

  /** A bitmap whose rows are `stride` bytes apart (at least width x bytes per pixel). */
  public static Bitmap createPadded(int width, int height, int format, int stride) {
    Bitmap b = wrap(width, height, format, ByteBuffer.allocateDirect(stride * height));
    b.mStride = stride;
    return b;
  }

  /** A bitmap of the HARDWARE config: it describes itself as `format` but cannot be locked. */
  public static Bitmap createHardware(int width, int height, int format) {
    Bitmap b = create(width, height, format);
    b.mHardware = true;
    return b;
  }

  /** A bitmap over any buffer, also one jnigraphics must refuse. */
  public static Bitmap wrap(int width, int height, int format, ByteBuffer buffer) {
    Bitmap b = new Bitmap();
    b.mWidth = width;
    b.mHeight = height;
    b.mFormat = format;
    b.mBuffer = buffer;
    return b;
  }

  public int getWidth() {
    return mWidth;
  }

  public int getHeight() {
    return mHeight;
  }

  public int getLockCount() {
    return mLockCount;
  }

  public ByteBuffer getBuffer() {
    return mBuffer;
  }

  /** Bytes from one row to the next. */
  public int getRowBytes() {
    return mStride != 0 ? mStride : mWidth * bytesPerPixel(mFormat);
  }

  /** Writes one pixel given as 0xAARRGGBB. */
  public void setPixel(int x, int y, int argb) {
    int a = argb >>> 24;
    int r = (argb >> 16) & 0xff;
    int g = (argb >> 8) & 0xff;
    int b = argb & 0xff;
    int i = y * getRowBytes() + x * bytesPerPixel(mFormat);
    switch (mFormat) {
      case FORMAT_RGBA_8888:
        mBuffer.put(i, (byte) r).put(i + 1, (byte) g).put(i + 2, (byte) b).put(i + 3, (byte) a);
        break;
      case FORMAT_RGB_565: {
        int v = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
        mBuffer.put(i, (byte) v).put(i + 1, (byte) (v >> 8));
        break;
      }
      case FORMAT_RGBA_4444: {
        int v = ((r >> 4) << 12) | ((g >> 4) << 8) | ((b >> 4) << 4) | (a >> 4);
        mBuffer.put(i, (byte) v).put(i + 1, (byte) (v >> 8));
        break;
      }
      case FORMAT_A_8:
        mBuffer.put(i, (byte) a);
        break;
      default:
        break;
    }
  }

  /** One RGBA_8888 pixel as 0xAARRGGBB. */
  public int getPixelArgb(int x, int y) {
    int i = y * getRowBytes() + x * 4;
    return ((mBuffer.get(i + 3) & 0xff) << 24) | ((mBuffer.get(i) & 0xff) << 16)
        | ((mBuffer.get(i + 1) & 0xff) << 8) | (mBuffer.get(i + 2) & 0xff);
  }

  public void eraseColor(int argb) {
    for (int y = 0; y < mHeight; ++y) {
      for (int x = 0; x < mWidth; ++x) {
        setPixel(x, y, argb);
      }
    }
  }
}
