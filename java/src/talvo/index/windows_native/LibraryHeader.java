package talvo.index.windows_native;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;

/**
 * What a native library file was built for, read from its ELF (Linux), PE (Windows) or Mach-O
 * (macOS) header, so that a file of the wrong system, bitness, processor or C library is named in
 * plain words instead of by the JVM's terse refusal.
 */
final class LibraryHeader {
    private static final String ELF = "Linux (ELF)";
    private static final String WINDOWS = "Windows";
    private static final String MACOS = "macOS";
    static final String GLIBC = "glibc";
    static final String MUSL = "musl";

    private final String system;
    private final int bits;
    private final String machine;
    private final boolean library;
    private final String cLibrary;

    /**
     * @param system {@code Linux (ELF)}, {@code Windows} or {@code macOS}; null when not known
     * @param bits 32 or 64; 0 when not known
     * @param machine the processor, such as {@code x86-64} or {@code arm64}; null when not known
     * @param library whether the file is a shared library (not a program or an object file)
     */
    LibraryHeader(String system, int bits, String machine, boolean library) {
        this(system, bits, machine, library, null);
    }

    /** @param cLibrary {@link #GLIBC} or {@link #MUSL} on Linux; null when not known */
    LibraryHeader(String system, int bits, String machine, boolean library, String cLibrary) {
        this.system = system;
        this.bits = bits;
        this.machine = machine;
        this.library = library;
        this.cLibrary = cLibrary;
    }

    String system() {
        return system;
    }

    int bits() {
        return bits;
    }

    String machine() {
        return machine;
    }

    boolean library() {
        return library;
    }

    String cLibrary() {
        return cLibrary;
    }

    /** The header of {@code file}, or null when it starts with no header of a known kind. */
    static LibraryHeader read(Path file) throws IOException {
        try (FileChannel in = FileChannel.open(file, StandardOpenOption.READ)) {
            ByteBuffer start = readAt(in, 0, 64);
            if (start.remaining() >= 20 && start.getInt(0) == 0x7f454c46) return elf(in, start);
            if (start.remaining() >= 64 && start.getShort(0) == 0x4d5a) {
                start.order(ByteOrder.LITTLE_ENDIAN);
                long peOffset = start.getInt(0x3c) & 0xffffffffL;
                return pe(readAt(in, peOffset, 26).order(ByteOrder.LITTLE_ENDIAN));
            }
            if (start.remaining() >= 16) return machO(start.order(ByteOrder.LITTLE_ENDIAN));
            return null;
        }
    }

    /** What a library for {@code platform} looks like, as far as it is known. */
    static LibraryHeader expectedFor(Platform platform, String dataModel) {
        String system = null;
        if (platform.os().equals("windows")) system = WINDOWS;
        else if (platform.os().equals("macos")) system = MACOS;
        else if (platform.os().equals("linux")) system = ELF;
        int bits;
        if ("32".equals(dataModel)) bits = 32;
        else if ("64".equals(dataModel)) bits = 64;
        else bits = bitsOf(platform.arch());
        String cLibrary = null;
        if (platform.os().equals("linux")) {
            cLibrary = platform.cLibrary().equals(Platform.MUSL) ? MUSL : GLIBC;
        }
        return new LibraryHeader(system, bits, machineOf(platform.arch()), true, cLibrary);
    }

    private static int bitsOf(String arch) {
        switch (arch) {
            case "x86": case "arm":
                return 32;
            case "x86_64": case "aarch64": case "riscv64": case "ppc64le": case "s390x":
                return 64;
            default:
                return 0;
        }
    }

    private static String machineOf(String arch) {
        switch (arch) {
            case "x86_64": return "x86-64";
            case "x86": return "x86";
            case "aarch64": return "arm64";
            case "arm": return "arm";
            case "ppc64le": return "ppc64le";
            case "ppc64": return "ppc64";
            case "s390x": return "s390";
            case "riscv64": return "riscv";
            default: return null;
        }
    }

