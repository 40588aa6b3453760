package talvo.example.probe;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import talvo.index.windows_native.Watch;
import talvo.index.windows_native.WindowsFilesystemChangeMonitor;

/**
 * What a JVM of any version from 8 on meets when it uses the library, through its public API
 * only, as an application would: written for Java 8, so that the JVMs the JUnit tests cannot run
 * on are checked too. Prints a line per check, "ok - ..." or "FAIL - ...", and exits with 1 when
 * one failed.
 *
 * <pre>
 * JvmProbe watches [--cycles N]             the checks of watches, in this JVM
 * JvmProbe all WORK JAR BARE-JAR LIBRARY [--module-path] [--native-access] [--jlink]
 *     [--java-option OPTION]...
 * </pre>
 *
 * The second runs the first in JVMs of its own (the same java) for each way the library can be
 * loaded: the jar's copy (JAR), the file named by -Dwindowsfscm.library (LIBRARY, with
 * BARE-JAR, the classes without libraries), and java.library.path; then the jar's loader from an
 * empty cache, again, and over a damaged copy; and {@code java -jar JAR DIR}, with a change. WORK
 * is an empty folder for it all. With --module-path the jars are put on the module path. With
 * --native-access (JDK 24 and later) every JVM denies native access it was not given, each is
 * given it as its way of loading needs (none for java -jar, whose manifest gives it), and a JVM
 * without it must fail with one error that names the flag. With --jlink a runtime image of the
 * module is made with this JDK's jlink and watches.
 */
public final class JvmProbe {
    private static final long WITHIN_SECONDS = 60;
    private static final long QUIET_MILLISECONDS = 300;
    private static final int AT_ONCE = 8;

    private static int failures;

    private JvmProbe() {}

