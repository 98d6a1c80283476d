package com.ordune.notes.vellix.test;

import java.util.concurrent.BlockingQueue;
import java.util.concurrent.Callable;
import java.util.concurrent.FutureTask;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/** A rendering thread that owns the GL context, like an application's GL view. */
final class Renderer implements AutoCloseable {
  private final BlockingQueue<Runnable> queue = new LinkedBlockingQueue<>();
  private final Thread thread;
  private volatile boolean running = true;

  Renderer(int width, int height) throws Exception {
    thread = new Thread(this::loop, "vellix-render");
    thread.start();
    Check.ok(call(() -> Egl.makeCurrent(width, height)), "EGL context on the render thread");
  }

  Thread thread() {
    return thread;
  }

  private void loop() {
    while (running) {
      try {
        Runnable r = queue.poll(100, TimeUnit.MILLISECONDS);
        if (r != null) {
          r.run();
        }
      } catch (InterruptedException e) {
        return;
      }
    }
  }

  <T> T call(Callable<T> c) throws Exception {
    FutureTask<T> task = new FutureTask<>(c);
    queue.add(task);
    return task.get(30, TimeUnit.SECONDS);
  }

  void run(Check.Body body) throws Exception {
    call(() -> {
      body.run();
      return null;
    });
  }

  /** One frame through the natives, then the picture. */
  int[] frame() throws Exception {
    return call(() -> {
      Check.eq(0, com.ordune.notes.vellix.VellixLib.RenderAnimationFrame(), "RenderAnimationFrame");
      return Egl.readPixels();
    });
  }

  @Override
  public void close() throws Exception {
    call(() -> {
      Egl.release();
      return null;
    });
    running = false;
    thread.join();
  }
}
