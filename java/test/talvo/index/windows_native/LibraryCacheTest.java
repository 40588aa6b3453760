package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The copies the jar's library is extracted to: made once and checked at every use, replaced when
 * damaged, never made from a damaged jar, and put only where no other user can reach them or
 * where code may run, else in the temporary folder.
 */
class LibraryCacheTest {
    private static final String FILE = "libwindowsfscm.so";

    @TempDir Path root;
    private final FakeLinker linker = new FakeLinker();
    private final Map<String, String> properties = new HashMap<>();
    private final byte[] library = library();
    private final String sha256 = HexFormat.of().formatHex(LibraryCache.sha256().digest(library));
    private byte[] carried = library;
    private Path mountinfo = MountTable.OF_THIS_PROCESS;
    private Path cache;
    private Path temporary;

    @BeforeEach
    void linuxJvm() throws IOException {
        properties.putAll(Map.of("os.name", "Linux", "os.arch", "amd64",
                "sun.arch.data.model", "64", "user.name", "tester",
                "java.library.path", root.resolve("no-library-path").toString()));
        cache = root.resolve("cache");
        properties.put("windowsfscm.cache", cache.toString());
        properties.put("java.io.tmpdir", Files.createDirectory(root.resolve("tmp")).toString());
        temporary = root.resolve("tmp/windowsfscm-tester");
    }

    private static byte[] library() {
        byte[] bytes = new byte[200_000];
        new Random(7).nextBytes(bytes);
        byte[] header = HeaderBytes.linuxLibrary(64, HeaderBytes.EM_X86_64);
        System.arraycopy(header, 0, bytes, 0, header.length);
        return bytes;
    }

    private LoadedLibrary load() {
        Map<String, byte[]> resources = Map.of(
                LibraryBundle.INDEX, (sha256 + "  linux-x86_64/" + FILE + "\n")
                        .getBytes(StandardCharsets.US_ASCII),
                LibraryBundle.FOLDER + "linux-x86_64/" + FILE, carried);
        LibraryBundle.Resources jar = name -> resources.containsKey(name)
                ? new ByteArrayInputStream(resources.get(name)) : null;
        return new NativeLibraryLoader(
                new NativeLibraryLoader.Host(properties::get, name -> null),
                () -> LibraryBundle.read(jar, "test.jar"), linker,
                () -> PrivateFolders.ofThisSystem(root.resolve("tmp")), mountinfo).load();
    }

    private Path copyIn(Path folder) {
        return folder.resolve(sha256).resolve(FILE);
    }

    @Test
    void aCopyIsMadeOnceAndUsedByEveryLaterLoad() throws IOException {
        Path copy = copyIn(cache);
        assertEquals(copy, load().file());
        Object written = Files.readAttributes(copy, "unix:ino").get("ino");
        for (int i = 0; i < 20; ++i) assertEquals(copy, load().file());
        assertEquals(written, Files.readAttributes(copy, "unix:ino").get("ino"), "written again");
        assertEquals(Set.of(sha256), names(cache));
        assertEquals(Set.of(LibraryCache.LOCK, FILE), names(cache.resolve(sha256)));
        for (Path folder : List.of(cache, cache.resolve(sha256))) {
            assertEquals("rwx------",
                    PosixFilePermissions.toString(Files.getPosixFilePermissions(folder)));
        }
        assertTrue(linker.loads.stream().allMatch(load -> load.sha256().equals(sha256)));
        assertFalse(Files.exists(temporary));
    }

    @ParameterizedTest
    @ValueSource(strings = {"corrupted", "truncated", "empty", "foreign", "link"})
    void aDamagedCopyIsReplacedNotLoaded(String damage) throws IOException {
        Path copy = copyIn(cache);
        load();
        byte[] bytes = Files.readAllBytes(copy);
        Path foreign = Files.write(root.resolve("foreign.so"), library);
        switch (damage) {
            case "corrupted" -> bytes[bytes.length / 2] ^= 1;
            case "truncated" -> bytes = Arrays.copyOf(bytes, bytes.length / 2);
            case "empty" -> bytes = new byte[0];
            case "foreign" -> new Random(8).nextBytes(bytes);
            default -> {
                // A link, even to an identical file, could be turned to another at any moment.
                Files.delete(copy);
                Files.createSymbolicLink(copy, foreign);
            }
        }
        if (!damage.equals("link")) Files.write(copy, bytes);

        assertEquals(copy, load().file());

        assertEquals(new FakeLinker.Load(copy, sha256), linker.loads.get(1));
        assertTrue(Files.isRegularFile(copy, LinkOption.NOFOLLOW_LINKS));
        assertEquals(Set.of(LibraryCache.LOCK, FILE), names(cache.resolve(sha256)));
    }

