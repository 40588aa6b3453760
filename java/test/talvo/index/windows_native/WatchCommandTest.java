package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The {@code watch [DIR...]} command, run as a program of its own. */
class WatchCommandTest {
    private static final long RETURNS_WITHIN_SECONDS = NativeWaiter.RETURNS_WITHIN.toSeconds();

    @TempDir Path tree;
    private Process command;

    @AfterEach
    void killLeftover() {
        if (command != null) command.destroyForcibly();
    }

    private Process start(String libraryPath, String... arguments) throws IOException {
        return startIn(Path.of("").toAbsolutePath(), libraryPath, List.of(), arguments);
    }

    private Process startIn(Path workingDirectory, String libraryPath, String... arguments)
            throws IOException {
        return startIn(workingDirectory, libraryPath, List.of(), arguments);
    }

    private Process startIn(Path workingDirectory, String libraryPath, List<String> options,
            String... arguments) throws IOException {
        List<String> line = new ArrayList<>(List.of(
                Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Djava.library.path=" + libraryPath));
        line.addAll(options);
        line.addAll(JarRunner.nativeAccess());
        line.addAll(List.of("-cp", System.getProperty("java.class.path"),
                WindowsFilesystemChangeMonitor.class.getName()));
        line.addAll(List.of(arguments));
        command = new ProcessBuilder(line).directory(workingDirectory.toFile()).start();
        return command;
    }

    private static String libraryPath() {
        return System.getProperty("java.library.path");
    }

    @Test
    void printsATimedLinePerChangeAndExitsCleanlyWhenStopped() throws Exception {
        Process watch = start(libraryPath(), tree.toString());
        BlockingQueue<String> lines = JarRunner.linesOf(watch);
        String banner = lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS);
        assertNotNull(banner, "no banner");
        assertTrue(banner.startsWith("watching " + tree), banner);

        Files.writeString(tree.resolve("file"), "x");
        String change = lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS);
        assertNotNull(change, "no line for the change");
        assertTrue(change.matches("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} change #1"), change);

        // SIGTERM takes the same way out as Ctrl-C's SIGINT: the JVM's shutdown.
        watch.destroy();
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS), "did not stop");
        assertEquals(0, watch.exitValue());
    }

    @Test
    void withoutAnArgumentTheCurrentDirectoryIsWatched() throws Exception {
        Process watch = startIn(tree, libraryPath());
        BlockingQueue<String> lines = JarRunner.linesOf(watch);
        assertEquals("watching " + tree.toRealPath() + " (Ctrl-C to stop)",
                lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        Files.createDirectory(tree.resolve("new"));
        String change = lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS);
        assertNotNull(change, "no line for the change");
        assertTrue(change.endsWith(" change #1"), change);
    }

    @Test
    void missingDirectoryIsReported() throws Exception {
        Process watch = start(libraryPath(), tree.resolve("missing").toString());
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        assertEquals(1, watch.exitValue());
        assertEquals("watch: no such directory: " + tree.resolve("missing") + "\n", errorOf(watch));
    }

    @Test
    void severalDirectoriesAreWatchedAndEachLineNamesItsOwn() throws Exception {
        Path first = Files.createDirectory(tree.resolve("first"));
        Path second = Files.createDirectory(tree.resolve("second"));
        Process watch = start(libraryPath(), first.toString(), second.toString());
        BlockingQueue<String> lines = JarRunner.linesOf(watch);
        assertEquals("watching " + first + ", " + second + " (Ctrl-C to stop)",
                lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        Files.createDirectory(second.resolve("new"));
        String change = lines.poll(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS);
        assertNotNull(change, "no line for the change");
        assertTrue(change.matches("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} change #1 in "
                + Pattern.quote(second.toString())), change);
        watch.destroy();
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS), "did not stop");
        assertEquals(0, watch.exitValue());
    }

    @Test
    void aDirectoryThatCannotBeWatchedEndsTheCommandWithItsName() throws Exception {
        Process watch = start(libraryPath(), tree.toString(), tree.resolve("missing").toString());
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        assertEquals(1, watch.exitValue());
        assertEquals("watch: no such directory: " + tree.resolve("missing") + "\n", errorOf(watch));
    }

    @Test
    void anUnknownOptionGetsTheUsage() throws Exception {
        Process watch = start(libraryPath(), "--verbose", tree.toString());
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        assertEquals(2, watch.exitValue());
        assertTrue(errorOf(watch).contains("usage: watch [DIR...]"));
    }

    @Test
    void versionIsTheBuildsOwn() throws Exception {
        Process watch = start(libraryPath(), "--version");
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        assertEquals(0, watch.exitValue());
        assertEquals("windowsfscm " + JarRunner.requiredProperty("windowsfscm.test.version") + "\n",
                new String(watch.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
    }

    @Test
    void missingLibraryNamesTheLibraryPath() throws Exception {
        Path empty = Files.createDirectory(tree.resolve("no-library-here"));
        // Neither folder the jar's copy would be extracted to can be made, which leaves the path.
        Path file = Files.writeString(tree.resolve("file"), "x");
        Process watch = startIn(Path.of("").toAbsolutePath(), empty.toString(),
                List.of("-Dwindowsfscm.cache=" + file.resolve("cache"),
                        "-Djava.io.tmpdir=" + file.resolve("tmp")),
                tree.toString());
        assertTrue(watch.waitFor(RETURNS_WITHIN_SECONDS, TimeUnit.SECONDS));
        assertNotEquals(0, watch.exitValue());
        String error = errorOf(watch);
        assertTrue(error.contains("libwindowsfscm.so") && error.contains("java.library.path ("
                + empty + ")"), error);
    }

    private static String errorOf(Process process) throws IOException {
        return new String(process.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
    }
}
