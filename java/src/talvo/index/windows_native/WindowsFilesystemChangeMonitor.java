package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.Path;

/**
 * Watches directory trees for changes through the native library {@code windowsfscm}.
 *
 * <p>{@link #watch(Path, Runnable)} opens a watch and calls back after each change;
 * {@link Watch#close()} ends it. A change means that a file or directory somewhere in the tree was
 * created, deleted, renamed or written; the callback is not told what changed, where, or how many
 * times. A process may hold any number of watches at once, on any trees.
 *
 * <p>The library is loaded on the first watch: the file named by {@code -Dwindowsfscm.library} if
 * that is set, else the copy its jar carries for this platform, else {@code windowsfscm} from
 * {@code java.library.path}.
 *
 * <p>Run as a program, {@code watch [DIR...]} prints a line with the local time for each change in
 * the DIRs (default: the current directory) until it is interrupted; {@code watch --diagnose} says
 * which native library was loaded and from where.
 */
public final class WindowsFilesystemChangeMonitor {
    // The library keeps one watch per loaded copy of itself, so every watch open at once beyond
    // the first is served by a copy of its own, loaded by a class loader that defines a copy of
    // this class alone. That copy runs nothing but the methods below that load the library and
    // the three native methods, so this class holds nothing else: its other code lives in classes
    // that only the original can reach.

    private WindowsFilesystemChangeMonitor() {}

    /** Starts watching the tree at {@code path}; false when it cannot be watched. */
    static native boolean nativeInit(String path);

    /** Blocks until the tree changes or a stop was requested; the latter releases the watch. */
    static native void nativeWaitForChange();

    /** Requests the stop and wakes a blocked wait. */
    static native void nativeStop();

    // The JVM binds a native library to the class loader of the class that calls System.load, and
    // a class's native methods to the libraries of its own loader: so this class loads its own.

    /** Loads the library {@code file} for this copy of the class. */
    static void load(String file) {
        System.load(file);
    }

    /** Loads {@code name} from java.library.path for this copy of the class. */
    static void loadLibrary(String name) {
        System.loadLibrary(name);
    }

    /**
     * Watches the tree at {@code directory} and runs {@code onChange} on a thread of the watch's
     * own after each change, until the watch is closed.
     *
     * @param directory the directory whose tree is watched
     * @param onChange run after each change in the tree
     * @return the open watch, to be closed when it is no longer needed
     * @throws java.nio.file.NoSuchFileException if the directory does not exist
     * @throws java.nio.file.NotDirectoryException if it is not a directory
     * @throws IOException if it cannot be watched, or no further copy of the library can be made
     *     for it
     * @throws UnsatisfiedLinkError if the native library could not be loaded; its message lists
     *     where it was looked for and why each failed
     */
    public static Watch watch(Path directory, Runnable onChange) throws IOException {
        return Watch.open(directory, onChange);
    }

    /**
     * The {@code watch [DIR...]} command, which ends on Ctrl-C with exit status 0;
     * {@code watch --diagnose}, which says which native library was loaded and from where; and
     * {@code watch --version}.
     *
     * @param args the command's arguments
     * @throws InterruptedException never: the command ends by the JVM's shutdown
     */
    public static void main(String[] args) throws InterruptedException {
        WatchCommand.run(args);
    }
}
