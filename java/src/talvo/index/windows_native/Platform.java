package talvo.index.windows_native;

import java.util.Locale;

/**
 * An operating system, processor and, on Linux, C library, named as the jar's library folders
 * are: {@code linux-x86_64}, {@code linux-x86_64-musl}, {@code windows-aarch64} and so on. Built
 * from the JVM's {@code os.name} and {@code os.arch}, whose spellings differ between JVMs and
 * systems, and from the C library the JVM runs on.
 */
final class Platform {
    /** The C library of most Linux systems, whose libraries need no suffix. */
    static final String GLIBC = "";
    /** The C library of Alpine and other small systems: libraries built for glibc do not load. */
    static final String MUSL = "musl";

    private final String os;
    private final String arch;
    private final String cLibrary;

    Platform(String os, String arch) {
        this(os, arch, GLIBC);
    }

    Platform(String os, String arch, String cLibrary) {
        this.os = os;
        this.arch = arch;
        this.cLibrary = cLibrary;
    }

    static Platform of(String osName, String osArch) {
        return of(osName, osArch, GLIBC);
    }

    /** @param cLibrary {@link #MUSL} or {@link #GLIBC}; it counts on Linux only */
    static Platform of(String osName, String osArch, String cLibrary) {
        String system = system(osName);
        return new Platform(system, processor(osArch), system.equals("linux") ? cLibrary : GLIBC);
    }

    /** Parses a folder name such as {@code linux-aarch64-musl}. */
    static Platform named(String name) {
        String[] parts = name.split("-", 3);
        if (parts.length < 2) throw new IllegalArgumentException("not a platform: " + name);
        return new Platform(parts[0], parts[1], parts.length == 3 ? parts[2] : GLIBC);
    }

    String os() {
        return os;
    }

    String arch() {
        return arch;
    }

    String cLibrary() {
        return cLibrary;
    }

    /** The folder name of this platform's library in the jar. */
    String name() {
        return os + "-" + arch + (cLibrary.isEmpty() ? "" : "-" + cLibrary);
    }

    boolean isWindows() {
        return os.equals("windows");
    }

    /** The file name {@code System.loadLibrary(library)} looks for on this platform. */
    String libraryFileName(String library) {
        if (os.equals("windows")) return library + ".dll";
        if (os.equals("macos")) return "lib" + library + ".dylib";
        return "lib" + library + ".so";
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof Platform && ((Platform) other).name().equals(name());
    }

    @Override
    public int hashCode() {
        return name().hashCode();
    }

    @Override
    public String toString() {
        return name();
    }

    private static String system(String osName) {
        String name = lowerCase(osName);
        if (name.startsWith("linux")) return "linux";
        if (name.startsWith("windows")) return "windows";
        if (name.startsWith("mac") || name.startsWith("darwin")) return "macos";
        return name.isEmpty() ? "unknown" : name.replaceAll("[^a-z0-9]+", "");
    }

    private static String processor(String osArch) {
        String arch = lowerCase(osArch);
        switch (arch) {
            case "amd64": case "x86_64": case "x86-64": case "x64": case "em64t":
                return "x86_64";
            case "x86": case "i386": case "i486": case "i586": case "i686": case "ia32":
                return "x86";
            case "aarch64": case "arm64":
                return "aarch64";
            // 32-bit ARM: OpenJDK says arm, others the processor's own name.
            case "arm": case "armv7l": case "armv7": case "armhf": case "aarch32":
                return "arm";
            case "ppc64le": case "powerpc64le":
                return "ppc64le";
            case "":
                return "unknown";
            default:
                return arch.replaceAll("[^a-z0-9_]+", "");
        }
    }

    private static String lowerCase(String value) {
        return value == null ? "" : value.trim().toLowerCase(Locale.ROOT);
    }
}
