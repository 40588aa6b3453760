package talvo.index.windows_native;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
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
    private static final int PT_INTERP = 3;
    private static final int LONGEST_INTERPRETER = 4096;

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
            ByteBuffer header = LibraryHeader.readAt(in, 0, 64);
            if (header.remaining() < 52 || header.getInt(0) != 0x7f454c46) return null;
            boolean wide = header.get(4) == 2;
            header.order(header.get(5) == 2 ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
            long tableAt = wide ? header.getLong(32) : header.getInt(28) & 0xffffffffL;
            int entrySize = header.getShort(wide ? 54 : 42) & 0xffff;
            int entries = header.getShort(wide ? 56 : 44) & 0xffff;
            for (int i = 0; i < entries; ++i) {
                long at = tableAt + (long) i * entrySize;
                ByteBuffer entry = LibraryHeader.readAt(in, at, entrySize).order(header.order());
                if (entry.remaining() < (wide ? 40 : 20) || entry.getInt(0) != PT_INTERP) continue;
                long textAt = wide ? entry.getLong(8) : entry.getInt(4) & 0xffffffffL;
                long size = wide ? entry.getLong(32) : entry.getInt(16) & 0xffffffffL;
                if (size <= 0 || size > LONGEST_INTERPRETER) return null;
                ByteBuffer text = LibraryHeader.readAt(in, textAt, (int) size);
                byte[] bytes = new byte[text.remaining()];
                text.get(bytes);
                int end = 0;
                while (end < bytes.length && bytes[end] != 0) ++end;
                return new String(bytes, 0, end, StandardCharsets.UTF_8);
            }
            return null;
        }
    }
}
