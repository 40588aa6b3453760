package talvo.index.windows_native;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;

/**
 * Linux's table of mounts (/proc/self/mountinfo), read to tell whether a file lies on a file
 * system mounted {@code noexec}, from which no library can be loaded.
 */
final class MountTable {
    static final Path OF_THIS_PROCESS = Paths.get("/proc/self/mountinfo");

    private MountTable() {}

    /**
     * The mount point of the {@code noexec} file system that holds {@code realPath} (a path without
     * symbolic links), or null when it may hold code or when the system keeps no such table.
     */
    static String noexecMountHolding(Path mountinfo, Path realPath) throws IOException {
        List<String> lines;
        try {
            lines = Files.readAllLines(mountinfo, StandardCharsets.UTF_8);
        } catch (NoSuchFileException notLinux) {
            return null;
        }
        String mountPoint = null;
        boolean noexec = false;
        for (String line : lines) {
            // Fields: id, parent id, device, root, mount point, mount options, ...
            String[] fields = line.split(" ");
            if (fields.length < 6) continue;
            String point = unescape(fields[4]);
            // The deepest mount point above the path wins; of mounts on one point, the last.
            if (realPath.startsWith(point)
                    && (mountPoint == null || point.length() >= mountPoint.length())) {
                mountPoint = point;
                noexec = Arrays.asList(fields[5].split(",")).contains("noexec");
            }
        }
        return noexec ? mountPoint : null;
    }

    // Spaces, tabs, newlines and backslashes in mount points are written as octal escapes.
    private static String unescape(String field) {
        StringBuilder text = new StringBuilder(field.length());
        for (int i = 0; i < field.length(); ++i) {
            char c = field.charAt(i);
            if (c == '\\' && i + 3 < field.length() && field.substring(i + 1, i + 4)
                    .matches("[0-7]{3}")) {
                text.append((char) Integer.parseInt(field.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                text.append(c);
            }
        }
        return text.toString();
    }
}
