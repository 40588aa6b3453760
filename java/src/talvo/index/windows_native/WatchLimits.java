package talvo.index.windows_native;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * The kernel's limits that a watch can run into, for the message of a watch that could not be
 * opened: the library itself says only that it could not. On Linux each watch takes an inotify
 * instance, which counts against {@code fs.inotify.max_user_instances} for all of the user's
 * processes, and an inotify watch per directory, against {@code fs.inotify.max_user_watches}.
 */
final class WatchLimits {
    private static final Path INOTIFY_LIMITS = Paths.get("/proc/sys/fs/inotify");
    private static final Path PROCESSES = Paths.get("/proc");

    private WatchLimits() {}

    /** The limits in words, starting with ": ", or nothing where there are none to tell. */
    static String describe() {
        return describe(INOTIFY_LIMITS, PROCESSES);
    }

    /**
     * @param limits the folder of the inotify limits
     * @param processes the folder of the processes, whose inotify instances are counted for
     *     those of this process's user
     */
    static String describe(Path limits, Path processes) {
        String instances = read(limits.resolve("max_user_instances"));
        String watches = read(limits.resolve("max_user_watches"));
        if (instances == null || watches == null) return "";
        int limit = Integer.parseInt(instances);
        int held = inotifyInstances(processes);
        if (held >= limit) {
            return ": the limit fs.inotify.max_user_instances (" + limit + ") is reached, by the "
                    + held + " inotify instances this user's processes hold (each watch takes one)"
                    + "; raise it with sysctl fs.inotify.max_user_instances=" + 2 * limit;
        }
        return ": each watch takes an inotify instance, of fs.inotify.max_user_instances ("
                + limit + ", " + held + " held by this user's processes), and an inotify watch "
                + "per directory, of fs.inotify.max_user_watches (" + watches + ")";
    }

    private static String read(Path file) {
        try {
            String text = new String(Files.readAllBytes(file), StandardCharsets.US_ASCII).trim();
            return text.matches("\\d{1,9}") ? text : null;
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static int inotifyInstances(Path processes) {
        int count = 0;
        try (DirectoryStream<Path> all = Files.newDirectoryStream(processes, "[0-9]*")) {
            Object user = Files.getAttribute(processes.resolve("self"), "unix:uid");
            for (Path process : all) {
                if (user.equals(ownerOf(process))) count += inotifyInstancesOf(process.resolve("fd"));
            }
        } catch (IOException | RuntimeException e) {
            // Counted as far as the list could be read.
        }
        return count;
    }

    private static Object ownerOf(Path process) {
        try {
            return Files.getAttribute(process, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException endedMeanwhile) {
            return null;
        }
    }

    // Another user's process, or one that ended since it was listed, holds none that count.
    private static int inotifyInstancesOf(Path descriptors) {
        int count = 0;
        try (DirectoryStream<Path> open = Files.newDirectoryStream(descriptors)) {
            for (Path descriptor : open) {
                try {
                    if (Files.readSymbolicLink(descriptor).toString().equals("anon_inode:inotify")) {
                        ++count;
                    }
                } catch (IOException closedMeanwhile) {
                    // A descriptor closed since it was listed holds nothing.
                }
            }
        } catch (IOException | RuntimeException e) {
            return count;
        }
        return count;
    }
}
