package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.text.SimpleDateFormat;
import java.util.ArrayList;
import java.util.Date;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;

/**
 * The {@code watch} command: {@code watch [DIR...]} prints a line with the local time for each
 * change in the trees at the DIRs (default: the current directory), naming the directory when
 * there are several, until it is interrupted; {@code watch --diagnose} says which native library
 * was loaded and from where; {@code watch --version} prints the version.
 */
final class WatchCommand {
    private static final String USAGE =
            "usage: watch [DIR...]\n       watch --diagnose\n       watch --version";

    private WatchCommand() {}

    static void run(String[] args) throws InterruptedException {
        if (args.length == 1 && args[0].equals("--diagnose")) {
            diagnose();
            return;
        }
        if (args.length == 1 && args[0].equals("--version")) {
            System.out.println("windowsfscm " + LibraryVersion.VERSION);
            return;
        }
        for (String arg : args) {
            if (arg.startsWith("--")) exit(2, "watch: unknown option " + arg + "\n" + USAGE);
        }
        // The empty path is the current directory, shown without a trailing "/.".
        String[] directories = args.length == 0 ? new String[] {""} : args;
        List<Watch> watches = new ArrayList<>();
        for (String directory : directories) {
            String failure = open(directory, directories.length, watches);
            if (failure != null) {
                watches.forEach(Watch::close);
                exit(1, "watch: " + failure);
            }
        }
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            watches.forEach(Watch::close);
            // Interrupting is how this command is meant to end, so it is no failure.
            Runtime.getRuntime().halt(0);
        }));
        List<String> names = new ArrayList<>();
        for (Watch watch : watches) names.add(watch.directory().toString());
        System.out.println("watching " + String.join(", ", names) + " (Ctrl-C to stop)");
        for (Watch watch : watches) watch.awaitEnd();
    }

    // Adds the watch on the tree at directory to watches, or says why it cannot be opened.
    private static String open(String directory, int count, List<Watch> watches) {
        AtomicLong changes = new AtomicLong();
        try {
            Path path = Paths.get(directory);
            String where = count == 1 ? "" : " in " + path.toAbsolutePath();
            watches.add(WindowsFilesystemChangeMonitor.watch(path, () -> System.out.println(
                    now() + " change #" + changes.incrementAndGet() + where)));
            return null;
        } catch (NoSuchFileException e) {
            return "no such directory: " + e.getFile();
        } catch (NotDirectoryException e) {
            return "not a directory: " + e.getFile();
        } catch (IOException | IllegalArgumentException | UnsatisfiedLinkError e) {
            return e.getMessage();
        }
    }

    private static String now() {
        return new SimpleDateFormat("HH:mm:ss.SSS").format(new Date());
    }

    private static void diagnose() {
        NativeLibraryLoader loader =
                NativeLibraryLoader.ofThisJvm(WindowsFilesystemChangeMonitor.class);
        System.out.println("version: " + LibraryVersion.VERSION);
        System.out.println("platform: " + loader.describeJvm());
        CLibrary cLibrary = loader.cLibrary();
        if (cLibrary != null) System.out.println("C library: " + cLibrary.describe());
        System.out.println("carried: " + loader.carriedPlatforms());
        try {
            LoadedLibrary loaded = LibraryPool.ofThisJvm().first();
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
