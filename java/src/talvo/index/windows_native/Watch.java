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
 * The open watch of the process, made by {@link WindowsFilesystemChangeMonitor#watch}.
 *
 * <p>A daemon thread of its own waits for changes and runs the callback after each one. The
 * callback runs on that thread only, one call at a time. If it throws, the watch ends and the
 * throwable goes to the thread's uncaught-exception handler.
 */
public final class Watch implements AutoCloseable {
    // The library holds one watch per process: this is it while it is open, else null.
    private static final Object LOCK = new Object();
    private static Watch current;

    private final Path directory;
    private final Runnable onChange;
    private final Thread watcher;
    // Set before the stop is requested, so that every wait returning after the request sees it.
    private final AtomicBoolean stopping = new AtomicBoolean();
    private final CountDownLatch stopRequested = new CountDownLatch(1);

    private Watch(Path directory, Runnable onChange) {
        this.directory = directory;
        this.onChange = onChange;
        this.watcher = new Thread(this::run, "windowsfscm-watch");
        watcher.setDaemon(true);
    }

    static Watch open(Path directory, Runnable onChange) throws IOException {
        Objects.requireNonNull(directory, "directory");
        Objects.requireNonNull(onChange, "onChange");
        // Throws, saying what was tried, when the native library could not be loaded.
        WindowsFilesystemChangeMonitor.library();
        if (directory.getFileSystem() != FileSystems.getDefault()) {
            throw new IllegalArgumentException(
                    "not a path of the default file system: " + directory);
        }
        Path absolute = directory.toAbsolutePath();
        if (!Files.isDirectory(absolute)) {
            if (Files.exists(absolute)) throw new NotDirectoryException(absolute.toString());
            throw new NoSuchFileException(absolute.toString());
        }
        synchronized (LOCK) {
            if (current != null) {
                throw new IllegalStateException("a watch is already open on " + current.directory
                        + "; a process can watch only one tree at a time");
            }
            if (!WindowsFilesystemChangeMonitor.nativeInit(absolute.toString())) {
                throw new IOException("cannot watch " + absolute);
            }
            Watch watch = new Watch(absolute, onChange);
            current = watch;
            try {
                watch.watcher.start();
            } catch (Throwable failure) {
                // No thread will consume the stop, so do it here: the wait returns at once.
                WindowsFilesystemChangeMonitor.nativeStop();
                WindowsFilesystemChangeMonitor.nativeWaitForChange();
                current = null;
                throw failure;
            }
            return watch;
        }
    }

    /** The directory whose tree is watched, as an absolute path. */
    public Path directory() {
        return directory;
    }

    /**
     * Ends the watch. Returns once the watch is released and its thread has ended, so a new watch
     * can be opened right after. Does nothing more when called again or concurrently. Called from
     * inside the callback, it returns at once and the watch ends when the callback returns.
     */
    @Override
    public void close() {
        requestStop();
        if (Thread.currentThread() != watcher) uninterruptibly(watcher::join);
    }

    /** Blocks until the watch has ended, closed by another thread or from inside the callback. */
    public void awaitEnd() throws InterruptedException {
        if (Thread.currentThread() == watcher) {
            throw new IllegalStateException("the callback cannot wait for its own watch to end");
        }
        watcher.join();
    }

    private void run() {
        try {
            for (;;) {
                WindowsFilesystemChangeMonitor.nativeWaitForChange();
                if (stopping.get()) return;
                onChange.run();
            }
        } finally {
            requestStop();
            consumeStop();
            synchronized (LOCK) {
                current = null;
            }
        }
    }

    // Only the first call requests the stop: a second one could reach the next watch.
    private void requestStop() {
        if (!stopping.compareAndSet(false, true)) return;
        try {
            WindowsFilesystemChangeMonitor.nativeStop();
        } finally {
            stopRequested.countDown();
        }
    }

    // The wait does not say why it returned: the loop may have left on a change while the stop
    // was still on its way. Once the stop has been requested, one more wait returns at once and
    // releases the watch if no wait did so yet.
    private void consumeStop() {
        uninterruptibly(stopRequested::await);
        WindowsFilesystemChangeMonitor.nativeWaitForChange();
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
