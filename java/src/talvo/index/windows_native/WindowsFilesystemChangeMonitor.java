package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;

/**
 * Watches one directory tree for changes through the native library {@code windowsfscm}.
 *
 * <p>The library holds one watch per process. {@link #watch(Path, Runnable)} opens it and calls
 * back after each change; {@link Watch#close()} ends it. A change means that a file or directory
 * somewhere in the tree was created, deleted, renamed or written; the callback is not told what
 * changed, where, or how many times.
 *
 * <p>The class loads the library when it is initialised: the file named by
 * {@code -Dwindowsfscm.library} if that is set, else the copy its jar carries for this platform,
 * else {@code windowsfscm} from {@code java.library.path}.
 *
 * <p>Run as a program, {@code watch [DIR]} prints a line with the local time for each change in
 * DIR (default: the current directory) until it is interrupted; {@code watch --diagnose} says
 * which native library was loaded and from where.
 */
public final class WindowsFilesystemChangeMonitor {
    private static final String USAGE = "usage: watch [DIR]\n       watch --diagnose";

    // Loaded once, with the class. A failure is kept rather than thrown here, so that every
    // watch() reports it in full instead of as a class that could not be initialised.
    private static final LoadedLibrary LIBRARY;
    private static final UnsatisfiedLinkError LOAD_FAILURE;

    static {
        LoadedLibrary loaded = null;
        UnsatisfiedLinkError failure = null;
        try {
            loaded = NativeLibraryLoader.ofThisJvm(WindowsFilesystemChangeMonitor.class).load();
        } catch (UnsatisfiedLinkError e) {
            failure = e;
        }
        LIBRARY = loaded;
        LOAD_FAILURE = failure;
    }

    private WindowsFilesystemChangeMonitor() {}

    /**
     * The native library this class loaded.
     *
     * @throws UnsatisfiedLinkError listing what was tried, when no library could be loaded
     */
    static LoadedLibrary library() {
        if (LOAD_FAILURE != null) {
            UnsatisfiedLinkError failure = new UnsatisfiedLinkError(LOAD_FAILURE.getMessage());
            failure.initCause(LOAD_FAILURE);
            throw failure;
        }
        return LIBRARY;
    }

    // The library's entry points. Only Watch calls them, which keeps to their rules: one watch
    // at a time, the waits on one thread, and one stop per watch, consumed by a wait.

    /** Starts watching the tree at {@code path}; false when it cannot be watched. */
    static native boolean nativeInit(String path);

    /** Blocks until the tree changes or a stop was requested; the latter releases the watch. */
    static native void nativeWaitForChange();

    /** Requests the stop and wakes a blocked wait. */
    static native void nativeStop();

    /**
     * Watches the tree at {@code directory} and runs {@code onChange} on a thread of the watch's
     * own after each change, until the watch is closed.
     *
     * @throws java.nio.file.NoSuchFileException if the directory does not exist
     * @throws java.nio.file.NotDirectoryException if it is not a directory
     * @throws IOException if it cannot be watched
     * @throws IllegalStateException if a watch is already open in this process
     * @throws UnsatisfiedLinkError if the native library could not be loaded; its message lists
     *     where it was looked for and why each failed
     */
    public static Watch watch(Path directory, Runnable onChange) throws IOException {
        return Watch.open(directory, onChange);
    }

    /**
     * The {@code watch [DIR]} command, which ends on Ctrl-C with exit status 0, and
     * {@code watch --diagnose}, which says which native library was loaded and from where.
     */
    public static void main(String[] args) throws InterruptedException {
        if (args.length > 1) exit(2, USAGE);
        if (args.length == 1 && args[0].equals("--diagnose")) {
            diagnose();
            return;
        }
        DateTimeFormatter time = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");
        long[] changes = {0};
        Watch watch = null;
        try {
            // The empty path is the current directory, shown without a trailing "/.".
            watch = watch(Path.of(args.length == 1 ? args[0] : ""), () ->
                    System.out.println(LocalTime.now().format(time) + " change #" + ++changes[0]));
        } catch (NoSuchFileException e) {
            exit(1, "watch: no such directory: " + e.getFile());
        } catch (NotDirectoryException e) {
            exit(1, "watch: not a directory: " + e.getFile());
        } catch (IOException | IllegalArgumentException | IllegalStateException
                | UnsatisfiedLinkError e) {
            exit(1, "watch: " + e.getMessage());
        }
        Watch opened = watch;
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            opened.close();
            // Interrupting is how this command is meant to end, so it is no failure.
            Runtime.getRuntime().halt(0);
        }));
        System.out.println("watching " + opened.directory() + " (Ctrl-C to stop)");
        opened.awaitEnd();
    }

    private static void diagnose() {
        NativeLibraryLoader loader =
                NativeLibraryLoader.ofThisJvm(WindowsFilesystemChangeMonitor.class);
        System.out.println("platform: " + loader.describeJvm());
        System.out.println("carried: " + loader.carriedPlatforms());
        try {
            LoadedLibrary loaded = library();
            System.out.println("library: " + (loaded.file() == null
                    ? System.mapLibraryName(NativeLibraryLoader.LIBRARY) : loaded.file()));
            System.out.println("from: " + loaded.source());
        } catch (UnsatisfiedLinkError e) {
            exit(1, "watch: " + e.getMessage());
        }
    }

    private static void exit(int status, String message) {
        System.err.println(message);
        System.exit(status);
    }
}
