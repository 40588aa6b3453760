package talvo.index.windows_native;

import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.List;

/**
 * The C library a Linux JVM runs on, which decides whether the glibc or the musl build of the
 * library can load, told without running a program: by the program interpreter that the JVM's own
 * executable names (musl's is {@code ld-musl-<processor>.so.1}), or else by the C library mapped
 * into the process.
 */
final class CLibrary {

    private final String name;
    private final String reason;

    /**
     * @param name {@link Platform#MUSL} or {@link Platform#GLIBC}
     * @param reason why, in words
     */
    CLibrary(String name, String reason) {
        this.name = name;
        this.reason = reason;
    }

    String name() {
        return name;
    }

    String reason() {
        return reason;
    }

    /** Names the C library in words, with the reason, for --diagnose. */
    String describe() {
        return (name.equals(Platform.MUSL) ? "musl" : "glibc") + " (" + reason + ")";
    }

    /** The C library of this process: only Linux has a choice. */
    static CLibrary ofThisProcess() {
        return of(Paths.get("/proc/self/exe"), Paths.get("/proc/self/maps"));
    }

    static CLibrary of(Path executable, Path maps) {
        String interpreter;
        try {
            interpreter = interpreterOf(executable);
        } catch (IOException | RuntimeException e) {
            interpreter = null;
        }
        if (interpreter != null) {
            return new CLibrary(isMusl(interpreter) ? Platform.MUSL : Platform.GLIBC,
                    "the JVM's program interpreter is " + interpreter);
        }
        try {
            List<String> mapped = Files.readAllLines(maps, StandardCharsets.UTF_8);
            for (String line : mapped) {
                if (isMusl(line)) {
                    return new CLibrary(Platform.MUSL, "the process has musl mapped: "
                            + line.substring(line.indexOf('/')));
                }
            }
            return new CLibrary(Platform.GLIBC, "the JVM names no program interpreter and the "
                    + "process has no musl mapped");
        } catch (IOException | RuntimeException e) {
            return new CLibrary(Platform.GLIBC, "the JVM's executable and mappings cannot be read, "
                    + "so the most common is assumed");
        }
    }

    private static boolean isMusl(String path) {
        return path.contains("/ld-musl-") || path.contains("/libc.musl-");
    }

    /** The program interpreter an ELF executable names, or null when it names none. */
    static String interpreterOf(Path executable) throws IOException {
        try (FileChannel in = FileChannel.open(executable, StandardOpenOption.READ)) {
            ElfFile elf = ElfFile.of(in, LibraryHeader.readAt(in, 0, 64));
            return elf == null ? null : elf.interpreter();
        }
    }
}
