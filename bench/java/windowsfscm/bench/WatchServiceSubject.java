package windowsfscm.bench;

import static java.nio.file.StandardWatchEventKinds.ENTRY_CREATE;
import static java.nio.file.StandardWatchEventKinds.ENTRY_DELETE;
import static java.nio.file.StandardWatchEventKinds.ENTRY_MODIFY;

import java.io.IOException;
import java.nio.file.ClosedWatchServiceException;
import java.nio.file.FileVisitResult;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.SimpleFileVisitor;
import java.nio.file.WatchKey;
import java.nio.file.WatchService;
import java.nio.file.attribute.BasicFileAttributes;

/**
 * The JDK's WatchService as a program would use it for a tree: it has no recursive mode on
 * Linux, so every directory is registered, each before its entries are visited.
 */
final class WatchServiceSubject {
    private WatchServiceSubject() {}

    /** Closing the result closes the service and waits for the thread that takes its keys. */
    static AutoCloseable open(Path root, Runnable onChange) throws IOException {
        WatchService service = root.getFileSystem().newWatchService();
        Files.walkFileTree(root, new SimpleFileVisitor<>() {
            @Override
            public FileVisitResult preVisitDirectory(Path directory, BasicFileAttributes attributes)
                    throws IOException {
                directory.register(service, ENTRY_CREATE, ENTRY_DELETE, ENTRY_MODIFY);
                return FileVisitResult.CONTINUE;
            }
        });
        Thread waiter = new Thread(() -> {
            try {
                for (;;) {
                    WatchKey key = service.take();
                    onChange.run();
                    key.pollEvents();
                    key.reset();
                }
            } catch (InterruptedException | ClosedWatchServiceException ended) {
                // Closing the service is how the watch ends.
            }
        }, "watchservice-waiter");
        waiter.setDaemon(true);
        waiter.start();
        return () -> {
            service.close();
            waiter.join();
        };
    }
}
