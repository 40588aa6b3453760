package talvo.index.windows_native;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Objects;

/**
 * What a native library file was built for, read from its ELF (Linux), PE (Windows) or Mach-O
 * (macOS) header, so that a file of the wrong system, bitness or processor is named in plain words
 * instead of by the JVM's terse refusal.
 *
 * @param system {@code Linux (ELF)}, {@code Windows} or {@code macOS}; null when not known
 * @param bits 32 or 64; 0 when not known
 * @param machine the processor, such as {@code x86-64} or {@code arm64}; null when not known
 * @param library whether the file is a shared library (not a program or an object file)
 */
record LibraryHeader(String system, int bits, String machine, boolean library) {
    private static final String ELF = "Linux (ELF)";
    private static final String WINDOWS = "Windows";
    private static final String MACOS = "macOS";

    /** The header of {@code file}, or null when it starts with no header of a known kind. */
    static LibraryHeader read(Path file) throws IOException {
        try (FileChannel in = FileChannel.open(file, StandardOpenOption.READ)) {
            ByteBuffer start = readAt(in, 0, 64);
            if (start.remaining() >= 20 && start.getInt(0) == 0x7f454c46) return elf(start);
            if (start.remaining() >= 64 && start.getShort(0) == 0x4d5a) {
                start.order(ByteOrder.LITTLE_ENDIAN);
                long peOffset = Integer.toUnsignedLong(start.getInt(0x3c));
                return pe(readAt(in, peOffset, 26).order(ByteOrder.LITTLE_ENDIAN));
            }
            if (start.remaining() >= 16) return machO(start.order(ByteOrder.LITTLE_ENDIAN));
            return null;
        }
    }

    /** What a library for {@code platform} looks like, as far as it is known. */
    static LibraryHeader expectedFor(Platform platform, String dataModel) {
        String system = switch (platform.os()) {
            case "windows" -> WINDOWS;
            case "macos" -> MACOS;
            case "linux" -> ELF;
            default -> null;
        };
        int bits = switch (Objects.requireNonNullElse(dataModel, "")) {
            case "32" -> 32;
            case "64" -> 64;
            default -> switch (platform.arch()) {
                case "x86" -> 32;
                case "x86_64", "aarch64" -> 64;
                default -> 0;
            };
        };
        String machine = switch (platform.arch()) {
            case "x86_64" -> "x86-64";
            case "x86" -> "x86";
            case "aarch64" -> "arm64";
            case "arm" -> "arm";
            case "ppc64", "ppc64le" -> "ppc64";
            case "s390x" -> "s390";
            case "riscv64" -> "riscv";
            default -> null;
        };
        return new LibraryHeader(system, bits, machine, true);
    }

    /** Whether this file suits a JVM that needs {@code expected}, whose unknown parts any suits. */
    boolean suits(LibraryHeader expected) {
        return library
                && (expected.system == null || expected.system.equals(system))
                && (expected.bits == 0 || expected.bits == bits)
                && (expected.machine == null || expected.machine.equals(machine));
    }

    /** In words, such as "a 32-bit Windows DLL for x86". */
    String describe() {
        String kind;
        if (system == null) {
            kind = library ? "library" : "file";
        } else if (system.equals(WINDOWS)) {
            kind = library ? "Windows DLL" : "Windows program";
        } else {
            kind = system + (library ? " library" : " program or object file");
        }
        String size = bits == 0 ? "" : bits + "-bit ";
        String text = size + kind + (machine == null ? "" : " for " + machine);
        return (text.matches("[aeiouAEIOU].*") ? "an " : "a ") + text;
    }

    private static LibraryHeader elf(ByteBuffer header) {
        int bits = switch (header.get(4)) {
            case 1 -> 32;
            case 2 -> 64;
            default -> 0;
        };
        header.order(header.get(5) == 2 ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
        boolean shared = header.getShort(16) == 3;  // ET_DYN
        String machine = switch (Short.toUnsignedInt(header.getShort(18))) {
            case 3 -> "x86";
            case 62 -> "x86-64";
            case 183 -> "arm64";
            case 40 -> "arm";
            case 20 -> "ppc";
            case 21 -> "ppc64";
            case 22 -> "s390";
            case 243 -> "riscv";
            case 8 -> "mips";
            case 50 -> "ia64";
            case 2, 18, 43 -> "sparc";
            case 258 -> "loongarch";
            default -> null;
        };
        return new LibraryHeader(ELF, bits, machine, shared);
    }

    private static LibraryHeader pe(ByteBuffer header) {
        if (header.remaining() < 26 || header.getInt(0) != 0x00004550) return null;  // "PE\0\0"
        String machine = switch (Short.toUnsignedInt(header.getShort(4))) {
            case 0x014c -> "x86";
            case 0x8664 -> "x86-64";
            case 0xaa64 -> "arm64";
            case 0x01c0, 0x01c4 -> "arm";
            case 0x0200 -> "ia64";
            default -> null;
        };
        boolean dll = (header.getShort(22) & 0x2000) != 0;  // IMAGE_FILE_DLL
        int bits = switch (header.getShort(24)) {
            case 0x10b -> 32;
            case 0x20b -> 64;
            default -> 0;
        };
        return new LibraryHeader(WINDOWS, bits, machine, dll);
    }

    private static LibraryHeader machO(ByteBuffer header) {
        int bits = switch (header.getInt(0)) {
            case 0xfeedface -> 32;
            case 0xfeedfacf -> 64;
            default -> 0;
        };
        if (bits == 0) return null;
        String machine = switch (header.getInt(4)) {
            case 7 -> "x86";
            case 0x01000007 -> "x86-64";
            case 12 -> "arm";
            case 0x0100000c -> "arm64";
            default -> null;
        };
        int fileType = header.getInt(12);
        return new LibraryHeader(MACOS, bits, machine, fileType == 6 || fileType == 8);
    }

    private static ByteBuffer readAt(FileChannel in, long position, int length) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(length);
        int read = 0;
        while (buffer.hasRemaining() && read >= 0) {
            read = in.read(buffer, position + buffer.position());
        }
        return buffer.flip();
    }
}
