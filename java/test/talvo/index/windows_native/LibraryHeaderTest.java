package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static talvo.index.windows_native.HeaderBytes.EM_386;
import static talvo.index.windows_native.HeaderBytes.EM_AARCH64;
import static talvo.index.windows_native.HeaderBytes.EM_ARM;
import static talvo.index.windows_native.HeaderBytes.EM_PPC64;
import static talvo.index.windows_native.HeaderBytes.EM_RISCV;
import static talvo.index.windows_native.HeaderBytes.EM_S390;
import static talvo.index.windows_native.HeaderBytes.EM_X86_64;
import static talvo.index.windows_native.HeaderBytes.ET_DYN;
import static talvo.index.windows_native.HeaderBytes.ET_EXEC;
import static talvo.index.windows_native.HeaderBytes.PE_AMD64;
import static talvo.index.windows_native.HeaderBytes.PE_ARM64;
import static talvo.index.windows_native.HeaderBytes.PE_I386;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** Files told apart by their headers, and which JVMs each suits. */
class LibraryHeaderTest {
    @TempDir Path folder;

    static Stream<Arguments> headers() {
        return Stream.of(
                Arguments.of(HeaderBytes.linuxLibrary(64, EM_X86_64),
                        "a 64-bit Linux (ELF) library for x86-64", "linux-x86_64"),
                Arguments.of(HeaderBytes.linuxLibrary(64, EM_AARCH64),
                        "a 64-bit Linux (ELF) library for arm64", "linux-aarch64"),
                Arguments.of(HeaderBytes.linuxLibrary(32, EM_386),
                        "a 32-bit Linux (ELF) library for x86", "linux-x86"),
                Arguments.of(HeaderBytes.elf(64, true, ET_DYN, EM_PPC64),
                        "a 64-bit Linux (ELF) library for ppc64", "linux-ppc64"),
                Arguments.of(HeaderBytes.elf(64, false, ET_DYN, EM_PPC64),
                        "a 64-bit Linux (ELF) library for ppc64le", "linux-ppc64le"),
                Arguments.of(HeaderBytes.elf(64, true, ET_DYN, EM_S390),
                        "a 64-bit Linux (ELF) library for s390", "linux-s390x"),
                Arguments.of(HeaderBytes.linuxLibrary(64, EM_RISCV),
                        "a 64-bit Linux (ELF) library for riscv", "linux-riscv64"),
                Arguments.of(HeaderBytes.linuxLibrary(32, EM_ARM),
                        "a 32-bit Linux (ELF) library for arm", "linux-arm"),
                Arguments.of(HeaderBytes.elf(64, false, ET_EXEC, EM_X86_64),
                        "a 64-bit Linux (ELF) program or object file for x86-64", "none"),
                Arguments.of(HeaderBytes.windowsDll(PE_I386),
                        "a 32-bit Windows DLL for x86", "windows-x86"),
                Arguments.of(HeaderBytes.windowsDll(PE_AMD64),
                        "a 64-bit Windows DLL for x86-64", "windows-x86_64"),
                Arguments.of(HeaderBytes.windowsDll(PE_ARM64),
                        "a 64-bit Windows DLL for arm64", "windows-aarch64"),
                Arguments.of(HeaderBytes.pe(PE_AMD64, true, false),
                        "a 64-bit Windows program for x86-64", "none"),
                Arguments.of(HeaderBytes.macLibrary(),
                        "a 64-bit macOS library for arm64", "macos-aarch64"));
    }

    @ParameterizedTest
    @MethodSource("headers")
    void eachKindIsNamedAndSuitsOnlyItsOwnPlatform(byte[] bytes, String described,
            String suitedPlatform) throws IOException {
        LibraryHeader header = LibraryHeader.read(Files.write(folder.resolve("library"), bytes));
        assertNotNull(header);
        assertEquals(described, header.describe());
        Stream.of("linux-x86_64", "linux-aarch64", "linux-x86", "linux-ppc64", "linux-ppc64le",
                "linux-s390x", "linux-riscv64", "linux-arm", "windows-x86", "windows-x86_64",
                "windows-aarch64", "macos-aarch64").forEach(name -> {
            Platform platform = Platform.named(name);
            boolean wide = !platform.arch().equals("x86") && !platform.arch().equals("arm");
            LibraryHeader needed = LibraryHeader.expectedFor(platform, wide ? "64" : "32");
            assertEquals(name.equals(suitedPlatform), header.suits(needed),
                    described + " on " + name);
        });
    }

    @Test
    void aJvmOfTheOtherBitnessIsToldApartByItsDataModel() throws IOException {
        LibraryHeader dll32 = LibraryHeader.read(
                Files.write(folder.resolve("x86.dll"), HeaderBytes.windowsDll(PE_I386)));
        Platform x86 = Platform.of("Windows 10", "x86");
        assertEquals(true, dll32.suits(LibraryHeader.expectedFor(x86, "32")));
        // The data model decides where os.arch alone would be read wrong.
        assertEquals(false, dll32.suits(LibraryHeader.expectedFor(x86, "64")));
        // Unknown parts of an unusual platform are not held against a file.
        assertEquals(true, dll32.suits(
                LibraryHeader.expectedFor(Platform.of("Windows 10", "sparcv9"), null)));
    }