    public static void main(String[] args) throws Exception {
        if (args.length >= 1 && args[0].equals("watches")) {
            int cycles = args.length == 3 && args[1].equals("--cycles")
                    ? Integer.parseInt(args[2]) : 1000 / AT_ONCE;
            Path work = Files.createTempDirectory("windowsfscm-probe-");
            checkWatches(work, cycles);
        } else if (args.length >= 5 && args[0].equals("all")) {
            new JvmRunner(args).checkAll();
        } else {
            System.err.println("usage: JvmProbe watches [--cycles N]\n"
                    + "       JvmProbe all WORK JAR BARE-JAR LIBRARY [--module-path]"
                    + " [--native-access] [--jlink] [--java-option OPTION]...");
            System.exit(2);
        }
        System.out.println(failures == 0 ? "all passed" : failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    static void check(boolean passed, String what) {
        check(passed, what, "");
    }

    /** {@code detail} is shown only when the check failed. */
    static void check(boolean passed, String what, String detail) {
        String shown = passed || detail == null || detail.trim().isEmpty() ? ""
                : ": " + detail.trim().replace("\n", "\n  # ");
        System.out.println((passed ? "ok - " : "FAIL - ") + what + shown);
        System.out.flush();
        if (!passed) ++failures;
    }

    // --- The checks of watches, in this JVM ---

    private static void checkWatches(Path work, int cycles) throws Exception {
        System.out.println("# java " + System.getProperty("java.version") + ", "
                + System.getProperty("os.name") + " " + System.getProperty("os.arch"));
        checkDeepChange(Files.createDirectory(work.resolve("deep")));
        checkEachWatchWakesForItsOwnTree(Files.createDirectory(work.resolve("own")));
        checkClosingInAnyOrder(Files.createDirectory(work.resolve("order")));
        checkOneTreeTwice(Files.createDirectory(work.resolve("twice")));
        checkCyclesLeaveNothing(Files.createDirectory(work.resolve("cycles")), cycles);
    }

    private static void checkDeepChange(Path tree) throws Exception {
        Path deep = Files.createDirectories(tree.resolve("a/b/c/d/e/f"));
        Semaphore changes = new Semaphore(0);
        Watch watch = WindowsFilesystemChangeMonitor.watch(tree, changes::release);
        try {
            Files.write(deep.resolve("file"), new byte[] {1});
            check(changes.tryAcquire(WITHIN_SECONDS, TimeUnit.SECONDS),
                    "a change six directories down wakes the watch");
        } finally {
            watch.close();
        }
        check(!watchThreadsAlive(), "the closed watch's thread has ended");
    }

    private static List<Path> trees(Path root, int count) throws IOException {
        List<Path> trees = new ArrayList<>();
        for (int i = 0; i < count; ++i) {
            Path tree = root.resolve("tree-" + i);
            Files.createDirectories(tree.resolve("a/b"));
            trees.add(tree);
        }
        return trees;
    }

    private static void checkEachWatchWakesForItsOwnTree(Path root) throws Exception {
        List<Path> trees = trees(root, AT_ONCE);
        final int[] round = {-1};
        List<ConcurrentLinkedQueue<Integer>> rounds = new ArrayList<>();
        List<Semaphore> changes = new ArrayList<>();
        List<Watch> watches = new ArrayList<>();
        try {
            for (Path tree : trees) {
                final ConcurrentLinkedQueue<Integer> seen = new ConcurrentLinkedQueue<>();
                final Semaphore change = new Semaphore(0);
                rounds.add(seen);
                changes.add(change);
                watches.add(WindowsFilesystemChangeMonitor.watch(tree, () -> {
                    synchronized (round) {
                        seen.add(round[0]);
                    }
                    change.release();
                }));
            }
            boolean allWoke = true;
            for (int k = 0; k < AT_ONCE; ++k) {
                synchronized (round) {
                    round[0] = k;
                }
                // One new directory: one event, so no late wake can fall into the next round.
                Files.createDirectory(trees.get(k).resolve("a/b/new"));
                allWoke &= changes.get(k).tryAcquire(WITHIN_SECONDS, TimeUnit.SECONDS);
            }
            Thread.sleep(QUIET_MILLISECONDS);
            check(allWoke, AT_ONCE + " watches at once: a change in each tree wakes its watch");
            boolean onlyOwn = true;
            for (int k = 0; k < AT_ONCE; ++k) {
                onlyOwn &= new HashSet<>(rounds.get(k)).equals(Collections.singleton(k));
            }
            check(onlyOwn, AT_ONCE + " watches at once: no watch wakes for another's tree");
        } finally {
            for (Watch watch : watches) watch.close();
        }
    }

    private static void checkClosingInAnyOrder(Path root) throws Exception {
        List<Path> trees = trees(root, AT_ONCE);
        List<Semaphore> changes = new ArrayList<>();
        List<Watch> watches = new ArrayList<>();
        try {
            for (Path tree : trees) {
                Semaphore change = new Semaphore(0);
                changes.add(change);
                watches.add(WindowsFilesystemChangeMonitor.watch(tree, change::release));
            }
            List<Integer> order = new ArrayList<>();
            for (int i = 0; i < AT_ONCE; ++i) order.add(i);
            Collections.shuffle(order, new Random());
            List<Integer> open = new ArrayList<>(order);
            boolean othersWatch = true;
            int made = 0;
            for (int closing : order) {
                watches.get(closing).close();
                open.remove(Integer.valueOf(closing));
                for (int still : open) {
                    Files.createDirectory(trees.get(still).resolve("new-" + made++));
                    othersWatch &= changes.get(still).tryAcquire(WITHIN_SECONDS, TimeUnit.SECONDS);
                }
            }
            check(othersWatch, "closing watches in the order " + order
                    + " leaves the others watching");
        } finally {
            for (Watch watch : watches) watch.close();
        }
    }

    private static void checkOneTreeTwice(Path tree) throws Exception {
        Semaphore first = new Semaphore(0);
        Semaphore second = new Semaphore(0);
        Watch one = WindowsFilesystemChangeMonitor.watch(tree, first::release);
        Watch two = WindowsFilesystemChangeMonitor.watch(tree, second::release);
        try {
            Files.createDirectory(tree.resolve("new"));
            check(first.tryAcquire(WITHIN_SECONDS, TimeUnit.SECONDS)
                    && second.tryAcquire(WITHIN_SECONDS, TimeUnit.SECONDS),
                    "two watches on one tree both wake");
        } finally {
            one.close();
            two.close();
        }
    }

    private static void checkCyclesLeaveNothing(Path root, int cycles) throws Exception {
        List<Path> trees = trees(root, AT_ONCE);
        boolean linux = System.getProperty("os.name").startsWith("Linux");
        long descriptorsBefore = linux ? inotifyDescriptors() : 0;
        boolean threadsAtPeak = true;
        boolean nothingLeft = true;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            List<Watch> watches = new ArrayList<>();
            for (Path tree : trees) {
                watches.add(WindowsFilesystemChangeMonitor.watch(tree, () -> {}));
            }
            threadsAtPeak &= watchThreads() == AT_ONCE;
            for (Watch watch : watches) watch.close();
            nothingLeft &= watchThreads() == 0
                    && (!linux || inotifyDescriptors() == descriptorsBefore);
        }
        int watches = cycles * AT_ONCE;
        check(threadsAtPeak, watches + " watches opened " + AT_ONCE + " at a time: a thread each");
        check(nothingLeft, watches + " watches closed: no thread or inotify descriptor left");
        if (linux) {
            Set<String> loaded = loadedLibraries();
            check(loaded.size() == AT_ONCE, watches + " watches, " + AT_ONCE + " at a time: "
                    + AT_ONCE + " copies of the library loaded", loaded.toString());
            Set<Path> folders = new HashSet<>();
            for (String file : loaded) folders.add(Paths.get(file).getParent());
            check(folders.size() == AT_ONCE, "each copy in a folder of its own",
                    folders.toString());
        }
    }

    private static boolean watchThreadsAlive() {
        return watchThreads() > 0;
    }

    private static int watchThreads() {
        int count = 0;
        for (Thread thread : Thread.getAllStackTraces().keySet()) {
            if (thread.isAlive() && thread.getName().equals("windowsfscm-watch")) ++count;
        }
        return count;
    }

    private static long inotifyDescriptors() throws IOException {
        long count = 0;
        File[] descriptors = new File("/proc/self/fd").listFiles();
        if (descriptors == null) return -1;
        for (File descriptor : descriptors) {
            try {
                if (Files.readSymbolicLink(descriptor.toPath()).toString()
                        .equals("anon_inode:inotify")) {
                    ++count;
                }
            } catch (IOException closedMeanwhile) {
                // Not one of ours.
            }
        }
        return count;
    }

    private static Set<String> loadedLibraries() throws IOException {
        Set<String> files = new HashSet<>();
        Path maps = Paths.get("/proc/self/maps");
        for (String line : Files.readAllLines(maps, StandardCharsets.UTF_8)) {
            int at = line.indexOf('/');
            if (at < 0) continue;
            String file = line.substring(at);
            if (file.contains("windowsfscm") && !file.endsWith(".jar")) files.add(file);
        }
        return files;
    }

    static String readAll(InputStream in) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        byte[] chunk = new byte[8192];
        for (int read; (read = in.read(chunk)) >= 0; ) bytes.write(chunk, 0, read);
        return new String(bytes.toByteArray(), StandardCharsets.UTF_8);
    }

    static List<String> list(String... items) {
        return new ArrayList<>(Arrays.asList(items));
    }
}
