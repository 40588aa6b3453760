package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The jar as users run it, each JVM a process of its own: alone in a folder, several at once on an
 * empty cache, over a damaged cache, and told to load a library of another platform.
 */
class JarProcessTest {
    private static final int RACERS = 6;

    @TempDir Path root;
    private Map<String, String> environment;
    private Path cacheHome;
    private LibraryBundle.Carried carried;

    @BeforeEach
    void emptyCache() throws IOException {
        cacheHome = root.resolve("cache");
        // Nothing from the build may help the JVMs find a library.
        environment = Map.of("XDG_CACHE_HOME", cacheHome.toString(), "LD_LIBRARY_PATH", "");
        String platform = thisPlatform().name();
        assumeTrue(JarRunner.platforms().contains(platform), "the jar carries no " + platform);
        carried = LibraryBundle.of(WindowsFilesystemChangeMonitor.class).forPlatform(platform);
    }

    private static Platform thisPlatform() {
        return Platform.of(System.getProperty("os.name"), System.getProperty("os.arch"),
                CLibrary.ofThisProcess().name());
    }

    private Path extracted() {
        return cacheHome.resolve("windowsfscm").resolve(carried.sha256())
                .resolve(carried.fileName());
    }

    @Test
    void theJarAloneInAnEmptyFolderWatchesAndSaysWhichLibraryItLoaded() throws Exception {
        Path alone = Files.createDirectory(root.resolve("alone"));
        Files.copy(JarRunner.fullJar(), alone.resolve("windowsfscm.jar"));
        Path tree = Files.createDirectory(root.resolve("tree"));

        Process watch = JarRunner.start(alone, environment,
                List.of("-jar", "windowsfscm.jar", tree.toString()));
        try {
            BlockingQueue<String> lines = JarRunner.linesOf(watch);
            String banner = lines.poll(JarRunner.ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
            assertEquals("watching " + tree + " (Ctrl-C to stop)", banner,
                    () -> watch.isAlive() ? "still running" : errorOf(watch));
            Files.writeString(tree.resolve("file"), "x");
            String change = lines.poll(JarRunner.ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
            assertNotNull(change, "no line for the change");
            assertTrue(change.endsWith(" change #1"), change);
        } finally {
            watch.destroy();
            watch.waitFor(JarRunner.ENDS_WITHIN_SECONDS, TimeUnit.SECONDS);
        }
        assertEquals(Set.of("windowsfscm.jar"), names(alone));

        JarRunner.Finished diagnosis = JarRunner.run(alone, environment,
                List.of("-jar", "windowsfscm.jar", "--diagnose"));
        assertEquals(0, diagnosis.status(), diagnosis::toString);
        assertTrue(diagnosis.out().contains("library: " + extracted() + "\n"), diagnosis::toString);
        assertTrue(diagnosis.out().contains("from: the jar's copy for " + carried.platform()
                + ", extracted to the cache folder from "), diagnosis::toString);
        assertTrue(diagnosis.out().contains("carried: the jar (file:" + alone.resolve(
                "windowsfscm.jar") + ") carries " + String.join(", ",
                JarRunner.platforms().stream().sorted().toList())), diagnosis::toString);
    }

    @Test
    void jvmsStartingTogetherOnAnEmptyCacheAllLoadOneWholeCopy() throws Exception {
        Path go = root.resolve("go");
        List<Process> racers = new ArrayList<>();
        List<Path> ready = new ArrayList<>();
        try {
            for (int i = 0; i < RACERS; ++i) {
                ready.add(root.resolve("ready-" + i));
                Path tree = Files.createDirectory(root.resolve("tree-" + i));
                List<String> racer = new ArrayList<>(JarRunner.nativeAccess());
                racer.addAll(List.of(
                        "-Djava.io.tmpdir=" + Files.createDirectories(root.resolve("tmp")),
                        "-cp", System.getProperty("java.class.path"), RacingLoad.class.getName(),
                        ready.get(i).toString(), go.toString(), tree.toString()));
                racers.add(JarRunner.start(root, environment, racer));
            }
            // All of them started up and wait: now they load at the same moment.
            long deadline =
                    System.nanoTime() + TimeUnit.SECONDS.toNanos(JarRunner.ENDS_WITHIN_SECONDS);
            while (!ready.stream().allMatch(Files::exists)) {
                assertTrue(System.nanoTime() < deadline, "the JVMs did not start");
                Thread.sleep(10);
            }
            Files.createFile(go);
            for (Process racer : racers) {
                assertTrue(racer.waitFor(JarRunner.ENDS_WITHIN_SECONDS, TimeUnit.SECONDS));
                String out = new String(racer.getInputStream().readAllBytes()).strip();
                assertEquals(0, racer.exitValue(), () -> out + "\n" + errorOf(racer));
                assertEquals(extracted().toString(), out);
            }
        } finally {
            racers.forEach(Process::destroyForcibly);
        }
        assertEquals(carried.sha256(), FakeLinker.sha256(extracted()));
        assertEquals(Set.of(carried.sha256()), names(cacheHome.resolve("windowsfscm")));
        assertEquals(Set.of(LibraryCache.LOCK, carried.fileName()),
                names(extracted().getParent()));
    }

    @Test
    void aTruncatedCopyInTheCacheIsReplacedByTheNextJvm() throws Exception {
        List<String> diagnose = List.of("-jar", JarRunner.fullJar().toString(), "--diagnose");
        assertEquals(0, JarRunner.run(root, environment, diagnose).status());
        try (FileChannel copy = FileChannel.open(extracted(), StandardOpenOption.WRITE)) {
            copy.truncate(copy.size() / 2);
        }
        JarRunner.Finished again = JarRunner.run(root, environment, diagnose);
        assertEquals(0, again.status(), again::toString);
        assertTrue(again.out().contains("library: " + extracted() + "\n"), again::toString);
        assertEquals(carried.sha256(), FakeLinker.sha256(extracted()));
    }

    @Test
    void aLibraryOfAnotherPlatformNamedByThePropertyIsRefusedInPlainWords() throws Exception {
        LibraryBundle bundle = LibraryBundle.of(WindowsFilesystemChangeMonitor.class);
        List<String> others = bundle.platforms().stream()
                .filter(name -> !name.equals(carried.platform())).toList();
        assumeTrue(!others.isEmpty(), "the jar carries no other platform");
        for (String other : others) {
            LibraryBundle.Carried library = bundle.forPlatform(other);
            Path file = Files.createDirectory(root.resolve(other)).resolve(library.fileName());
            try (InputStream in = bundle.open(library)) {
                Files.copy(in, file);
            }
            JarRunner.Finished refused = JarRunner.run(root, environment, List.of(
                    "-Dwindowsfscm.library=" + file, "-jar", JarRunner.fullJar().toString(),
                    "--diagnose"));
            assertEquals(1, refused.status(), refused::toString);
            assertTrue(refused.err().contains("1. -Dwindowsfscm.library=" + file + ": it is "
                    + LibraryHeader.read(file).describe() + ", but this JVM ("
                    + carried.platform() + ") needs a 64-bit "), refused::toString);
            assertTrue(!refused.err().contains("2."), refused::toString);
        }
        assertTrue(!Files.exists(cacheHome), "fell back to the jar's copy");
    }

    @Test
    void withNothingLoadableOneErrorListsEveryAttemptAndTheJvm() throws Exception {
        Path file = Files.writeString(root.resolve("file"), "x");
        Path emptyFolder = Files.createDirectory(root.resolve("empty"));
        JarRunner.Finished failed = JarRunner.run(root, environment, List.of(
                "-Dwindowsfscm.cache=" + file.resolve("cache"),
                "-Djava.io.tmpdir=" + file.resolve("tmp"),
                "-Djava.library.path=" + emptyFolder,
                "-jar", JarRunner.fullJar().toString(), "--diagnose"));
        assertEquals(1, failed.status(), failed::toString);
        // Past what the JVM itself may say first, such as that java.io.tmpdir does not exist.
        String error = failed.err().substring(Math.max(0, failed.err().indexOf("watch: ")));
        assertTrue(error.startsWith("watch: cannot load the native library windowsfscm for "
                + carried.platform() + " (os.name " + System.getProperty("os.name")
                + ", os.arch " + System.getProperty("os.arch") + ", sun.arch.data.model "
                + System.getProperty("sun.arch.data.model") + "); the jar (file:"
                + JarRunner.fullJar() + ") carries "
                + String.join(", ", JarRunner.platforms().stream().sorted().toList())
                + ". Tried:\n"), error);
        assertTrue(error.contains("\n  1. the jar's copy for " + carried.platform()
                + ": in the cache folder " + file.resolve("cache") + ": "), error);
        assertTrue(error.contains("; in the temporary folder " + file.resolve("tmp")), error);
        assertTrue(error.contains("\n  2. java.library.path (" + emptyFolder + "): no "
                + carried.fileName() + " in it"), error);
    }

    private static Set<String> names(Path folder) throws IOException {
        try (Stream<Path> entries = Files.list(folder)) {
            return entries.map(entry -> entry.getFileName().toString())
                    .collect(Collectors.toSet());
        }
    }

    private static String errorOf(Process process) {
        try {
            return new String(process.getErrorStream().readAllBytes());
        } catch (IOException e) {
            return "(no error output: " + e + ")";
        }
    }
}
