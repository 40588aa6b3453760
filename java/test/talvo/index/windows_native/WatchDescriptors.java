package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;

/**
 * Counts the descriptors of the kinds a watch holds (inotify instances and eventfds). The JVM
 * opens and closes descriptors of its own at any moment (jars, class data), so counting all of
 * them would make tests fail at random.
 */
final class WatchDescriptors {
    private WatchDescriptors() {}

    static long count() throws IOException {
        try (Stream<Path> descriptors = Files.list(Path.of("/proc/self/fd"))) {
            return descriptors.filter(WatchDescriptors::isWatchKind).count();
        }
    }

    private static boolean isWatchKind(Path descriptor) {
        try {
            String target = Files.readSymbolicLink(descriptor).toString();
            return target.equals("anon_inode:inotify") || target.equals("anon_inode:[eventfd]");
        } catch (IOException closedMeanwhile) {
            return false;
        }
    }
}
