package talvo.index.windows_native;

import java.time.Duration;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * Calls nativeWaitForChange on one long-lived thread, one call per {@link #begin}, so a test
 * decides when each wait starts and can tell whether it has returned.
 */
final class NativeWaiter {
    /** How long a wait that must return may take: generous, never a speed requirement. */
    static final Duration RETURNS_WITHIN = Duration.ofSeconds(10);
    /** How long a wait that must not return is watched. */
    static final Duration STAYS_BLOCKED_FOR = Duration.ofMillis(300);

    private final ExecutorService thread = Executors.newSingleThreadExecutor(task -> {
        Thread waiter = new Thread(task, "native-waiter");
        waiter.setDaemon(true);
        return waiter;
    });
    private Future<?> wait;

    /** The native methods called directly are those of the library the JVM loads first. */
    NativeWaiter() {
        LibraryPool.ofThisJvm().first();
    }

    void begin() {
        if (wait != null && !wait.isDone()) throw new IllegalStateException("a wait is running");
        wait = thread.submit(WindowsFilesystemChangeMonitor::nativeWaitForChange);
    }

    boolean returnsWithin(Duration limit) throws InterruptedException {
        try {
            wait.get(limit.toMillis(), TimeUnit.MILLISECONDS);
            return true;
        } catch (TimeoutException e) {
            return false;
        } catch (ExecutionException e) {
            throw new AssertionError("the wait failed", e.getCause());
        }
    }

    boolean returns() throws InterruptedException {
        return returnsWithin(RETURNS_WITHIN);
    }

    boolean staysBlocked() throws InterruptedException {
        return !returnsWithin(STAYS_BLOCKED_FOR);
    }

    /**
     * Begins waits until one stays blocked for a while, so the next return is caused by what the
     * test does next and not by events of earlier changes. That wait is left running.
     */
    void settle() throws InterruptedException {
        do {
            begin();
        } while (returnsWithin(Duration.ofMillis(150)));
    }

    /** Ends whatever watch is open and makes sure a wait consumed the stop. */
    void endWatch() throws InterruptedException {
        WindowsFilesystemChangeMonitor.nativeStop();
        if (wait == null || wait.isDone()) begin();
        boolean ended = returns();
        thread.shutdown();
        if (!ended) throw new AssertionError("the stop did not end the wait");
    }
}