    @Test
    void filesOfNoKnownKindHaveNoHeader() throws IOException {
        assertNull(read("text", "not a library at all\n".getBytes(StandardCharsets.UTF_8)));
        assertNull(read("empty", new byte[0]));
        assertNull(read("short-elf", Arrays.copyOf(HeaderBytes.linuxLibrary(64, EM_X86_64), 12)));
        // An MZ stub whose PE header would lie past the end of the file.
        byte[] stub = Arrays.copyOf(HeaderBytes.windowsDll(PE_AMD64), 64);
        ByteBuffer.wrap(stub).order(ByteOrder.LITTLE_ENDIAN).putInt(0x3c, 0x7fff_fff0);
        assertNull(read("stub.dll", stub));
        byte[] noSignature = HeaderBytes.windowsDll(PE_AMD64);
        noSignature[0x80] = 'X';
        assertNull(read("no-signature.dll", noSignature));
    }

    static Stream<Arguments> cLibraries() {
        return Stream.of(
                Arguments.of(64, false, EM_X86_64, new String[] {"libpthread.so.0", "libc.so.6"},
                        "glibc", "linux-x86_64"),
                Arguments.of(64, false, EM_X86_64, new String[] {"libc.so"}, "musl",
                        "linux-x86_64-musl"),
                Arguments.of(64, false, EM_AARCH64, new String[] {"libc.musl-aarch64.so.1"},
                        "musl", "linux-aarch64-musl"),
                // Big-endian, and 32-bit: the tables are read in the file's own order and width.
                Arguments.of(64, true, EM_S390, new String[] {"libc.so.6"}, "glibc",
                        "linux-s390x"),
                Arguments.of(32, false, EM_ARM, new String[] {"libc.so.6"}, "glibc",
                        "linux-arm"));
    }

    @ParameterizedTest
    @MethodSource("cLibraries")
    void theCLibraryALibraryNeedsIsReadFromItsDynamicSection(int bits, boolean bigEndian,
            int machine, String[] needed, String cLibrary, String platform) throws IOException {
        LibraryHeader header = read("library", HeaderBytes.linuxLibraryNeeding(bits, bigEndian,
                machine, needed));
        assertEquals(cLibrary, header.cLibrary());
        assertTrue(header.describe().endsWith(" on " + cLibrary), header.describe());
        Platform suited = Platform.named(platform);
        String dataModel = String.valueOf(bits);
        assertTrue(header.suits(LibraryHeader.expectedFor(suited, dataModel)));
        // The same processor with the other C library: its loader could not resolve libc.
        String other = cLibrary.equals("musl") ? Platform.GLIBC : Platform.MUSL;
        Platform otherLibrary = new Platform(suited.os(), suited.arch(), other);
        assertFalse(header.suits(LibraryHeader.expectedFor(otherLibrary, dataModel)));
    }

    @Test
    void aLibraryThatNeedsNoKnownCLibraryStillSuitsEither() throws IOException {
        for (String[] needed : new String[][] {{}, {"libm.so.6"}}) {
            LibraryHeader header = read("library",
                    HeaderBytes.linuxLibraryNeeding(64, false, EM_X86_64, needed));
            assertNull(header.cLibrary());
            assertTrue(header.suits(LibraryHeader.expectedFor(
                    Platform.named("linux-x86_64-musl"), "64")));
            assertTrue(header.suits(LibraryHeader.expectedFor(
                    Platform.named("linux-x86_64"), "64")));
        }
    }

    @Test
    void dynamicTablesThatLeadOutOfTheFileTellNoCLibrary() throws IOException {
        byte[] whole = HeaderBytes.linuxLibraryNeeding(64, false, EM_X86_64, "libc.so.6");
        // Cut off before the strings, then with the program headers pointing past the end.
        assertNull(read("cut", Arrays.copyOf(whole, whole.length - 4)).cLibrary());
        byte[] pastTheEnd = whole.clone();
        ByteBuffer.wrap(pastTheEnd).order(ByteOrder.LITTLE_ENDIAN).putLong(32, 1L << 40);
        LibraryHeader header = read("past", pastTheEnd);
        assertNull(header.cLibrary());
        assertEquals("a 64-bit Linux (ELF) library for x86-64", header.describe());
        byte[] negative = whole.clone();
        ByteBuffer.wrap(negative).order(ByteOrder.LITTLE_ENDIAN).putLong(32, -8);
        assertNull(read("negative", negative).cLibrary());
    }

    private LibraryHeader read(String name, byte[] bytes) throws IOException {
        return LibraryHeader.read(Files.write(folder.resolve(name), bytes));
    }
}
