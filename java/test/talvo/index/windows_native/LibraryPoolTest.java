package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The copies of the library that watches open at once are served by, made and bound as for the
 * real library, but for the class with the native methods: {@link FakeNativeMethods}, whose copies
 * report each call with its thread.
 */
class LibraryPoolTest {
    private static final long WITHIN_MILLISECONDS = NativeWaiter.RETURNS_WITHIN.toMillis();

    @TempDir Path root;
    private final Map<String, String> properties = new HashMap<>();
    private final List<Watch> opened = new ArrayList<>();
    private Path library;
    private LibraryPool pool;

    @BeforeEach
    void poolOfAFakeLibrary() throws IOException {
        byte[] bytes = new byte[50_000];
        new Random(3).nextBytes(bytes);
        byte[] header = HeaderBytes.linuxLibrary(64, HeaderBytes.EM_X86_64);
        System.arraycopy(header, 0, bytes, 0, header.length);
        library = Files.write(Files.createDirectory(root.resolve("lib"))
                .resolve("libwindowsfscm.so"), bytes);
        properties.putAll(Map.of("os.name", "Linux", "os.arch", "amd64",
                "sun.arch.data.model", "64", "user.name", "tester",
                "windowsfscm.library", library.toString(),
                "windowsfscm.cache", root.resolve("cache").toString(),
                "java.io.tmpdir", Files.createDirectory(root.resolve("tmp")).toString()));
        NativeLibraryLoader.Linker linker = new NativeLibraryLoader.Linker() {
            @Override
            public void load(Path file) {
                FakeNativeMethods.load(file.toString());
            }

            @Override
            public void loadLibrary(String name) {
                throw new UnsatisfiedLinkError("not on the library path: " + name);
            }
        };
        pool = new LibraryPool(() -> new NativeLibraryLoader(
                new NativeLibraryLoader.Host(properties::get, name -> null,
                        () -> new CLibrary(Platform.GLIBC, "as the test says")),
                () -> LibraryBundle.read(name -> null, "no jar"), linker,
                () -> PrivateFolders.ofThisSystem(root.resolve("tmp")),
                MountTable.OF_THIS_PROCESS), FakeNativeMethods.class);
    }

    @AfterEach
    void closeEverything() {
        opened.forEach(Watch::close);
        FakeNativeCalls.forget();
    }

    private Watch watch(Path directory, Runnable onChange) throws IOException {
        Watch watch = Watch.open(directory, onChange, pool);
        opened.add(watch);
        return watch;
    }

    // Returns once the copy's waits have begun count times.
    private static void awaitWaits(String copy, int count) throws InterruptedException {
        long giveUp = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(WITHIN_MILLISECONDS);
        while (FakeNativeCalls.calls().stream()
                .filter(call -> copy.equals(call.copy()) && call.method().equals("wait"))
                .count() < count) {
            assertTrue(System.nanoTime() < giveUp, "wait " + count + " never began");
            Thread.sleep(1);
        }
    }

    private Path tree(String name) throws IOException {
        return Files.createDirectories(root.resolve("trees").resolve(name));
    }

    @Test
    void everyCallOfAWatchButTheStopIsMadeOnTheWatchsOwnThread() throws Exception {
        Semaphore changes = new Semaphore(0);
        Path tree = tree("tree");
        AtomicReference<Watch> watch = new AtomicReference<>();
        Thread opener = new Thread(() -> {
            try {
                watch.set(watch(tree, changes::release));
            } catch (IOException e) {
                throw new AssertionError(e);
            }
        }, "opener");
        opener.start();
        opener.join();
        FakeNativeCalls.change(tree);
        assertTrue(changes.tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS));
        String copy = FakeNativeCalls.copyWatching(tree);
        // The callback returns before the watch thread waits again; the stop must come after.
        awaitWaits(copy, 2);
        watch.get().close();

