package talvo.index.windows_native;

import java.util.Locale;

/**
 * An operating system and processor, named as the jar's library folders are: {@code linux-x86_64},
 * {@code linux-aarch64}, {@code windows-x86}, {@code windows-x86_64}. Built from the JVM's
 * {@code os.name} and {@code os.arch}, whose spellings differ between JVMs and systems.
 */
record Platform(String os, String arch) {
    static Platform of(String osName, String osArch) {
        return new Platform(system(osName), processor(osArch));
    }

    /** The folder name of this platform's library in the jar. */
    String name() {
        return os + "-" + arch;
    }

    boolean isWindows() {
        return os.equals("windows");
    }

    /** The file name {@code System.loadLibrary(library)} looks for on this platform. */
    String libraryFileName(String library) {
        return switch (os) {
            case "windows" -> library + ".dll";
            case "macos" -> "lib" + library + ".dylib";
            default -> "lib" + library + ".so";
        };
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
        return switch (arch) {
            case "amd64", "x86_64", "x86-64", "x64", "em64t" -> "x86_64";
            case "x86", "i386", "i486", "i586", "i686", "ia32" -> "x86";
            case "aarch64", "arm64" -> "aarch64";
            case "" -> "unknown";
            default -> arch.replaceAll("[^a-z0-9_]+", "");
        };
    }

    private static String lowerCase(String value) {
        return value == null ? "" : value.trim().toLowerCase(Locale.ROOT);
    }
}
