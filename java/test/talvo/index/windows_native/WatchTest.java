package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The Java API: a callback per change, a close that cleans up, a watch on a thread of its own. */
class WatchTest {
    private static final Duration RETURNS_WITHIN = NativeWaiter.RETURNS_WITHIN;
    private static final Duration STAYS_QUIET_FOR = NativeWaiter.STAYS_BLOCKED_FOR;

    @TempDir Path tree;
    @TempDir Path other;
    private final List<Watch> opened = new ArrayList<>();

    @AfterEach
    void closeEverything() {
        opened.forEach(Watch::close);
        assertFalse(watchThreadAlive(), "a watch thread outlived its watch");
    }

    private Watch watch(Path directory, Runnable onChange) throws IOException {
        Watch watch = WindowsFilesystemChangeMonitor.watch(directory, onChange);
        opened.add(watch);
        return watch;
    }

    @Test
    void onChangeRunsAfterEachChangeAndOnlyThen() throws Exception {
        Semaphore changes = new Semaphore(0);
        watch(tree, changes::release);
        // A new directory is one event, so exactly one callback, however late it comes: a file
        // written may take one wake for its creation and another for its content.
        for (int round = 0; round < 5; ++round) {
            Files.createDirectory(tree.resolve("directory" + round));
            assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS),
                    "no callback for the change of round " + round);
        }
        assertFalse(changes.tryAcquire(STAYS_QUIET_FOR.toMillis(), TimeUnit.MILLISECONDS));
    }

    @Test
    void closeReturnsPromptlyAndLeavesNothingBehind() throws Exception {
        long descriptorsBefore = WatchDescriptors.count();
        AtomicInteger changes = new AtomicInteger();
        Watch watch = watch(tree, changes::incrementAndGet);
        assertTrue(watchThreadAlive());
        assertTimeoutPreemptively(RETURNS_WITHIN, watch::close);
        assertFalse(watchThreadAlive());
        assertEquals(descriptorsBefore, WatchDescriptors.count());
        assertEquals(0, changes.get(), "the watch's own stop was reported as a change");
        assertTimeoutPreemptively(RETURNS_WITHIN, watch::close);
    }

    @Test
    void closeOnAnInterruptedThreadStillEndsTheWatchAndKeepsTheInterrupt() throws Exception {
        Watch watch = watch(tree, () -> {});
        Thread.currentThread().interrupt();
        try {
            watch.close();
            assertTrue(Thread.currentThread().isInterrupted(), "close swallowed the interrupt");
        } finally {
            Thread.interrupted();
        }
        assertFalse(watchThreadAlive(), "close returned before the watch ended");
    }

    @Test
    void closingAnEndedWatchAgainLeavesTheNextOneAlone() throws Exception {
        Watch ended = watch(tree, () -> {});
        ended.close();
        Semaphore changes = new Semaphore(0);
        watch(tree, changes::release);
        ended.close();
        settle(changes);
        Files.writeString(tree.resolve("file"), "x");
        assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS),
                "closing the ended watch stopped the next one");
    }

    @Test
    void closeFromManyThreadsAtOnceReturnsEverywhere() throws Exception {
        Watch watch = watch(tree, () -> {});
        CountDownLatch go = new CountDownLatch(1);
        List<Thread> closers = new ArrayList<>();
        for (int i = 0; i < 8; ++i) {
            closers.add(new Thread(() -> {
                try {
                    go.await();
                } catch (InterruptedException e) {
                    return;
                }
                watch.close();
            }));
        }
        closers.forEach(Thread::start);
        go.countDown();
        for (Thread closer : closers) {
            closer.join(RETURNS_WITHIN.toMillis());
            assertFalse(closer.isAlive(), "a close did not return");
        }
        assertFalse(watchThreadAlive());
        watch(tree, () -> {}).close();
    }

    @Test
    void closeFromInsideTheCallbackEndsTheWatch() throws Exception {
        AtomicReference<Watch> self = new AtomicReference<>();
        AtomicInteger calls = new AtomicInteger();
        self.set(watch(tree, () -> {
            calls.incrementAndGet();
            self.get().close();
        }));
        Files.writeString(tree.resolve("file"), "x");
        assertTimeoutPreemptively(RETURNS_WITHIN, () -> self.get().awaitEnd());
        Files.writeString(tree.resolve("more"), "x");
        assertEquals(1, calls.get());
        Semaphore changes = new Semaphore(0);
        watch(tree, changes::release);
        Files.writeString(tree.resolve("again"), "x");
        assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS));
    }

    @Test
    void aWatchOpenedFromAThreadThatEndsWorksOnAndWakesForNothingElse() throws Exception {
        Semaphore changes = new Semaphore(0);
        AtomicReference<Watch> opened = new AtomicReference<>();
        AtomicReference<Throwable> failed = new AtomicReference<>();
        Thread opener = new Thread(() -> {
            try {
                opened.set(watch(tree, changes::release));
            } catch (Throwable e) {
                failed.set(e);
            }
        }, "short-lived opener");
        opener.start();
        opener.join();
        assertEquals(null, failed.get());
        assertFalse(changes.tryAcquire(STAYS_QUIET_FOR.toMillis(), TimeUnit.MILLISECONDS),
                "the opener's end woke the watch");
        Files.writeString(tree.resolve("file"), "x");
        assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS));
        opened.get().close();
    }

    @Test
    void anotherWatchOpenMeanwhileLeavesTheFirstAlone() throws Exception {
        Semaphore changes = new Semaphore(0);
        Semaphore otherChanges = new Semaphore(0);
        Watch first = watch(tree, changes::release);
        Watch second = watch(other, otherChanges::release);
        Files.writeString(tree.resolve("file"), "x");
        assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS));
        second.close();
        settle(changes);
        Files.writeString(tree.resolve("more"), "x");
        assertTrue(changes.tryAcquire(RETURNS_WITHIN.toMillis(), TimeUnit.MILLISECONDS),
                "closing the second watch ended the first");
        assertFalse(otherChanges.tryAcquire(), "the second watch saw the first one's tree");
        first.close();
    }

    @Test
    void directoryThatCannotBeWatchedIsRefusedClearly() throws Exception {
        assertThrows(NoSuchFileException.class, () -> watch(tree.resolve("missing"), () -> {}));
        Path file = Files.writeString(tree.resolve("file"), "x");
        assertThrows(NotDirectoryException.class, () -> watch(file, () -> {}));
        assertThrows(NullPointerException.class, () -> watch(null, () -> {}));
        assertThrows(NullPointerException.class, () -> watch(tree, null));
        watch(tree, () -> {}).close();
    }

    @Test
    void callbackThatThrowsEndsTheWatchAndReportsTheFailure() throws Exception {
        AtomicReference<Throwable> reported = new AtomicReference<>();
        Thread.UncaughtExceptionHandler before = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((thread, failure) -> reported.set(failure));
        try {
            long descriptorsBefore = WatchDescriptors.count();
            Watch failing = watch(tree, () -> {
                throw new IllegalStateException("callback failed");
            });
            Files.writeString(tree.resolve("file"), "x");
            assertTimeoutPreemptively(RETURNS_WITHIN, failing::awaitEnd);
            assertEquals("callback failed", reported.get().getMessage());
            assertEquals(descriptorsBefore, WatchDescriptors.count());
            watch(tree, () -> {}).close();
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(before);
        }
    }

    /** Waits until no callback came for a while, so the next one is caused by what follows. */
    private static void settle(Semaphore changes) throws InterruptedException {
        long deadline = System.nanoTime() + RETURNS_WITHIN.toNanos();
        while (changes.tryAcquire(150, TimeUnit.MILLISECONDS)) {
            changes.drainPermits();
            assertTrue(System.nanoTime() < deadline, "callbacks keep coming without changes");
        }
    }

    private static boolean watchThreadAlive() {
        return Thread.getAllStackTraces().keySet().stream().anyMatch(
                thread -> thread.isAlive() && thread.getName().equals("windowsfscm-watch"));
    }
}
