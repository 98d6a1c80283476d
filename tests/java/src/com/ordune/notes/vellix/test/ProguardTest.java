package com.ordune.notes.vellix.test;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A release build's shrinker against the shipped rules: ProGuard shrinks and obfuscates a
 * small application (ShrunkApp with VellixLib) once with vellix/java/proguard-rules.pro and
 * once with only the usual Android rule for natives; each result runs in a child JVM.
 */
public final class ProguardTest {
  private ProguardTest() {}

  static String run(List<String> command) throws Exception {
    ProcessBuilder pb = new ProcessBuilder(command);
    pb.redirectErrorStream(true);
    Process p = pb.start();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    try (InputStream in = p.getInputStream()) {
      in.transferTo(out);
    }
    Check.ok(p.waitFor(120, TimeUnit.SECONDS), "ended: " + command);
    String text = out.toString(StandardCharsets.UTF_8);
    System.out.print(text);
    Check.eq(0, p.exitValue(), "exit status of " + command.get(0));
    return text;
  }

  /** Shrinks the application with `rules` (lines of ProGuard configuration) into a jar. */
  static File shrink(String name, String... rules) throws Exception {
    File dir = new File(System.getProperty("vellix.output"), "proguard");
    dir.mkdirs();
    File jar = new File(dir, name + ".jar");
    jar.delete();
    List<String> config = new ArrayList<>(Arrays.asList(
        "-injars " + System.getProperty("vellix.shrinkin"),
        "-outjars " + jar.getPath(),
        // ProGuard 6 reads no JDK 17 class files: the Java library stays unread.
        "-dontwarn java.**", "-dontpreverify",
        "-keep class com.ordune.notes.vellix.probe.ShrunkApp {"
            + " public static void main(java.lang.String[]); }",
        // The platform's class (the test stand-in here) is not part of an application.
        "-keep class android.graphics.Bitmap { *; }"));
    config.addAll(Arrays.asList(rules));
    File pro = new File(dir, name + ".pro");
    Files.write(pro.toPath(), config);
    run(Arrays.asList(System.getProperty("vellix.proguard"), "@" + pro.getPath()));
    return jar;
  }

  static String app(File jar) throws Exception {
    String java = System.getProperty("java.home") + File.separator + "bin" + File.separator
        + "java";
    // Without preverification the shrunk classes lack stack maps, which Android's dex format
    // does not use; this JVM is told not to verify them.
    return run(Arrays.asList(java, "-Xcheck:jni", "-XX:+UnlockDiagnosticVMOptions",
        "-XX:-BytecodeVerificationRemote",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
        jar.getPath() + File.pathSeparator + System.getProperty("java.class.path"),
        "com.ordune.notes.vellix.probe.ShrunkApp"));
  }

  public static void main(String[] args) throws Exception {
    // Rules, and what the shrunk application must print.
    String[][] cases = {
        {"with-rules", "-include " + System.getProperty("vellix.rules"), "initialised 0"},
        // Android's default rule for natives keeps their names, not the unused ones: the
        // registration of all 24 fails, and loading the library with it.
        {"android-default",
            "-keepclasseswithmembernames,includedescriptorclasses class * { native <methods>; }",
            "UnsatisfiedLinkError"},
        // Every native kept but not the callback, which nothing in Java calls: the initialising
        // native says so at once.
        {"natives-only", "-keep class com.ordune.notes.vellix.VellixLib { native <methods>; }",
            "NoSuchMethodError: com.ordune.notes.vellix.VellixLib has no static void "
                + "animation_end_callback(): keep it with libvellix's proguard-rules.pro"},
    };
    for (String[] c : cases) {
      Check.test(c[0] + ": " + c[2], () -> {
        String out = app(shrink(c[0], c[1]));
        Check.ok(out.contains(c[2]), "the application printed " + c[2]);
        Check.ok(!out.contains("WARNING in native method"), "no JNI warnings");
      });
    }
    Check.finish();
  }
}
