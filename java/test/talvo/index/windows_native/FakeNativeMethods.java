package talvo.index.windows_native;

import java.nio.file.Paths;

/**
 * Stands in for the class with the native methods, with the same static methods, and with the
 * monitor's rules in Java: a wait blocks until a change or the stop, and once stopped every wait
 * returns at once. Each copy the pool makes is a class of its own, so each has its own state, as
 * each loaded copy of the library has. A copy may reach only public classes of the original's
 * loader, which is why it reports through {@link FakeNativeCalls}.
 */
final class FakeNativeMethods {
    private static final Object LOCK = new Object();
    private static String loaded;
    private static boolean watching;
    private static boolean stopped;
    private static int changes;

    private FakeNativeMethods() {}

    static void load(String file) {
        synchronized (LOCK) {
            loaded = file;
        }
        FakeNativeCalls.record(file, "load");
    }

    static void loadLibrary(String name) {
        load(name);
    }

    static boolean nativeInit(String path) {
        FakeNativeCalls.record(loaded, "init");
        if (path.endsWith(FakeNativeCalls.UNWATCHABLE)) return false;
        synchronized (LOCK) {
            if (watching) throw new IllegalStateException("a second watch on " + loaded);
            watching = true;
            stopped = false;
            changes = 0;
        }
        FakeNativeCalls.opened(Paths.get(path), FakeNativeMethods::change, loaded);
        return true;
    }

    static void nativeWaitForChange() {
        FakeNativeCalls.record(loaded, "wait");
        synchronized (LOCK) {
            while (changes == 0 && !stopped) {
                try {
                    LOCK.wait();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return;
                }
            }
            if (stopped) {
                watching = false;
                return;
            }
            --changes;
        }
    }

    static void nativeStop() {
        FakeNativeCalls.record(loaded, "stop");
        synchronized (LOCK) {
            stopped = true;
            LOCK.notifyAll();
        }
    }

    private static void change() {
        synchronized (LOCK) {
            ++changes;
            LOCK.notifyAll();
        }
    }
}
