package talvo.index.windows_native;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * What the copies of {@link FakeNativeMethods} were asked to do, on which thread, and a way to
 * make a change in a tree one of them watches. Public, since the copies are classes of other
 * loaders, which reach only public classes and members of this one.
 */
public final class FakeNativeCalls {
    /** A directory whose name ends so cannot be watched. */
    public static final String UNWATCHABLE = "unwatchable";

    /** One call: the copy (the file it loaded), the method, the thread. */
    record Call(String copy, String method, Thread thread) {}

    private static final List<Call> CALLS = new ArrayList<>();
    private static final Map<Path, Runnable> CHANGES = new ConcurrentHashMap<>();
    private static final Map<Path, String> WATCHED_BY = new ConcurrentHashMap<>();

    private FakeNativeCalls() {}

    public static void record(String copy, String method) {
        synchronized (CALLS) {
            CALLS.add(new Call(copy, method, Thread.currentThread()));
        }
    }

    public static void opened(Path directory, Runnable change, String copy) {
        CHANGES.put(directory, change);
        WATCHED_BY.put(directory, copy);
    }

    /** A change in the tree at {@code directory}, for the copy that watches it. */
    static void change(Path directory) {
        CHANGES.get(directory).run();
    }

    /** The copy that last opened a watch on {@code directory}. */
    static String copyWatching(Path directory) {
        return WATCHED_BY.get(directory);
    }

    static List<Call> calls() {
        synchronized (CALLS) {
            return new ArrayList<>(CALLS);
        }
    }

    static void forget() {
        synchronized (CALLS) {
            CALLS.clear();
        }
        CHANGES.clear();
        WATCHED_BY.clear();
    }
}
