package talvo.index.windows_native;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The native libraries the jar carries, one per platform, in the folder {@code native/} beside this
 * class: {@code native/linux-x86_64/libwindowsfscm.so} and so on. {@code native/libraries.sha256}
 * lists them with their SHA-256, in the format of {@code sha256sum}, so that every copy made from
 * them can be checked.
 */
final class LibraryBundle {
    static final String FOLDER = "native/";
    static final String INDEX = FOLDER + "libraries.sha256";
    private static final Pattern LINE = Pattern.compile(
            "([0-9a-f]{64}) [ *]([a-z0-9_]+-[a-z0-9_]+(?:-[a-z0-9_]+)?)/([A-Za-z0-9._-]+)");

    /** Opens a resource by its name relative to this class's package; null when there is none. */
    interface Resources {
        InputStream open(String name) throws IOException;
    }

    /** One library the jar carries. */
    final class Carried implements LibraryContent {
        private final String platform;
        private final String fileName;
        private final String sha256;

        Carried(String platform, String fileName, String sha256) {
            this.platform = platform;
            this.fileName = fileName;
            this.sha256 = sha256;
        }

        String platform() {
            return platform;
        }

        @Override
        public String fileName() {
            return fileName;
        }

        @Override
        public String sha256() {
            return sha256;
        }

        String resource() {
            return FOLDER + platform + "/" + fileName;
        }

        @Override
        public String describe() {
            return "the " + holder() + "'s " + resource();
        }

        @Override
        public InputStream open() throws IOException {
            InputStream content = resources.open(resource());
            if (content == null) {
                throw new IOException(origin + " lists " + resource() + " but does not hold it");
            }
            return content;
        }
    }

    private final Resources resources;
    private final String origin;
    private final Map<String, Carried> byPlatform = new TreeMap<>();

    private LibraryBundle(Resources resources, String origin) {
        this.resources = resources;
        this.origin = origin;
    }

    /**
     * The libraries carried beside {@code anchor}: in the jar or folder it was loaded from, or
     * in its module of a runtime image made by jlink.
     */
    static LibraryBundle of(Class<?> anchor) throws IOException {
        CodeSource source = anchor.getProtectionDomain().getCodeSource();
        String origin = source == null || source.getLocation() == null
                ? "the class path" : source.getLocation().toString();
        return read(anchor::getResourceAsStream, origin);
    }

    /** Reads the list; a jar without one carries no libraries. */
    static LibraryBundle read(Resources resources, String origin) throws IOException {
        LibraryBundle bundle = new LibraryBundle(resources, origin);
        try (InputStream index = resources.open(INDEX)) {
            if (index == null) return bundle;
            BufferedReader lines =
                    new BufferedReader(new InputStreamReader(index, StandardCharsets.UTF_8));
            for (String line; (line = lines.readLine()) != null; ) {
                if (line.trim().isEmpty()) continue;
                Matcher entry = LINE.matcher(line);
                if (!entry.matches()) {
                    throw new IOException(origin + " has a malformed " + INDEX + ": " + line);
                }
                Carried carried =
                        bundle.new Carried(entry.group(2), entry.group(3), entry.group(1));
                if (bundle.byPlatform.put(carried.platform(), carried) != null) {
                    throw new IOException(origin + " lists two libraries for "
                            + carried.platform());
                }
            }
        }
        return bundle;
    }

    /** Where the libraries come from: the jar's location. */
    String origin() {
        return origin;
    }

    /**
     * What holds the libraries, in words: "jar", or "runtime image" for a module that jlink put
     * into one, whose classes and resources come from {@code jrt:} locations.
     */
    String holder() {
        return origin.startsWith("jrt:") ? "runtime image" : "jar";
    }

    /** The platforms carried, in alphabetical order. */
    List<String> platforms() {
        return new ArrayList<>(byPlatform.keySet());
    }

    /** The library for {@code platform}, or null when the jar carries none. */
    Carried forPlatform(String platform) {
        return byPlatform.get(platform);
    }

    InputStream open(Carried library) throws IOException {
        return library.open();
    }
}
