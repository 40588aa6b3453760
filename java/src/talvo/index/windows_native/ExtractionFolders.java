package talvo.index.windows_native;

import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;

/**
 * Where the jar's copy of the library is extracted to, in the order tried: the user's cache folder
 * ({@code -Dwindowsfscm.cache}, else {@code $XDG_CACHE_HOME/windowsfscm} or
 * {@code ~/.cache/windowsfscm} on Linux, {@code %LOCALAPPDATA%\windowsfscm} on Windows), then a
 * folder of this user's in the temporary folder.
 */
final class ExtractionFolders {
    private static final String NAME = NativeLibraryLoader.LIBRARY;

    /** One folder to extract to, or why there is none. */
    static final class Folder {
        private final String role;
        private final Path path;
        private final String missing;

        /**
         * @param role "cache folder" or "temporary folder"
         * @param path the folder; null when the settings it comes from are missing
         * @param missing why there is no path
         */
        Folder(String role, Path path, String missing) {
            this.role = role;
            this.path = path;
            this.missing = missing;
        }

        String role() {
            return role;
        }

        Path path() {
            return path;
        }

        String missing() {
            return missing;
        }

        String describe() {
            return path == null ? "folder" : path.toString();
        }
    }

    private ExtractionFolders() {}

    static List<Folder> of(NativeLibraryLoader.Host host, Platform platform) {
        return Arrays.asList(cache(host, platform), temporary(host));
    }

    private static Folder cache(NativeLibraryLoader.Host host, Platform platform) {
        String role = "cache folder";
        String chosen = host.property(NativeLibraryLoader.CACHE_PROPERTY);
        if (chosen != null) {
            return folder(role, chosen, "", "-D" + NativeLibraryLoader.CACHE_PROPERTY);
        }
        if (platform.isWindows()) {
            String localAppData = host.environment().apply("LOCALAPPDATA");
            if (localAppData != null) return folder(role, localAppData, NAME, "%LOCALAPPDATA%");
            return folder(role, host.property("user.home"), "AppData\\Local\\" + NAME, "user.home");
        }
        String xdg = host.environment().apply("XDG_CACHE_HOME");
        // The XDG rules ignore a relative XDG_CACHE_HOME.
        if (xdg != null && xdg.startsWith("/")) return folder(role, xdg, NAME, "XDG_CACHE_HOME");
        return folder(role, host.property("user.home"), ".cache/" + NAME, "user.home");
    }

    private static Folder temporary(NativeLibraryLoader.Host host) {
        // Named for the user, so that users do not meet in a shared temporary folder.
        String user = host.property("user.name");
        String suffix = user == null ? "" : "-" + user.replaceAll("[^A-Za-z0-9._-]", "_");
        return folder("temporary folder", host.property("java.io.tmpdir"), NAME + suffix,
                "java.io.tmpdir");
    }

    private static Folder folder(String role, String base, String below, String from) {
        if (base == null || base.isEmpty()) return new Folder(role, null, from + " is not set");
        try {
            Path path = Paths.get(base);
            // Only a folder the user chose may be relative: a JVM that finds no home folder
            // sets user.home to "?", which must not become a folder below the current one.
            if (!path.isAbsolute() && !below.isEmpty()) {
                return new Folder(role, null, from + " is not an absolute path: " + base);
            }
            return new Folder(role, path.resolve(below).toAbsolutePath(), null);
        } catch (InvalidPathException e) {
            return new Folder(role, null, from + " is not a valid path: " + base);
        }
    }
}
