package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Several watches open at once on the real library, each on a loaded copy of its own: each wakes
 * for its own tree only, each closes alone, and opening and closing them over and over leaves no
 * more copies, threads, descriptors or loaded libraries than the most that were open at once.
 */
class SeveralWatchesTest {
    private static final int AT_ONCE = 8;
    private static final long WITHIN_MILLISECONDS = NativeWaiter.RETURNS_WITHIN.toMillis();
    private static final long QUIET_MILLISECONDS = NativeWaiter.STAYS_BLOCKED_FOR.toMillis();

    @TempDir Path root;
    private final List<Watch> opened = new ArrayList<>();

    @AfterEach
    void closeEverything() {
        opened.forEach(Watch::close);
    }

    private Watch watch(Path directory, Runnable onChange) throws IOException {
        Watch watch = WindowsFilesystemChangeMonitor.watch(directory, onChange);
        opened.add(watch);
        return watch;
    }

    private List<Path> trees(int count) throws IOException {
        List<Path> trees = new ArrayList<>();
        for (int i = 0; i < count; ++i) {
            Path tree = root.resolve("tree-" + i);
            Files.createDirectories(tree.resolve("a/b"));
            trees.add(tree);
        }
        return trees;
    }

    @Test
    void aChangeWakesTheWatchOfItsTreeAndNoOther() throws Exception {
        List<Path> trees = trees(AT_ONCE);
        // Each callback notes the round it came in; in round k only tree k changes, by one new
        // directory, which is one event.
        int[] round = {-1};
        List<ConcurrentLinkedQueue<Integer>> rounds = new ArrayList<>();
        List<Semaphore> changes = new ArrayList<>();
        for (Path tree : trees) {
            ConcurrentLinkedQueue<Integer> seen = new ConcurrentLinkedQueue<>();
            Semaphore change = new Semaphore(0);
            rounds.add(seen);
            changes.add(change);
            watch(tree, () -> {
                synchronized (round) {
                    seen.add(round[0]);
                }
                change.release();
            });
        }
        for (int k = 0; k < AT_ONCE; ++k) {
            synchronized (round) {
                round[0] = k;
            }
            Files.createDirectory(trees.get(k).resolve("a/b/new"));
            assertTrue(changes.get(k).tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS),
                    "watch " + k + " missed the change in its tree");
        }
        Thread.sleep(QUIET_MILLISECONDS);
        for (int k = 0; k < AT_ONCE; ++k) {
            assertEquals(Set.of(k), Set.copyOf(rounds.get(k)), "rounds that woke watch " + k);
        }
    }

    @Test
    void closingWatchesInAnyOrderLeavesTheOthersWatching() throws Exception {
        List<Path> trees = trees(AT_ONCE);
        List<Semaphore> changes = new ArrayList<>();
        List<Watch> watches = new ArrayList<>();
        for (Path tree : trees) {
            Semaphore change = new Semaphore(0);
            changes.add(change);
            watches.add(watch(tree, change::release));
        }
        List<Integer> order = new ArrayList<>();
        for (int i = 0; i < AT_ONCE; ++i) order.add(i);
        long seed = new Random().nextLong();
        Collections.shuffle(order, new Random(seed));
        List<Integer> open = new ArrayList<>(order);
        int made = 0;
        for (int closing : order) {
            watches.get(closing).close();
            open.remove(Integer.valueOf(closing));
            for (int still : open) {
                Files.createDirectory(trees.get(still).resolve("new-" + made++));
                assertTrue(
                        changes.get(still).tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS),
                        "watch " + still + " stopped when watch " + closing + " was closed "
                                + "(closing order " + order + ", seed " + seed + ")");
            }
        }
    }

    @Test
    void twoWatchesOnOneTreeBothWake() throws Exception {
        Path tree = trees(1).get(0);
        Semaphore first = new Semaphore(0);
        Semaphore second = new Semaphore(0);
        watch(tree, first::release);
        watch(tree, second::release);
        Files.createDirectory(tree.resolve("a/b/new"));
        assertTrue(first.tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS));
        assertTrue(second.tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS));
    }

    @Test
    void aThousandWatchesEightAtATimeLeaveNothingBeyondThePeak() throws Exception {
        List<Path> trees = trees(AT_ONCE);
        long descriptorsBefore = WatchDescriptors.count();
        for (int cycle = 0; cycle < 1000 / AT_ONCE; ++cycle) {
            List<Watch> watches = new ArrayList<>();
            for (Path tree : trees) {
                watches.add(WindowsFilesystemChangeMonitor.watch(tree, () -> {}));
            }
            assertEquals(AT_ONCE, watchThreads(), "cycle " + cycle);
            for (Watch watch : watches) watch.close();
            assertEquals(0, watchThreads(), "cycle " + cycle);
            assertEquals(descriptorsBefore, WatchDescriptors.count(), "cycle " + cycle);
        }
        assertEquals(AT_ONCE, LibraryPool.ofThisJvm().copiesMade());
        assertEquals(AT_ONCE, loadedLibraries().size(), loadedLibraries()::toString);
        Path first = LibraryPool.ofThisJvm().first().file();
        try (Stream<Path> copies = Files.list(first.getParent())) {
            assertEquals(AT_ONCE - 1, copies.filter(copy -> copy.getFileName().toString()
                    .startsWith(LibraryCache.COPY_FOLDER_PREFIX)).count());
        }
    }

    private static long watchThreads() {
        return Thread.getAllStackTraces().keySet().stream()
                .filter(thread -> thread.isAlive() && thread.getName().equals("windowsfscm-watch"))
                .count();
    }

    // The library files mapped into this process.
    private static Set<String> loadedLibraries() throws IOException {
        try (Stream<String> maps = Files.lines(Path.of("/proc/self/maps"))) {
            return maps.map(line -> line.indexOf('/') < 0 ? "" : line.substring(line.indexOf('/')))
                    .filter(file -> file.contains("windowsfscm") && !file.endsWith(".jar"))
                    .collect(Collectors.toSet());
        }
    }
}
