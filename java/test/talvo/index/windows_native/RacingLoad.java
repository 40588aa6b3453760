package talvo.index.windows_native;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;

/**
 * A JVM of its own that says it is ready (makes a file), waits for the start signal (another file
 * appearing) and then loads the library, as many such JVMs do at once in the tests. It proves
 * that what it loaded works by watching a folder and seeing a change there. Prints the file it
 * loaded; exits with a status other than 0 on any failure.
 */
final class RacingLoad {
    private RacingLoad() {}

    public static void main(String[] args) throws Exception {
        Files.createFile(Path.of(args[0]));
        Path go = Path.of(args[1]);
        Path tree = Path.of(args[2]);
        while (!Files.exists(go)) Thread.sleep(1);
        LoadedLibrary loaded = LibraryPool.ofThisJvm().first();
        Semaphore changes = new Semaphore(0);
        try (Watch watch = WindowsFilesystemChangeMonitor.watch(tree, changes::release)) {
            Files.writeString(tree.resolve("change"), "x");
            if (!changes.tryAcquire(60, TimeUnit.SECONDS)) {
                System.err.println("no change seen in " + watch.directory());
                System.exit(1);
            }
        }
        System.out.println(loaded.file());
    }
}