        List<FakeNativeCalls.Call> calls = FakeNativeCalls.calls().stream()
                .filter(call -> copy.equals(call.copy()) && !call.method().equals("load"))
                .toList();
        assertEquals(List.of("init", "wait", "wait", "stop", "wait"),
                calls.stream().map(FakeNativeCalls.Call::method).toList());
        Set<Thread> watchThreads = calls.stream().filter(call -> !call.method().equals("stop"))
                .map(FakeNativeCalls.Call::thread).collect(Collectors.toSet());
        assertEquals(1, watchThreads.size(), calls::toString);
        Thread watchThread = watchThreads.iterator().next();
        assertEquals("windowsfscm-watch", watchThread.getName());
        assertNotEquals(opener, watchThread);
        assertEquals(Thread.currentThread(), calls.get(3).thread(), "the stop's thread");
    }

    @Test
    void watchesOpenAtOnceEachHaveACopyOfTheirOwnWhichServesAgainOnceClosed() throws Exception {
        int atOnce = 4;
        List<Semaphore> changes = new ArrayList<>();
        List<Path> trees = new ArrayList<>();
        for (int i = 0; i < atOnce; ++i) {
            Semaphore seen = new Semaphore(0);
            changes.add(seen);
            trees.add(tree("tree-" + i));
            watch(trees.get(i), seen::release);
        }
        Set<String> copies = new HashSet<>();
        for (Path tree : trees) copies.add(FakeNativeCalls.copyWatching(tree));
        assertEquals(atOnce, copies.size(), "two watches share a copy: " + copies);
        assertEquals(atOnce, pool.copiesMade());
        for (int i = 0; i < atOnce; ++i) {
            FakeNativeCalls.change(trees.get(i));
            assertTrue(changes.get(i).tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS));
            for (int other = 0; other < atOnce; ++other) {
                assertEquals(0, changes.get(other).availablePermits(), "watch " + other);
            }
        }
        for (int cycle = 0; cycle < 200; ++cycle) {
            Watch closed = opened.remove(cycle % atOnce);
            closed.close();
            watch(tree("again-" + cycle), () -> {});
        }
        assertEquals(atOnce, pool.copiesMade(), "copies beyond the most watches open at once");
        Map<String, Long> loads = FakeNativeCalls.calls().stream()
                .filter(call -> call.method().equals("load"))
                .collect(Collectors.groupingBy(FakeNativeCalls.Call::copy, Collectors.counting()));
        assertEquals(atOnce, loads.size(), loads::toString);
        assertTrue(loads.values().stream().allMatch(count -> count == 1), "loaded again: " + loads);
    }

    @Test
    void furtherCopiesAreFilesOfTheirOwnInFoldersOfTheirOwnBesideTheCache() throws Exception {
        for (int i = 0; i < 3; ++i) watch(tree("tree-" + i), () -> {});
        String sha256 = FakeLinker.sha256(library);
        Path home = root.resolve("cache").resolve(sha256);
        Set<Object> inodes = new HashSet<>();
        inodes.add(Files.getAttribute(library, "unix:ino"));
        for (int copy = 2; copy <= 3; ++copy) {
            Path file = home.resolve("copy-" + copy).resolve("libwindowsfscm.so");
            assertEquals(sha256, FakeLinker.sha256(file));
            // A hard link would be the same library to the system's loader.
            assertEquals(1, Files.getAttribute(file, "unix:nlink"));
            inodes.add(Files.getAttribute(file, "unix:ino"));
        }
        assertEquals(3, inodes.size());
        assertEquals(Set.of(library.toString(), home.resolve("copy-2/libwindowsfscm.so").toString(),
                home.resolve("copy-3/libwindowsfscm.so").toString()),
                FakeNativeCalls.calls().stream().filter(call -> call.method().equals("load"))
                        .map(FakeNativeCalls.Call::copy).collect(Collectors.toSet()));
    }

    @Test
    void aCopyThatCannotBeMadeFailsOnlyTheWatchThatNeedsItAndNamesWhy() throws Exception {
        Semaphore changes = new Semaphore(0);
        Path first = tree("first");
        watch(first, changes::release);
        Path file = Files.writeString(root.resolve("file"), "x");
        properties.put("windowsfscm.cache", file.resolve("cache").toString());
        properties.put("java.io.tmpdir", file.resolve("tmp").toString());

        Path second = tree("second");
        IOException refused = assertThrows(IOException.class, () -> watch(second, () -> {}));
        assertTrue(refused.getMessage().startsWith("cannot make copy 2 of " + library
                + " for a further watch: in the cache folder " + file.resolve("cache")),
                refused.getMessage());
        assertTrue(refused.getMessage().contains("; in the temporary folder "
                + file.resolve("tmp")), refused.getMessage());
        FakeNativeCalls.change(first);
        assertTrue(changes.tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS),
                "the open watch stopped");

        properties.put("windowsfscm.cache", root.resolve("cache").toString());
        watch(second, () -> {});
        assertEquals(2, pool.copiesMade());
    }

    @Test
    void aLibraryThatChangedSinceItWasLoadedIsNotCopied() throws Exception {
        watch(tree("first"), () -> {});
        byte[] bytes = Files.readAllBytes(library);
        bytes[bytes.length - 1] ^= 1;
        Files.write(library, bytes);
        Path second = tree("second");
        IOException refused = assertThrows(IOException.class, () -> watch(second, () -> {}));
        assertTrue(refused.getMessage().contains(library + " is damaged or changed"),
                refused.getMessage());
        assertEquals(1, pool.copiesMade());
    }

    @Test
    void aTreeThatCannotBeWatchedGivesItsCopyBack() throws Exception {
        Path unwatchable = tree(FakeNativeCalls.UNWATCHABLE);
        for (int i = 0; i < 5; ++i) {
            IOException refused =
                    assertThrows(IOException.class, () -> watch(unwatchable, () -> {}));
            assertTrue(refused.getMessage().startsWith("cannot watch " + unwatchable),
                    refused.getMessage());
        }
        assertEquals(1, pool.copiesMade());
        assertTrue(Thread.getAllStackTraces().keySet().stream()
                .noneMatch(thread -> thread.getName().equals("windowsfscm-watch")));
        Semaphore changes = new Semaphore(0);
        Path tree = tree("tree");
        watch(tree, changes::release);
        FakeNativeCalls.change(tree);
        assertTrue(changes.tryAcquire(WITHIN_MILLISECONDS, TimeUnit.MILLISECONDS));
    }
}
