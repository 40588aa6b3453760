package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The order in which the library is looked for, and what each step says when it fails, for JVMs
 * of every platform: the JVM's properties and environment are made up, its loading of libraries
 * recorded instead of done, and the libraries come from the jar the build packed.
 */
class NativeLibraryLoaderTest {
    @TempDir Path root;
    private final FakeLinker linker = new FakeLinker();
    private final Map<String, String> properties = new HashMap<>();
    private final Map<String, String> environment = new HashMap<>();
    private CLibrary cLibrary = new CLibrary(Platform.GLIBC, "as the test says");
    private Path home;
    private Path libraryPath;

    @BeforeEach
    void linuxJvm() throws IOException {
        home = Files.createDirectory(root.resolve("home"));
        libraryPath = Files.createDirectory(root.resolve("lib"));
        jvm("Linux", "amd64", "64");
        properties.put("user.home", home.toString());
        properties.put("user.name", "tester");
        properties.put("java.io.tmpdir", Files.createDirectory(root.resolve("tmp")).toString());
        properties.put("java.library.path", libraryPath.toString());
    }

    private void jvm(String osName, String osArch, String dataModel) {
        properties.put("os.name", osName);
        properties.put("os.arch", osArch);
        properties.put("sun.arch.data.model", dataModel);
    }

    private NativeLibraryLoader loader() {
        return new NativeLibraryLoader(
                new NativeLibraryLoader.Host(properties::get, environment::get, () -> cLibrary),
                () -> LibraryBundle.of(WindowsFilesystemChangeMonitor.class), linker,
                () -> PrivateFolders.ofThisSystem(root.resolve("tmp")), MountTable.OF_THIS_PROCESS);
    }

    private static LibraryBundle jarBundle() throws IOException {
        return LibraryBundle.of(WindowsFilesystemChangeMonitor.class);
    }

    @ParameterizedTest
    @CsvSource({
        "Linux, amd64, 64, linux-x86_64",
        "Linux, x86_64, 64, linux-x86_64",
        "Linux, aarch64, 64, linux-aarch64",
        "Linux, arm64, 64, linux-aarch64",
        "Windows 10, x86, 32, windows-x86",
        "Windows Server 2019, x86, 32, windows-x86",
        "Windows 11, amd64, 64, windows-x86_64",
        "Windows 10, x86_64, 64, windows-x86_64",
    })
    void theJarsCopyForThePlatformIsExtractedToTheUsersCacheAndLoaded(String osName,
            String osArch, String dataModel, String platform) throws IOException {
        assumeTrue(JarRunner.platforms().contains(platform), "the jar carries no " + platform);
        jvm(osName, osArch, dataModel);
        Path cache = platform.startsWith("windows")
                ? Path.of(environmentVariable("LOCALAPPDATA", "AppData/Local"))
                : home.resolve(".cache");
        LibraryBundle.Carried carried = jarBundle().forPlatform(platform);

        LoadedLibrary loaded = loader().load();

        Path expected = cache.resolve("windowsfscm").resolve(carried.sha256())
                .resolve(carried.fileName());
        assertEquals(new FakeLinker.Load(expected, carried.sha256()), linker.onlyLoad());
        assertEquals(expected, loaded.file());
        assertTrue(loaded.source().contains("the jar's copy for " + platform), loaded.source());
    }

    @ParameterizedTest
    @CsvSource({"amd64, linux-x86_64-musl", "aarch64, linux-aarch64-musl"})
    void aMuslJvmTakesTheMuslCopyAndNeverTheGlibcOne(String osArch, String platform)
            throws IOException {
        jvm("Linux", osArch, "64");
        cLibrary = new CLibrary(Platform.MUSL, "the JVM's program interpreter is musl's");
        if (!JarRunner.platforms().contains(platform)) {
            String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();
            assertTrue(message.contains("1. the jar's copy for " + platform + ": "), message);
            return;
        }
        LibraryBundle.Carried carried = jarBundle().forPlatform(platform);
        LoadedLibrary loaded = loader().load();
        assertEquals(carried.sha256(), linker.onlyLoad().sha256());
        assertTrue(loaded.source().startsWith("the jar's copy for " + platform + ","),
                loaded.source());
        assertEquals("musl (the JVM's program interpreter is musl's)",
                loader().cLibrary().describe());
    }

