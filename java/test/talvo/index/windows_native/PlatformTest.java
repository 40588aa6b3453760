package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The folder of the jar's library for each JVM's spelling of its system and processor and for
 * its C library, and how a musl process is told from a glibc one.
 */
class PlatformTest {
    @TempDir Path folder;

    @ParameterizedTest
    @CsvSource({
        "Linux, amd64, glibc, linux-x86_64",
        "Linux, x86_64, glibc, linux-x86_64",
        "Linux, amd64, musl, linux-x86_64-musl",
        "Linux, aarch64, glibc, linux-aarch64",
        "Linux, arm64, musl, linux-aarch64-musl",
        "Linux, riscv64, glibc, linux-riscv64",
        "Linux, ppc64le, glibc, linux-ppc64le",
        "Linux, s390x, glibc, linux-s390x",
        "Linux, arm, glibc, linux-arm",
        "Linux, armv7l, glibc, linux-arm",
        "Linux, aarch32, glibc, linux-arm",
        "Linux, i386, glibc, linux-x86",
        "Windows 10, x86, glibc, windows-x86",
        "Windows 11, amd64, glibc, windows-x86_64",
        "Windows 11, aarch64, glibc, windows-aarch64",
        "Windows 11, aarch64, musl, windows-aarch64",
        "Mac OS X, aarch64, glibc, macos-aarch64",
    })
    void eachJvmSpellingFindsItsFolder(String osName, String osArch, String cLibrary,
            String expected) {
        Platform platform = Platform.of(osName, osArch,
                cLibrary.equals("musl") ? Platform.MUSL : Platform.GLIBC);
        assertEquals(expected, platform.name());
        assertEquals(platform, Platform.named(expected));
    }

    @Test
    void theJvmsOwnExecutableNamesItsInterpreter() throws IOException {
        assumeTrue(Files.exists(Path.of("/proc/self/exe")), "not Linux");
        String interpreter = CLibrary.interpreterOf(Path.of("/proc/self/exe"));
        CLibrary found = CLibrary.ofThisProcess();
        assertEquals("the JVM's program interpreter is " + interpreter, found.reason());
        assertEquals(interpreter.contains("/ld-musl-") ? Platform.MUSL : Platform.GLIBC,
                found.name());
    }

    @ParameterizedTest
    @CsvSource({
        "64, false, /lib/ld-musl-x86_64.so.1, musl",
        "64, false, /lib64/ld-linux-x86-64.so.2, glibc",
        "64, true, /lib/ld-musl-s390x.so.1, musl",
        "32, false, /lib/ld-musl-armhf.so.1, musl",
        "32, false, /lib/ld-linux-armhf.so.3, glibc",
    })
    void anExecutableIsToldByTheInterpreterItNames(int bits, boolean bigEndian,
            String interpreter, String expected) throws IOException {
        Path executable = Files.write(folder.resolve("java"),
                executable(bits, bigEndian, interpreter));
        assertEquals(interpreter, CLibrary.interpreterOf(executable));
        CLibrary found = CLibrary.of(executable, folder.resolve("no-maps"));
        assertEquals(expected.equals("musl") ? Platform.MUSL : Platform.GLIBC, found.name());
        assertEquals("the JVM's program interpreter is " + interpreter, found.reason());
    }

    @Test
    void withoutAnInterpreterTheMappedCLibraryTells() throws IOException {
        Path executable = Files.write(folder.resolve("java"), executable(64, false, null));
        assertNull(CLibrary.interpreterOf(executable));
        Path maps = Files.writeString(folder.resolve("maps"),
                "7f0000000000-7f0000001000 r-xp 00000000 08:01 42 /lib/ld-musl-x86_64.so.1\n");
        assertEquals(Platform.MUSL, CLibrary.of(executable, maps).name());
        Files.writeString(maps, "7f0000000000-7f0000001000 r-xp 00000000 08:01 42 "
                + "/usr/lib/x86_64-linux-gnu/libc.so.6\n");
        assertEquals(Platform.GLIBC, CLibrary.of(executable, maps).name());
    }

    @Test
    void whatCannotBeReadIsTakenForTheCommonCLibrary() {
        CLibrary found = CLibrary.of(folder.resolve("none"), folder.resolve("none"));
        assertEquals(Platform.GLIBC, found.name());
        assertTrue(found.reason().contains("cannot be read"), found.reason());
    }

    /** A program built against musl by the build, when the build has one. */
    @Test
    void aRealMuslProgramNamesMuslsInterpreter() throws IOException {
        String program = System.getenv("WINDOWSFSCM_TEST_MUSL_PROGRAM");
        assumeTrue(program != null, "the build made no program against musl");
        String interpreter = CLibrary.interpreterOf(Path.of(program));
        assertTrue(interpreter.matches("/lib/ld-musl-[a-z0-9_]+\\.so\\.1"), interpreter);
        assertEquals(Platform.MUSL, CLibrary.of(Path.of(program), folder.resolve("none")).name());
    }

    // An ELF executable's header and program headers, with PT_INTERP naming interpreter when it
    // is not null, behind a PT_LOAD.
    private static byte[] executable(int bits, boolean bigEndian, String interpreter) {
        boolean wide = bits == 64;
        int headerSize = wide ? 64 : 52;
        int entrySize = wide ? 56 : 32;
        int entries = interpreter == null ? 1 : 2;
        int textAt = headerSize + entries * entrySize;
        byte[] text = interpreter == null ? new byte[0]
                : (interpreter + "\0").getBytes(StandardCharsets.US_ASCII);
        ByteBuffer file = ByteBuffer.allocate(textAt + text.length)
                .order(bigEndian ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
        file.put(new byte[] {0x7f, 'E', 'L', 'F', (byte) (wide ? 2 : 1),
                (byte) (bigEndian ? 2 : 1), 1});
        file.putShort(16, (short) 2);  // ET_EXEC
        if (wide) {
            file.putLong(32, headerSize);
            file.putShort(54, (short) entrySize);
            file.putShort(56, (short) entries);
        } else {
            file.putInt(28, headerSize);
            file.putShort(42, (short) entrySize);
            file.putShort(44, (short) entries);
        }
        file.putInt(headerSize, 1);  // PT_LOAD
        if (interpreter != null) {
            int entry = headerSize + entrySize;
            file.putInt(entry, 3);  // PT_INTERP
            if (wide) {
                file.putLong(entry + 8, textAt);
                file.putLong(entry + 32, text.length);
            } else {
                file.putInt(entry + 4, textAt);
                file.putInt(entry + 16, text.length);
            }
            file.position(textAt);
            file.put(text);
        }
        return file.array();
    }
}
