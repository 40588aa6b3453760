package talvo.example.consumer;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import talvo.index.windows_native.Watch;
import talvo.index.windows_native.WindowsFilesystemChangeMonitor;

/** Opens a watch on the folder it is given, makes a change there, sees it, and closes the watch. */
public final class SeeOneChange {
    private SeeOneChange() {}

    public static void main(String[] args) throws Exception {
        Path folder = Path.of(args[0]);
        Semaphore changes = new Semaphore(0);
        try (Watch watch = WindowsFilesystemChangeMonitor.watch(folder, changes::release)) {
            Files.writeString(folder.resolve("changed"), "x");
            if (!changes.tryAcquire(60, TimeUnit.SECONDS)) {
                System.err.println("no change seen in " + watch.directory());
                System.exit(1);
            }
        }
        System.out.println("saw a change in " + folder);
    }
}