    @ParameterizedTest
    @CsvSource({
        "Mac OS X, aarch64, macos-aarch64",
        "Linux, i386, linux-x86",
        "FreeBSD, amd64, freebsd-x86_64",
        "Linux, mips64, linux-mips64",
        "Linux, loongarch64, linux-loongarch64",
    })
    void aPlatformTheJarDoesNotCarryGetsOneErrorWithEverythingTried(String osName,
            String osArch, String platform) throws IOException {
        jvm(osName, osArch, "64");
        String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();
        assertTrue(message.contains("for " + platform + " (os.name " + osName + ", os.arch "
                + osArch + ", sun.arch.data.model 64)"), message);
        for (String carried : jarBundle().platforms()) {
            assertTrue(message.contains(carried), message);
        }
        assertTrue(message.contains("1. the jar's copy for " + platform + ": the jar ("), message);
        assertTrue(message.contains(") carries none"), message);
        assertTrue(message.contains("2. java.library.path (" + libraryPath + "): no "), message);
        assertTrue(linker.loads.isEmpty());
        assertFalse(Files.exists(home.resolve(".cache")), "extracted a library of no use");
    }

    static Stream<Arguments> unusableNamedFiles() {
        String linux64 =
                "this JVM (linux-x86_64) needs a 64-bit Linux (ELF) library for x86-64 on glibc";
        return Stream.of(
                Arguments.of("Linux", "amd64", "64", "missing.so", null, "no such file"),
                Arguments.of("Linux", "amd64", "64", "folder", null,
                        "a folder, not a library file"),
                Arguments.of("Linux", "amd64", "64", "notes.txt", "text",
                        "not a native library: it has no ELF, PE or Mach-O header"),
                Arguments.of("Linux", "amd64", "64", "empty.so", "empty",
                        "an empty file, not a library"),
                Arguments.of("Linux", "amd64", "64", "x86.so", "elf32-x86",
                        "it is a 32-bit Linux (ELF) library for x86, but " + linux64),
                Arguments.of("Linux", "amd64", "64", "arm64.so", "elf64-arm64",
                        "it is a 64-bit Linux (ELF) library for arm64, but " + linux64),
                Arguments.of("Linux", "aarch64", "64", "x64.so", "elf64-x86_64",
                        "it is a 64-bit Linux (ELF) library for x86-64, but this JVM "
                                + "(linux-aarch64) needs a 64-bit Linux (ELF) library for arm64"
                                + " on glibc"),
                Arguments.of("Linux", "amd64", "64", "musl.so", "elf64-x86_64-musl",
                        "it is a 64-bit Linux (ELF) library for x86-64 on musl, but " + linux64),
                Arguments.of("Windows 11", "amd64", "64", "x86.dll", "pe32-x86",
                        "it is a 32-bit Windows DLL for x86, but this JVM (windows-x86_64) "
                                + "needs a 64-bit Windows DLL for x86-64"),
                Arguments.of("Windows 10", "x86", "32", "x64.dll", "pe32+-x86_64",
                        "it is a 64-bit Windows DLL for x86-64, but this JVM (windows-x86) "
                                + "needs a 32-bit Windows DLL for x86"),
                Arguments.of("Windows 11", "amd64", "64", "linux.so", "elf64-x86_64",
                        "it is a 64-bit Linux (ELF) library for x86-64, but this JVM "
                                + "(windows-x86_64) needs a 64-bit Windows DLL for x86-64"));
    }

    @ParameterizedTest
    @MethodSource("unusableNamedFiles")
    void aFileNamedByThePropertyThatCannotBeLoadedFailsWithoutFallingBack(String osName,
            String osArch, String dataModel, String name, String content, String why)
            throws IOException {
        jvm(osName, osArch, dataModel);
        Path file = root.resolve(name);
        if (name.equals("folder")) Files.createDirectory(file);
        if (content != null) Files.write(file, bytes(content));
        properties.put("windowsfscm.library", file.toString());

        String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();

        assertTrue(message.contains("1. -Dwindowsfscm.library=" + file + ": " + why), message);
        assertFalse(message.contains("2."), "fell back: " + message);
        assertTrue(linker.loads.isEmpty() && linker.loadedByName.isEmpty());
        assertFalse(Files.exists(home.resolve(".cache")), "extracted the jar's copy");
    }

    @Test
    void aSuitableFileNamedByThePropertyIsLoadedAndTheJarsCopyLeftAlone() throws IOException {
        Path file = Files.write(root.resolve("libwindowsfscm.so"), bytes("elf64-x86_64"));
        properties.put("windowsfscm.library", file.toString());
        LoadedLibrary loaded = loader().load();
        assertEquals(file, linker.onlyLoad().file());
        assertEquals(file, loaded.file());
        assertEquals("named by -Dwindowsfscm.library", loaded.source());
        assertEquals(FakeLinker.sha256(file), loaded.content().sha256());
        assertFalse(Files.exists(home.resolve(".cache")));
    }