    @Test
    void aCopyLeftHalfWrittenByAJvmThatDiedIsRemoved() throws IOException {
        Files.createDirectories(cache.resolve(sha256));
        Files.write(cache.resolve(sha256).resolve("." + FILE + ".4711" + ".part"), new byte[10]);
        load();
        assertEquals(Set.of(LibraryCache.LOCK, FILE), names(cache.resolve(sha256)));
    }

    @Test
    void aDamagedLibraryInTheJarIsNeverPutInPlace() throws IOException {
        carried = Arrays.copyOf(library, library.length - 1);
        String message = assertThrows(UnsatisfiedLinkError.class, this::load).getMessage();
        assertTrue(message.contains("the jar's native/linux-x86_64/" + FILE + " is damaged or "
                + "changed: its SHA-256 is "), message);
        assertTrue(linker.loads.isEmpty());
        for (Path folder : List.of(cache, temporary)) {
            assertEquals(Set.of(LibraryCache.LOCK), names(folder.resolve(sha256)));
        }
    }

    @Test
    void aCacheThatCannotBeMadeFallsBackToThePrivateTemporaryFolder() throws IOException {
        Files.writeString(root.resolve("file"), "x");
        properties.put("windowsfscm.cache", root.resolve("file/cache").toString());
        LoadedLibrary loaded = load();
        assertEquals(copyIn(temporary), loaded.file());
        assertTrue(loaded.source().contains("temporary folder"), loaded.source());
        assertEquals("rwx------",
                PosixFilePermissions.toString(Files.getPosixFilePermissions(temporary)));
    }

    @Test
    void whenNeitherFolderCanBeMadeTheErrorNamesBothAndWhy() throws IOException {
        Files.writeString(root.resolve("file"), "x");
        properties.put("windowsfscm.cache", root.resolve("file/cache").toString());
        properties.put("java.io.tmpdir", root.resolve("file/tmp").toString());
        String message = assertThrows(UnsatisfiedLinkError.class, this::load).getMessage();
        assertTrue(message.contains("1. the jar's copy for linux-x86_64: in the cache folder "
                + root.resolve("file/cache") + ": "), message);
        assertTrue(message.contains("; in the temporary folder "
                + root.resolve("file/tmp/windowsfscm-tester") + ": "), message);
        assertEquals(2, message.split("Not a directory|not a folder", -1).length - 1, message);
        assertTrue(message.contains("2. java.library.path ("), message);
    }

