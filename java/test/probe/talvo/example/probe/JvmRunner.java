package talvo.example.probe;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.RandomAccessFile;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.jar.JarFile;

/** The probe's checks that take JVMs of their own, each started with the same java. */
final class JvmRunner {
    private static final String MODULE = "talvo.index.windows_native";
    private static final String MAIN = MODULE + ".WindowsFilesystemChangeMonitor";
    private static final long ENDS_WITHIN_SECONDS = 300;

    private final Path work;
    private final Path jar;
    private final Path bareJar;
    private final Path library;
    private final boolean modulePath;
    private final boolean nativeAccess;
    private final boolean jlink;
    private final List<String> javaOptions = new ArrayList<>();
    private int runs;

    JvmRunner(String[] args) {
        work = Paths.get(args[1]).toAbsolutePath();
        jar = Paths.get(args[2]).toAbsolutePath();
        bareJar = Paths.get(args[3]).toAbsolutePath();
        library = Paths.get(args[4]).toAbsolutePath();
        boolean onModulePath = false;
        boolean denying = false;
        boolean image = false;
        for (int i = 5; i < args.length; ++i) {
            if (args[i].equals("--module-path")) onModulePath = true;
            else if (args[i].equals("--native-access")) denying = true;
            else if (args[i].equals("--jlink")) image = true;
            else if (args[i].equals("--java-option") && i + 1 < args.length) {
                javaOptions.add(args[++i]);
            } else {
                throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        modulePath = onModulePath;
        nativeAccess = denying;
        jlink = image;
    }

    void checkAll() throws Exception {
        System.out.println("# java " + System.getProperty("java.version") + " "
                + (modulePath ? "on the module path" : "on the class path")
                + (nativeAccess ? ", denying native access not allowed" : "") + " " + javaOptions);
        checkWatches("the jar's copy", jar, list(), 1000 / 8);
        checkWatches("-Dwindowsfscm.library", bareJar,
                list("-Dwindowsfscm.library=" + library), 10);
        checkWatches("java.library.path", bareJar,
                list("-Djava.library.path=" + library.getParent()), 10);
        checkTheJarsCache();
        checkTheWatchCommand();
        if (nativeAccess) checkDenials();
        if (jlink) checkARuntimeImage();
    }

    // The probe's watch checks in a JVM of their own that finds the library by one way.
    private void checkWatches(String way, Path libraryJar, List<String> options, int cycles)
            throws Exception {
        List<String> command = java(options);
        command.add("-Dwindowsfscm.cache=" + work.resolve("cache-" + ++runs));
        command.addAll(onPaths(libraryJar));
        command.addAll(list(JvmProbe.class.getName(), "watches", "--cycles",
                String.valueOf(cycles)));
        Finished run = run(command);
        for (String line : run.out.split("\n")) {
            if (!line.isEmpty()) System.out.println("  " + way + ": " + line);
        }
        JvmProbe.check(run.status == 0, "by " + way + ": the watch checks pass");
        JvmProbe.check(run.err.isEmpty(), "by " + way + ": nothing on stderr", run.err);
    }

    private void checkTheJarsCache() throws Exception {
        Path cache = work.resolve("cache-" + ++runs);
        List<String> diagnose = java(list("-Dwindowsfscm.cache=" + cache));
        diagnose.addAll(command(jar, "--diagnose"));
        Finished first = run(diagnose);
        Path copy = libraryOf(first);
        JvmProbe.check(first.status == 0 && copy != null && copy.startsWith(cache),
                "an empty cache: the jar's copy is extracted into it", first.out + first.err);
        if (copy == null) return;
        String expected = copy.getParent().getFileName().toString();
        JvmProbe.check(sha256(copy).equals(expected) && jarLists(expected),
                "the copy's SHA-256 is the one the jar lists");
        Object inode = Files.getAttribute(copy, "unix:ino");
        Finished again = run(diagnose);
        JvmProbe.check(again.status == 0 && copy.equals(libraryOf(again))
                && inode.equals(Files.getAttribute(copy, "unix:ino")),
                "the next JVM uses the same copy again", again.err);
        try (RandomAccessFile damaged = new RandomAccessFile(copy.toFile(), "rw")) {
            damaged.setLength(damaged.length() / 2);
        }
        Finished replaced = run(diagnose);
        JvmProbe.check(replaced.status == 0 && copy.equals(libraryOf(replaced))
                && sha256(copy).equals(expected),
                "a damaged copy is replaced by the next JVM", replaced.err);
    }

    private void checkTheWatchCommand() throws Exception {
        Path tree = Files.createDirectories(work.resolve("command-" + ++runs));
        List<String> options = list("-Dwindowsfscm.cache=" + work.resolve("cache-command"));
        List<String> watch = modulePath ? java(options) : jvm(options);
        watch.addAll(command(jar, tree.toString()));
        checkWatching(modulePath ? "java -m " + MODULE : "java -jar", watch, tree);
    }

    // The watch command started by command on tree: it says so, prints a change, says nothing
    // on stderr and ends cleanly when stopped.
    private void checkWatching(String how, List<String> command, Path tree) throws Exception {
        Path deep = Files.createDirectories(tree.resolve("a/b/c"));
        Path err = work.resolve("command-" + ++runs + ".err");
        Process process = new ProcessBuilder(command).redirectError(err.toFile()).start();
        try {
            BlockingQueue<String> lines = linesOf(process.getInputStream());
            String banner = lines.poll(ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
            JvmProbe.check(("watching " + tree + " (Ctrl-C to stop)").equals(banner),
                    how + " DIR: says what it watches", banner);
            Files.write(deep.resolve("file"), new byte[] {1});
            String change = lines.poll(ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
            JvmProbe.check(change != null && change.endsWith(" change #1"),
                    how + " DIR: prints the change", change);
        } finally {
            process.destroy();
            process.waitFor(ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
        }
        String errors = new String(Files.readAllBytes(err), StandardCharsets.UTF_8);
        JvmProbe.check(errors.isEmpty(), how + " DIR: nothing on stderr", errors);
        JvmProbe.check(process.exitValue() == 0, how + " DIR: ends with status 0 when stopped");
    }

    // A JVM that loads the library from the class path or the module path: where the probe is
    // told to check native access, it denies any not allowed, and allows it to the library.
    private List<String> java(List<String> options) {
        List<String> command = jvm(options);
        if (nativeAccess) command.add(enableNativeAccess());
        return command;
    }

    // A JVM for the jar run as a program, whose manifest allows it native access by itself.
    private List<String> jvm(List<String> options) {
        List<String> command = list(javaOf(Paths.get(System.getProperty("java.home"))),
                "-Djava.io.tmpdir=" + work);
        if (nativeAccess) command.add("--illegal-native-access=deny");
        command.addAll(javaOptions);
        command.addAll(options);
        return command;
    }

    private String enableNativeAccess() {
        return "--enable-native-access=" + (modulePath ? MODULE : "ALL-UNNAMED");
    }

    private static String javaOf(Path home) {
        return home.resolve("bin").resolve("java").toString();
    }

    // The probe's own classes and the library's jar, on the class path or the module path.
    private List<String> onPaths(Path libraryJar) throws URISyntaxException {
        String probe = Paths.get(JvmProbe.class.getProtectionDomain().getCodeSource()
                .getLocation().toURI()).toString();
        if (!modulePath) return list("-cp", probe + File.pathSeparator + libraryJar);
        return list("--module-path", libraryJar.toString(), "--add-modules", MODULE, "-cp", probe);
    }

    // The watch command with its arguments: the jar run as a program, or its module.
    private List<String> command(Path libraryJar, String... arguments) {
        List<String> command = modulePath
                ? list("--module-path", libraryJar.toString(), "-m", MODULE + "/" + MAIN)
                : list("-jar", libraryJar.toString());
        for (String argument : arguments) command.add(argument);
        return command;
    }

    // Without the flag, the JVM's denial is one error that names it, and nothing else is tried.
    private void checkDenials() throws Exception {
        List<String> denied = jvm(list("-Dwindowsfscm.cache=" + work.resolve("cache-denied")));
        denied.addAll(modulePath
                ? list("--module-path", jar.toString(), "-m", MODULE + "/" + MAIN)
                : list("-cp", jar.toString(), MAIN));
        denied.add("--diagnose");
        Finished run = run(denied);
        String expected = "watch: native access was denied: this JVM does not let "
                + (modulePath ? "the module " + MODULE : "code on the class path")
                + " load the native library windowsfscm. Run java with " + enableNativeAccess();
        JvmProbe.check(run.status == 1 && run.err.startsWith(expected + (modulePath ? "\n" : " ")),
                "without " + enableNativeAccess() + " the denial is one error naming it", run.err);
        // The temporary folder, where the jar's copy would be extracted next.
        boolean fellBack = run.err.contains("Tried:")
                || Files.exists(work.resolve("windowsfscm-" + System.getProperty("user.name")));
        JvmProbe.check(!fellBack, "after the denial nothing else is tried", run.err);
    }

    // A runtime image of the module made by jlink, whose libraries come from the image.
    private void checkARuntimeImage() throws Exception {
        Path home = Paths.get(System.getProperty("java.home"));
        Path image = work.resolve("image");
        // Debian's java.base carries the JVM's debugging information, which an image needs not.
        Finished linked = run(list(home.resolve("bin").resolve("jlink").toString(),
                "--module-path", jar.toString(), "--add-modules", MODULE,
                "--exclude-files=**.debuginfo", "--output", image.toString()));
        JvmProbe.check(linked.status == 0, "jlink makes a runtime image of the module",
                linked.out + linked.err);
        if (linked.status != 0) return;
        Path tree = Files.createDirectories(work.resolve("image-tree"));
        List<String> command = list(javaOf(image), "--enable-native-access=" + MODULE,
                "-Djava.io.tmpdir=" + work, "-Dwindowsfscm.cache=" + work.resolve("cache-image"));
        if (nativeAccess) command.add("--illegal-native-access=deny");
        command.addAll(list("-m", MODULE + "/" + MAIN));
        List<String> diagnose = new ArrayList<>(command);
        diagnose.add("--diagnose");
        Finished diagnosis = run(diagnose);
        JvmProbe.check(diagnosis.status == 0
                && diagnosis.out.contains("from: the runtime image's copy for ")
                && diagnosis.out.contains(" from jrt:/" + MODULE),
                "the image's java loads the library the image carries",
                diagnosis.out + diagnosis.err);
        command.add(tree.toString());
        checkWatching("the image's java -m " + MODULE, command, tree);
    }

    private boolean jarLists(String sha256) throws IOException {
        try (JarFile file = new JarFile(jar.toFile());
             InputStream index = file.getInputStream(file.getJarEntry(
                     MODULE.replace('.', '/') + "/native/libraries.sha256"))) {
            return JvmProbe.readAll(index).contains(sha256 + "  ");
        }
    }

    private static Path libraryOf(Finished diagnosis) {
        for (String line : diagnosis.out.split("\n")) {
            if (line.startsWith("library: ")) return Paths.get(line.substring(9));
        }
        return null;
    }

    private static String sha256(Path file) throws Exception {
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(Files.readAllBytes(file));
        StringBuilder hex = new StringBuilder();
        for (byte b : digest) hex.append(String.format("%02x", b & 0xff));
        return hex.toString();
    }

    private static final class Finished {
        final int status;
        final String out;
        final String err;

        Finished(int status, String out, String err) {
            this.status = status;
            this.out = out;
            this.err = err;
        }
    }

    private Finished run(List<String> command) throws Exception {
        int run = ++runs;
        Path out = work.resolve("run-" + run + ".out");
        Path err = work.resolve("run-" + run + ".err");
        Process process = new ProcessBuilder(command)
                .redirectOutput(out.toFile()).redirectError(err.toFile()).start();
        if (!process.waitFor(ENDS_WITHIN_SECONDS, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            return new Finished(-1, "", command + " did not end");
        }
        return new Finished(process.exitValue(),
                new String(Files.readAllBytes(out), StandardCharsets.UTF_8),
                new String(Files.readAllBytes(err), StandardCharsets.UTF_8));
    }

    private static BlockingQueue<String> linesOf(InputStream stream) {
        BlockingQueue<String> lines = new LinkedBlockingQueue<>();
        Thread reader = new Thread(() -> {
            try (BufferedReader in = new BufferedReader(
                    new InputStreamReader(stream, StandardCharsets.UTF_8))) {
                for (String line; (line = in.readLine()) != null; ) lines.add(line);
            } catch (IOException e) {
                lines.add("reading the output failed: " + e);
            }
        });
        reader.setDaemon(true);
        reader.start();
        return lines;
    }

    private static List<String> list(String... items) {
        return JvmProbe.list(items);
    }
}
