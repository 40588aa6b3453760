package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A Java project that depends on the jar through Maven: the jar, its sources and its Javadoc are
 * installed into a local repository of the build's own with the documented command, the project
 * (java/test/consumer) is built against it offline, with the plugins from a repository on this
 * machine, and run as a module: it watches a folder, sees a change there and closes the watch.
 */
class MavenConsumerTest {
    @TempDir Path root;

    @Test
    void aMavenProjectBuildsAgainstTheInstalledJarAndSeesAChange() throws Exception {
        String version = JarRunner.requiredProperty("windowsfscm.test.version");
        Path repository = Path.of(JarRunner.requiredProperty("windowsfscm.test.mavenRepository"));
        // Installed afresh, so that a copy from an earlier build cannot pass for this one.
        deleteTree(repository.resolve("talvo/index/windowsfscm"));

        Path sources = Path.of(JarRunner.requiredProperty("windowsfscm.test.sources"));
        Path javadoc = Path.of(JarRunner.requiredProperty("windowsfscm.test.javadoc"));
        maven(root, "install:install-file", "-Dfile=" + JarRunner.fullJar(),
                "-DpomFile=" + JarRunner.requiredProperty("windowsfscm.test.pom"),
                "-Dsources=" + sources, "-Djavadoc=" + javadoc);
        Path artifacts = repository.resolve("talvo/index/windowsfscm/" + version);
        Path installed = artifacts.resolve("windowsfscm-" + version + ".jar");
        assertArrayEquals(Files.readAllBytes(JarRunner.fullJar()), Files.readAllBytes(installed));
        // Where an IDE looks for them.
        assertArrayEquals(Files.readAllBytes(sources),
                Files.readAllBytes(artifacts.resolve("windowsfscm-" + version + "-sources.jar")));
        assertArrayEquals(Files.readAllBytes(javadoc),
                Files.readAllBytes(artifacts.resolve("windowsfscm-" + version + "-javadoc.jar")));

        Path project = copyTree(Path.of(JarRunner.requiredProperty("windowsfscm.test.consumer")),
                root.resolve("consumer"));
        maven(project, "-Dwindowsfscm.version=" + version, "package");

        Path folder = Files.createDirectory(root.resolve("watched"));
        JarRunner.Finished run = JarRunner.run(root,
                Map.of("XDG_CACHE_HOME", root.resolve("cache").toString()),
                List.of("--module-path", project.resolve("target/windowsfscm-consumer-1.0.0.jar")
                                + ":" + installed,
                        "--module", "talvo.example.consumer/talvo.example.consumer.SeeOneChange",
                        folder.toString()));
        assertEquals(0, run.status(), run::toString);
        assertEquals("saw a change in " + folder + "\n", run.out());
    }

    // Every repository Maven would reach is served from the plugins' repository on this machine,
    // so the build needs no network.
    private void maven(Path directory, String... goals) throws Exception {
        String plugins = Path.of(JarRunner.requiredProperty("windowsfscm.test.mavenPlugins"))
                .toUri().toString();
        Path settings = Files.writeString(root.resolve("settings.xml"), String.join("\n",
                "<settings>",
                "  <mirrors>",
                "    <mirror>",
                "      <id>local-plugins</id>",
                "      <mirrorOf>*</mirrorOf>",
                "      <url>" + plugins + "</url>",
                "    </mirror>",
                "  </mirrors>",
                "</settings>",
                ""));
        List<String> command = new ArrayList<>(List.of(
                JarRunner.requiredProperty("windowsfscm.test.maven"), "--batch-mode",
                "--settings", settings.toString(),
                "-Dmaven.repo.local="
                        + JarRunner.requiredProperty("windowsfscm.test.mavenRepository")));
        command.addAll(List.of(goals));
        JarRunner.Finished build = JarRunner.runCommand(directory,
                Map.of("JAVA_HOME", System.getProperty("java.home")), command);
        assertEquals(0, build.status(), build::toString);
    }

    private static Path copyTree(Path from, Path to) throws IOException {
        try (Stream<Path> paths = Files.walk(from)) {
            for (Path path : (Iterable<Path>) paths::iterator) {
                Files.copy(path, to.resolve(from.relativize(path).toString()));
            }
        }
        return to;
    }

    private static void deleteTree(Path tree) throws IOException {
        if (!Files.exists(tree)) return;
        try (Stream<Path> paths = Files.walk(tree)) {
            for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) Files.delete(path);
        }
    }
}