    /** Whether this file suits a JVM that needs {@code expected}, whose unknown parts any suits. */
    boolean suits(LibraryHeader expected) {
        return library
                && (expected.system == null || expected.system.equals(system))
                && (expected.bits == 0 || expected.bits == bits)
                && (expected.machine == null || expected.machine.equals(machine))
                && (expected.cLibrary == null || cLibrary == null
                        || expected.cLibrary.equals(cLibrary));
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
        String text = size + kind + (machine == null ? "" : " for " + machine)
                + (cLibrary == null ? "" : " on " + cLibrary);
        return (text.matches("[aeiouAEIOU].*") ? "an " : "a ") + text;
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof LibraryHeader)) return false;
        LibraryHeader that = (LibraryHeader) other;
        return bits == that.bits && library == that.library && same(system, that.system)
                && same(machine, that.machine) && same(cLibrary, that.cLibrary);
    }

    @Override
    public int hashCode() {
        return describe().hashCode();
    }

    @Override
    public String toString() {
        return describe();
    }

    private static boolean same(String a, String b) {
        return a == null ? b == null : a.equals(b);
    }

    private static LibraryHeader elf(FileChannel in, ByteBuffer header) throws IOException {
        int bits = header.get(4) == 1 ? 32 : header.get(4) == 2 ? 64 : 0;
        boolean littleEndian = header.get(5) != 2;
        header.order(littleEndian ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
        boolean shared = header.getShort(16) == 3;  // ET_DYN
        String machine;
        switch (header.getShort(18) & 0xffff) {
            case 3: machine = "x86"; break;
            case 62: machine = "x86-64"; break;
            case 183: machine = "arm64"; break;
            case 40: machine = "arm"; break;
            case 20: machine = "ppc"; break;
            // Power runs either byte order, and a JVM loads a library of its own order only.
            case 21: machine = littleEndian ? "ppc64le" : "ppc64"; break;
            case 22: machine = "s390"; break;
            case 243: machine = "riscv"; break;
            case 8: machine = "mips"; break;
            case 50: machine = "ia64"; break;
            case 2: case 18: case 43: machine = "sparc"; break;
            case 258: machine = "loongarch"; break;
            default: machine = null;
        }
        String cLibrary = bits == 0 ? null : cLibraryOf(in, header);
        return new LibraryHeader(ELF, bits, machine, shared, cLibrary);
    }

    // The C library an ELF file was linked against, by the names it says it needs: glibc's
    // libc.so.6, or musl's libc.so (libc.musl-<processor>.so.1 on Alpine). Null for a file that
    // needs neither, or whose tables cannot be followed.
    private static String cLibraryOf(FileChannel in, ByteBuffer header) throws IOException {
        ElfFile elf = ElfFile.of(in, header);
        if (elf == null) return null;
        for (String library : elf.needed()) {
            if (library.equals("libc.so.6")) return GLIBC;
            if (library.equals("libc.so") || library.startsWith("libc.musl-")) return MUSL;
        }
        return null;
    }

    private static LibraryHeader pe(ByteBuffer header) {
        if (header.remaining() < 26 || header.getInt(0) != 0x00004550) return null;  // "PE\0\0"
        String machine;
        switch (header.getShort(4) & 0xffff) {
            case 0x014c: machine = "x86"; break;
            case 0x8664: machine = "x86-64"; break;
            case 0xaa64: machine = "arm64"; break;
            case 0x01c0: case 0x01c4: machine = "arm"; break;
            case 0x0200: machine = "ia64"; break;
            default: machine = null;
        }
        boolean dll = (header.getShort(22) & 0x2000) != 0;  // IMAGE_FILE_DLL
        short magic = header.getShort(24);
        int bits = magic == 0x10b ? 32 : magic == 0x20b ? 64 : 0;
        return new LibraryHeader(WINDOWS, bits, machine, dll);
    }

    private static LibraryHeader machO(ByteBuffer header) {
        int magic = header.getInt(0);
        int bits = magic == 0xfeedface ? 32 : magic == 0xfeedfacf ? 64 : 0;
        if (bits == 0) return null;
        String machine;
        switch (header.getInt(4)) {
            case 7: machine = "x86"; break;
            case 0x01000007: machine = "x86-64"; break;
            case 12: machine = "arm"; break;
            case 0x0100000c: machine = "arm64"; break;
            default: machine = null;
        }
        int fileType = header.getInt(12);
        return new LibraryHeader(MACOS, bits, machine, fileType == 6 || fileType == 8);
    }

    /** Up to {@code length} bytes of {@code in} from {@code position}: fewer at its end. */
    static ByteBuffer readAt(FileChannel in, long position, int length) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(length);
        int read = 0;
        while (buffer.hasRemaining() && read >= 0) {
            read = in.read(buffer, position + buffer.position());
        }
        buffer.flip();
        return buffer;
    }
}
