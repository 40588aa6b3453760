package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** What a watch that cannot be opened says of the kernel's limits. */
class WatchLimitsTest {
    @TempDir Path root;
    private Path settings;
    private Path processes;

    @BeforeEach
    void aSystemWithTwoProcessesOfOursAndOneOfAnotherUser() throws IOException {
        settings = root.resolve("sys");
        setting("fs/inotify/max_user_instances", "3");
        setting("fs/inotify/max_user_watches", "8192");
        processes = Files.createDirectory(root.resolve("proc"));
        process("10", 2);
        process("11", 1);
        Files.createSymbolicLink(processes.resolve("self"), processes.resolve("10"));
    }

    private void setting(String name, String value) throws IOException {
        Path file = settings.resolve(name);
        Files.createDirectories(file.getParent());
        Files.writeString(file, value + "\n");
    }

    private void process(String pid, int inotifyInstances) throws IOException {
        Path descriptors = Files.createDirectories(processes.resolve(pid).resolve("fd"));
        Files.createSymbolicLink(descriptors.resolve("0"), Path.of("/dev/null"));
        for (int i = 1; i <= inotifyInstances; ++i) {
            Files.createSymbolicLink(descriptors.resolve(String.valueOf(i)),
                    Path.of("anon_inode:inotify"));
        }
    }

    @Test
    void reachingTheLimitOfInstancesIsNamedWithHowToRaiseIt() {
        assertEquals(": the limit fs.inotify.max_user_instances (3) is reached, by the 3 inotify "
                + "instances this user's processes hold (each watch takes one); raise it with "
                + "sysctl fs.inotify.max_user_instances=6",
                WatchLimits.describe(settings, processes));
    }

    @Test
    void belowTheLimitBothLimitsAreNamed() throws IOException {
        setting("fs/inotify/max_user_instances", "128");
        assertEquals(": each watch takes an inotify instance, of fs.inotify.max_user_instances "
                + "(128, 3 held by this user's processes), and an inotify watch per directory, "
                + "of fs.inotify.max_user_watches (8192)",
                WatchLimits.describe(settings, processes));
    }

    @Test
    void aLowerLimitOfTheUserNamespaceIsTheOneNamed() throws IOException {
        setting("fs/inotify/max_user_instances", "128");
        setting("user/max_inotify_instances", "2");
        assertTrue(WatchLimits.describe(settings, processes).startsWith(
                ": the limit user.max_inotify_instances (2) is reached"));
    }

    @Test
    void withoutTheSettingsNothingIsSaid() {
        assertEquals("", WatchLimits.describe(root.resolve("none"), processes));
    }

    /**
     * The real limit, lowered in a user namespace of its own so that nothing else on the machine
     * feels it: the watches beyond it are refused with the limit named.
     */
    @Test
    void theWatchBeyondTheLimitIsRefusedNamingIt() throws Exception {
        Path tree = Files.createDirectory(root.resolve("tree"));
        int limit = 3;
        List<String> command = new ArrayList<>(List.of("unshare", "--user", "--map-root-user",
                "sh", "-c",
                "echo " + limit + " >/proc/sys/user/max_inotify_instances && exec \"$@\"", "sh",
                JarRunner.java()));
        command.addAll(JarRunner.nativeAccess());
        command.addAll(List.of("-cp", System.getProperty("java.class.path"),
                WatchUntilRefused.class.getName(), tree.toString(), "20"));
        JarRunner.Finished run = JarRunner.runCommand(root, Map.of(), command);
        assumeTrue(run.status() == 0 || !run.err().contains("unshare"),
                "no user namespace for the test: " + run.err());
        assertEquals(0, run.status(), run::toString);
        String[] lines = run.out().split("\n");
        assertEquals(limit + " opened", lines[0], run::toString);
        assertEquals("cannot watch " + tree + ": the limit user.max_inotify_instances (" + limit
                + ") is reached", lines[1].substring(0, lines[1].indexOf(", by the ")),
                run::toString);
    }
}
