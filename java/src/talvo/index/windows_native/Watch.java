package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.util.Objects;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * An open watch on a directory tree, made by {@link WindowsFilesystemChangeMonitor#watch}.
 *
 * <p>A daemon thread of its own opens the watch, waits for changes and runs the callback after
 * each one. The callback runs on that thread only, one call at a time. If it throws, the watch ends
 * and the throwable goes to the thread's uncaught-exception handler. Watches open at once are
 * independent of each other: each has its own thread, callback and copy of the native library.
 */
public final class Watch implements AutoCloseable {
    private final Path directory;
    private final Runnable onChange;
    private final LibraryPool pool;
    private final LibraryPool.Copy library;
    private final Thread watcher;
    // Set before the stop is requested, so that every wait returning after the request sees it.
    private final AtomicBoolean stopping = new AtomicBoolean();
    private final CountDownLatch stopRequested = new CountDownLatch(1);
    // Counted down once the watch thread has tried to open the watch; the results below are
    // written before.
    private final CountDownLatch openTried = new CountDownLatch(1);
    private boolean opened;
    private Throwable openFailure;

    private Watch(Path directory, Runnable onChange, LibraryPool pool, LibraryPool.Copy library) {
        this.directory = directory;
        this.onChange = onChange;
        this.pool = pool;
        this.library = library;
        this.watcher = new Thread(this::run, "windowsfscm-watch");
        watcher.setDaemon(true);
    }

    static Watch open(Path directory, Runnable onChange) throws IOException {
        return open(directory, onChange, LibraryPool.ofThisJvm());
    }

    /** A watch on a copy of the library from {@code pool}. */
    static Watch open(Path directory, Runnable onChange, LibraryPool pool) throws IOException {
        Objects.requireNonNull(directory, "directory");
        Objects.requireNonNull(onChange, "onChange");
        // Throws, saying what was tried, when the native library could not be loaded.
        pool.first();
        if (directory.getFileSystem() != FileSystems.getDefault()) {
            throw new IllegalArgumentException(
                    "not a path of the default file system: " + directory);
        }
        Path absolute = directory.toAbsolutePath();
        if (!Files.isDirectory(absolute)) {
            if (Files.exists(absolute)) throw new NotDirectoryException(absolute.toString());
            throw new NoSuchFileException(absolute.toString());
        }
        LibraryPool.Copy library = pool.acquire();
        Watch watch = new Watch(absolute, onChange, pool, library);
        try {
            watch.watcher.start();
        } catch (Throwable failure) {
            pool.release(library);
            throw failure;
        }
        uninterruptibly(watch.openTried::await);
        if (watch.opened) return watch;
        // The thread has given the library back and ends at once.
        uninterruptibly(watch.watcher::join);
        if (watch.openFailure instanceof RuntimeException) {
            throw (RuntimeException) watch.openFailure;
        }
        if (watch.openFailure instanceof Error) throw (Error) watch.openFailure;
        throw new IOException("cannot watch " + absolute + WatchLimits.describe());
    }

    /**
     * The directory whose tree is watched.
     *
     * @return the directory, as an absolute path
     */
    public Path directory() {
        return directory;
    }

    /**
     * Ends the watch. Returns once the watch is released and its thread has ended. Does nothing
     * more when called again or concurrently. Called from inside the callback, it returns at once
     * and the watch ends when the callback returns.
     */
    @Override
    public void close() {
        requestStop();
        if (Thread.currentThread() != watcher) uninterruptibly(watcher::join);
    }

    /**
     * Blocks until the watch has ended, closed by another thread or from inside the callback.
     *
     * @throws InterruptedException if this thread is interrupted while it waits
     */
    public void awaitEnd() throws InterruptedException {
        if (Thread.currentThread() == watcher) {
            throw new IllegalStateException("the callback cannot wait for its own watch to end");
        }
        watcher.join();
    }

    // Every call into the library for this watch is made here, on the one thread that lives as
    // long as the watch, but for the stop: on Windows a change notification's request belongs
    // to the thread that made it and is cancelled when that thread ends.
    private void run() {
        try {
            opened = library.natives().init(directory.toString());
        } catch (Throwable failure) {
            openFailure = failure;
        } finally {
            if (!opened) pool.release(library);
            openTried.countDown();
        }
        if (!opened) return;
        try {
            for (;;) {
                library.natives().waitForChange();
                if (stopping.get()) return;
                onChange.run();
            }
        } finally {
            requestStop();
            consumeStop();
            pool.release(library);
        }
    }

    // Only the first call requests the stop: a second one could reach the next watch of the same
    // copy of the library.
    private void requestStop() {
        if (!stopping.compareAndSet(false, true)) return;
        try {
            library.natives().stop();
        } finally {
            stopRequested.countDown();
        }
    }

    // The wait does not say why it returned: the loop may have left on a change while the stop
    // was still on its way. Once the stop has been requested, one more wait returns at once and
    // releases the watch if no wait did so yet.
    private void consumeStop() {
        uninterruptibly(stopRequested::await);
        library.natives().waitForChange();
    }

    private interface Blocking {
        void run() throws InterruptedException;
    }

    // Waits through interrupts, then sets the interrupt status again for the caller to see.
    private static void uninterruptibly(Blocking wait) {
        boolean interrupted = false;
        for (;;) {
            try {
                wait.run();
                break;
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) Thread.currentThread().interrupt();
    }
}