    @Test
    void aNamedFileTheJvmRefusesIsReportedWithTheJvmsReason() throws IOException {
        Path file = Files.write(root.resolve("libwindowsfscm.so"), bytes("elf64-x86_64"));
        linker.refusingBelow(root);
        properties.put("windowsfscm.library", file.toString());
        String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();
        assertTrue(message.contains(file + ": the JVM could not load it: " + file
                + ": failed to map segment from shared object"), message);
        assertFalse(message.contains("2."), "fell back: " + message);
    }

    @Test
    void anEmptyPropertyIsAMistakeNotAnAbsence() {
        properties.put("windowsfscm.library", "");
        String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();
        assertTrue(message.contains("-Dwindowsfscm.library=: names no file"), message);
        assertTrue(linker.loads.isEmpty() && linker.loadedByName.isEmpty());
    }

    @Test
    void withoutACopyForThePlatformTheLibraryPathIsTried() throws IOException {
        jvm("Linux", "mips64", "64");
        Path onPath = Files.write(libraryPath.resolve("libwindowsfscm.so"), new byte[] {1});
        linker.withLibraryOnLibraryPath();
        LoadedLibrary loaded = loader().load();
        assertEquals(List.of("windowsfscm"), linker.loadedByName);
        assertEquals(onPath, loaded.file());
        assertTrue(loaded.source().contains("java.library.path"), loaded.source());
    }

    @Test
    void aLibraryOnTheLibraryPathThatTheJvmRefusesIsExplainedByItsHeader() throws IOException {
        jvm("Linux", "mips64", "64");
        Path onPath = Files.write(libraryPath.resolve("libwindowsfscm.so"), bytes("elf32-x86"));
        String message = assertThrows(UnsatisfiedLinkError.class, loader()::load).getMessage();
        assertTrue(message.contains("2. java.library.path (" + libraryPath
                + "): the JVM could not load " + onPath + ": no windowsfscm in java.library.path"
                + " (it is a 32-bit Linux (ELF) library for x86, but this JVM (linux-mips64)"
                + " needs a 64-bit Linux (ELF) library on glibc)"), message);
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "XDG_CACHE_HOME | xdg | | xdg/windowsfscm",
        "XDG_CACHE_HOME | relative/cache | | home/.cache/windowsfscm",
        "XDG_CACHE_HOME | | chosen | chosen",
        "LOCALAPPDATA | appdata | | home/.cache/windowsfscm",
    })
    void theCacheFolderFollowsTheUsersSettings(String variable, String value, String property,
            String expected) throws IOException {
        assumeTrue(JarRunner.platforms().contains("linux-x86_64"));
        if (value != null) {
            environment.put(variable,
                    value.startsWith("relative") ? value : root.resolve(value).toString());
        }
        if (property != null) {
            properties.put("windowsfscm.cache", root.resolve(property).toString());
        }
        LibraryBundle.Carried carried = jarBundle().forPlatform("linux-x86_64");
        loader().load();
        assertEquals(root.resolve(expected).resolve(carried.sha256()).resolve(carried.fileName()),
                linker.onlyLoad().file());
    }

    @Test
    void aJvmWithoutAHomeFolderExtractsToTheTemporaryFolderOnly() throws IOException {
        assumeTrue(JarRunner.platforms().contains("linux-x86_64"));
        properties.put("user.home", "?");
        LibraryBundle.Carried carried = jarBundle().forPlatform("linux-x86_64");
        LoadedLibrary loaded = loader().load();
        assertEquals(root.resolve("tmp/windowsfscm-tester").resolve(carried.sha256())
                .resolve(carried.fileName()), loaded.file());
        assertFalse(Files.exists(Path.of("?")), "made a folder named ? in the current folder");
    }

    private String environmentVariable(String name, String below) {
        return environment.computeIfAbsent(name, unset -> root.resolve(below).toString());
    }

    static byte[] bytes(String content) {
        return switch (content) {
            case "text" -> "not a library\n".getBytes(StandardCharsets.UTF_8);
            case "empty" -> new byte[0];
            case "elf32-x86" -> HeaderBytes.linuxLibrary(32, HeaderBytes.EM_386);
            case "elf64-x86_64" -> HeaderBytes.linuxLibrary(64, HeaderBytes.EM_X86_64);
            case "elf64-arm64" -> HeaderBytes.linuxLibrary(64, HeaderBytes.EM_AARCH64);
            case "elf64-x86_64-musl" ->
                    HeaderBytes.linuxLibraryNeeding(64, false, HeaderBytes.EM_X86_64, "libc.so");
            case "pe32-x86" -> HeaderBytes.windowsDll(HeaderBytes.PE_I386);
            case "pe32+-x86_64" -> HeaderBytes.windowsDll(HeaderBytes.PE_AMD64);
            default -> throw new IllegalArgumentException(content);
        };
    }
}