    @Test
    void aCacheFolderThatCannotBeWrittenFallsBack() throws IOException {
        assumeFalse(isRoot(), "root writes any folder");
        Path locked = Files.createDirectory(root.resolve("locked"));
        properties.put("windowsfscm.cache", locked.resolve("cache").toString());
        Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("r-x------"));
        try {
            assertEquals(copyIn(temporary), load().file());
        } finally {
            Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("rwx------"));
        }
    }

    @Test
    void aCacheOnANoexecMountFallsBackAndBothOnNoexecMountsFail() throws IOException {
        mountinfo = Files.writeString(root.resolve("mountinfo"), String.join("\n",
                "22 1 254:0 / / rw,relatime - ext4 /dev/vda rw",
                "40 22 0:50 / " + escaped(cache) + " rw,nosuid,noexec - tmpfs tmpfs rw",
                "41 22 0:51 / " + escaped(root.resolve("tmp")) + " rw,nodev - tmpfs tmpfs rw",
                ""));
        assertEquals(copyIn(temporary), load().file());
        assertEquals(List.of(copyIn(temporary)),
                linker.loads.stream().map(FakeLinker.Load::file).toList());

        Files.writeString(mountinfo, "42 22 0:52 / " + escaped(root.resolve("tmp"))
                + " rw,noexec - tmpfs tmpfs rw\n", StandardOpenOption.APPEND);
        String message = assertThrows(UnsatisfiedLinkError.class, this::load).getMessage();
        assertTrue(message.contains("in the cache folder " + cache + ": its file system ("
                + cache + ") is mounted noexec"), message);
        assertTrue(message.contains("in the temporary folder " + temporary
                + ": its file system (" + root.resolve("tmp") + ") is mounted noexec"), message);
    }

    @Test
    void aCopyTheJvmCannotLoadFallsBackToTheTemporaryFolder() {
        linker.refusingBelow(cache);
        assertEquals(copyIn(temporary), load().file());
        assertEquals(sha256, linker.onlyLoad().sha256());
    }

    @Test
    void folderThatOtherUsersCanWriteAreRefusedUnlessSticky() throws IOException {
        Path shared = Files.createDirectory(root.resolve("shared"));
        Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
        properties.put("windowsfscm.cache", shared.resolve("cache").toString());
        assertEquals(copyIn(temporary), load().file(), "used a folder others can replace");

        properties.put("java.io.tmpdir", shared.toString());
        String message = assertThrows(UnsatisfiedLinkError.class, this::load).getMessage();
        assertTrue(message.contains(shared + " can be written by other users (mode 0777), who "
                + "could replace " + shared.resolve("cache")), message);

        // A sticky folder such as /tmp lets no one rename what others put in it.
        Files.setAttribute(shared, "unix:mode", 01777);
        assertEquals(copyIn(shared.resolve("cache")), load().file());
    }

    @Test
    void anOwnFolderOthersCanReadIsMadePrivateButOneOthersCanWriteIsRefused() throws IOException {
        Files.createDirectory(cache);
        Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString("rwxr-xr-x"));
        assertEquals(copyIn(cache), load().file());
        assertEquals("rwx------",
                PosixFilePermissions.toString(Files.getPosixFilePermissions(cache)));

        Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString("rwxrwx---"));
        assertEquals(copyIn(temporary), load().file());
    }

    @Test
    void aFolderOfAnotherUserIsRefused() throws IOException {
        assumeTrue(isRoot(), "only root can give a folder away");
        Path theirs = Files.createDirectory(root.resolve("theirs"));
        UserPrincipal nobody = root.getFileSystem().getUserPrincipalLookupService()
                .lookupPrincipalByName("65534");
        Files.setOwner(theirs, nobody);
        properties.put("windowsfscm.cache", theirs.toString());
        properties.put("java.io.tmpdir", root.resolve("elsewhere").toString());
        Files.setOwner(Files.createDirectories(root.resolve("elsewhere/windowsfscm-tester")),
                nobody);
        String message = assertThrows(UnsatisfiedLinkError.class, this::load).getMessage();
        assertTrue(message.contains(theirs + " belongs to another user (uid 65534; this JVM "
                + "runs as uid 0)"), message);
        assertTrue(message.contains(root.resolve("elsewhere/windowsfscm-tester")
                + " belongs to another user (uid 65534"), message);
        assertTrue(linker.loads.isEmpty());
    }

    @Test
    void theMountTableTellsTheMountHoldingAPath() throws IOException {
        Path table = Files.writeString(root.resolve("mountinfo"), String.join("\n",
                "22 1 254:0 / / rw,relatime - ext4 /dev/vda rw",
                "30 22 0:40 / /home rw,noexec - ext4 /dev/vdb rw",
                "31 30 0:41 / /home/with\\040space rw - tmpfs tmpfs rw",
                "32 22 0:42 / /data rw - tmpfs tmpfs rw",
                "33 22 0:43 / /data ro,noexec - tmpfs tmpfs rw",
                ""));
        assertEquals("/home", MountTable.noexecMountHolding(table, Path.of("/home/user/x.so")));
        assertNull(MountTable.noexecMountHolding(table, Path.of("/home/with space/x.so")));
        assertEquals("/data", MountTable.noexecMountHolding(table, Path.of("/data/x.so")),
                "the later of two mounts on one point hides the earlier");
        assertNull(MountTable.noexecMountHolding(table, Path.of("/homeless/x.so")));
        assertNull(MountTable.noexecMountHolding(root.resolve("none"), Path.of("/home/x.so")));
    }

    private static String escaped(Path path) {
        return path.toString().replace("\\", "\\134").replace(" ", "\\040");
    }

    private static Set<String> names(Path folder) throws IOException {
        try (Stream<Path> entries = Files.list(folder)) {
            return entries.map(entry -> entry.getFileName().toString())
                    .collect(Collectors.toSet());
        }
    }

    private static boolean isRoot() throws IOException {
        return (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0;
    }
}
