package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.lang.module.ModuleDescriptor;
import java.lang.module.ModuleFinder;
import java.lang.module.ModuleReference;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** What the jar the build packed holds: each library, its SHA-256, and how Java sees the jar. */
class JarContentsTest {
    private static final String NATIVE = "talvo/index/windows_native/native/";

    @TempDir Path folder;

    @Test
    void carriesTheLibraryOfEachPlatformBuiltWithItsSha256() throws IOException {
        try (JarFile jar = new JarFile(JarRunner.fullJar().toFile())) {
            LibraryBundle bundle = LibraryBundle.read(
                    name -> open(jar, "talvo/index/windows_native/" + name), jar.getName());
            assertEquals(JarRunner.platforms().stream().sorted().toList(), bundle.platforms());
            List<String> libraries = new ArrayList<>();
            for (String name : bundle.platforms()) {
                LibraryBundle.Carried carried = bundle.forPlatform(name);
                Platform platform = Platform.named(name);
                assertEquals(platform.libraryFileName("windowsfscm"), carried.fileName());
                Path copy = folder.resolve(name);
                try (InputStream in = bundle.open(carried)) {
                    Files.copy(in, copy);
                }
                assertEquals(carried.sha256(), FakeLinker.sha256(copy), name);
                LibraryHeader header = LibraryHeader.read(copy);
                assertNotNull(header, name);
                boolean narrow = platform.arch().equals("x86") || platform.arch().equals("arm");
                String dataModel = narrow ? "32" : "64";
                assertTrue(header.suits(LibraryHeader.expectedFor(platform, dataModel)),
                        name + " holds " + header.describe());
                libraries.add(NATIVE + name + "/" + carried.fileName());
            }
            // Nothing else below the libraries' folder: a stray file would be no one's library.
            List<String> stored = jar.stream().map(JarEntry::getName)
                    .filter(entry -> entry.startsWith(NATIVE) && !entry.endsWith("/"))
                    .filter(entry -> !entry.equals(NATIVE + "libraries.sha256"))
                    .sorted().toList();
            // Sorted as paths: "linux-aarch64-musl/" comes before "linux-aarch64/".
            assertEquals(libraries.stream().sorted().toList(), stored);
        }
    }

    @Test
    void manifestNamesTheWatchCommandAndAllowsItNativeAccess() throws IOException {
        try (JarFile jar = new JarFile(JarRunner.fullJar().toFile())) {
            Attributes main = jar.getManifest().getMainAttributes();
            assertEquals(WindowsFilesystemChangeMonitor.class.getName(),
                    main.getValue("Main-Class"));
            assertEquals("ALL-UNNAMED", main.getValue("Enable-Native-Access"));
            assertEquals("true", main.getValue("Multi-Release"));
            // A real module names itself: the attribute of an automatic one would only mislead.
            assertNull(main.getValue("Automatic-Module-Name"));
            assertEquals(JarRunner.requiredProperty("windowsfscm.test.version"),
                    main.getValue("Implementation-Version"));
        }
    }

    @Test
    void carriesTheLicense() throws IOException {
        try (JarFile jar = new JarFile(JarRunner.fullJar().toFile())) {
            assertArrayEquals(Files.readAllBytes(
                    Path.of(JarRunner.requiredProperty("windowsfscm.test.license"))),
                    open(jar, "META-INF/LICENSE").readAllBytes());
        }
    }

    @Test
    void onJava9AndLaterTheJarIsOneExplicitModuleThatExportsItsPackage() throws IOException {
        // The libraries' folders, which are no packages, stay readable to its own code.
        Set<ModuleReference> modules = ModuleFinder.of(JarRunner.fullJar()).findAll();
        assertEquals(1, modules.size());
        ModuleDescriptor module = modules.iterator().next().descriptor();
        assertEquals("talvo.index.windows_native", module.name());
        assertFalse(module.isAutomatic());
        assertEquals(Set.of("talvo.index.windows_native"), module.packages());
        assertEquals(Set.of("talvo.index.windows_native"), module.exports().stream()
                .filter(exported -> !exported.isQualified())
                .map(ModuleDescriptor.Exports::source).collect(Collectors.toSet()));
        assertEquals(Set.of("java.base"), module.requires().stream()
                .map(ModuleDescriptor.Requires::name).collect(Collectors.toSet()));
    }

    @Test
    void everyClassAtTheRootRunsOnJava8AndOnlyTheVersionedOnesNeedMore() throws IOException {
        try (JarFile jar = new JarFile(JarRunner.fullJar().toFile())) {
            List<String> classes = jar.stream().map(JarEntry::getName)
                    .filter(name -> name.endsWith(".class")).sorted().toList();
            assertTrue(classes.contains("META-INF/versions/9/module-info.class"),
                    classes::toString);
            for (String name : classes) {
                int major;
                try (InputStream in = jar.getInputStream(jar.getJarEntry(name))) {
                    byte[] header = in.readNBytes(8);
                    major = ((header[6] & 0xff) << 8) | (header[7] & 0xff);
                }
                assertEquals(name.startsWith("META-INF/versions/9/") ? 53 : 52, major, name);
            }
        }
    }

    @Test
    void carriesTheMavenDescriptionThatIsInstalledWithIt() throws IOException {
        String beside =
                Files.readString(Path.of(JarRunner.requiredProperty("windowsfscm.test.pom")));
        try (JarFile jar = new JarFile(JarRunner.fullJar().toFile())) {
            String inside = new String(
                    open(jar, "META-INF/maven/talvo.index/windowsfscm/pom.xml").readAllBytes(),
                    StandardCharsets.UTF_8);
            assertEquals(beside, inside);
        }
        assertTrue(beside.contains("<groupId>talvo.index</groupId>"), beside);
        assertTrue(beside.contains("<artifactId>windowsfscm</artifactId>"), beside);
        assertTrue(beside.matches("(?s).*<version>\\d+\\.\\d+\\.\\d+</version>.*"), beside);
    }

    private static InputStream open(JarFile jar, String name) throws IOException {
        JarEntry entry = jar.getJarEntry(name);
        return entry == null ? null : jar.getInputStream(entry);
    }
}
