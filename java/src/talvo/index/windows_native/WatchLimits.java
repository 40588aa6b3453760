package talvo.index.windows_native;

import java.io.IOException;
import java.io.InputStream;
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
    private static final Path SETTINGS = Paths.get("/proc/sys");
    private static final Path PROCESSES = Paths.get("/proc");
    private static final String SYSTEM_INSTANCES = "fs.inotify.max_user_instances";
    // The same limit within a user namespace, which may be set lower there.
    private static final String NAMESPACE_INSTANCES = "user.max_inotify_instances";
    private static final String SYSTEM_WATCHES = "fs.inotify.max_user_watches";

    private WatchLimits() {}

    /** The limits in words, starting with ": ", or nothing where there are none to tell. */
    static String describe() {
        return describe(SETTINGS, PROCESSES);
    }

    /**
     * @param settings the folder of the kernel's settings, /proc/sys
     * @param processes the folder of the processes, whose inotify instances are counted for
     *     those of this process's user
     */
    static String describe(Path settings, Path processes) {
        Long systemInstances = read(settings, SYSTEM_INSTANCES);
        Long watches = read(settings, SYSTEM_WATCHES);
        if (systemInstances == null || watches == null) return "";
        Long namespaceInstances = read(settings, NAMESPACE_INSTANCES);
        boolean namespaceLower =
                namespaceInstances != null && namespaceInstances < systemInstances;
        String setting = namespaceLower ? NAMESPACE_INSTANCES : SYSTEM_INSTANCES;
        long limit = namespaceLower ? namespaceInstances : systemInstances;
        int held = inotifyInstances(processes);
        if (held >= limit) {
            return ": the limit " + setting + " (" + limit + ") is reached, by the " + held
                    + " inotify instances this user's processes hold (each watch takes one); "
                    + "raise it with sysctl " + setting + "=" + 2 * limit;
        }
        return ": each watch takes an inotify instance, of " + setting + " (" + limit + ", "
                + held + " held by this user's processes), and an inotify watch per directory, "
                + "of " + SYSTEM_WATCHES + " (" + watches + ")";
    }

    // A setting such as fs.inotify.max_user_watches, or null when there is none. Read at one go:
    // the kernel answers a read of a number from where an earlier read stopped with nothing.
    private static Long read(Path settings, String name) {
        try (InputStream in = Files.newInputStream(settings.resolve(name.replace('.', '/')))) {
            byte[] value = new byte[64];
            int length = in.read(value);
            String text = length <= 0 ? ""
                    : new String(value, 0, length, StandardCharsets.US_ASCII).trim();
            return text.matches("\\d{1,18}") ? Long.valueOf(text) : null;
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static int inotifyInstances(Path processes) {
        int count = 0;
        try (DirectoryStream<Path> all = Files.newDirectoryStream(processes, "[0-9]*")) {
            Object user = Files.getAttribute(processes.resolve("self"), "unix:uid");
            for (Path process : all) {
                if (user.equals(ownerOf(process))) {
                    count += inotifyInstancesOf(process.resolve("fd"));
                }
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
                    String target = Files.readSymbolicLink(descriptor).toString();
                    if (target.equals("anon_inode:inotify")) ++count;
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
