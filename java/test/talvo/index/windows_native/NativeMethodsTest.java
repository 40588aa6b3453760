package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static talvo.index.windows_native.WindowsFilesystemChangeMonitor.nativeInit;
import static talvo.index.windows_native.WindowsFilesystemChangeMonitor.nativeStop;

import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.management.JMException;
import javax.management.ObjectName;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The three native methods called directly, on the real library, as the host class calls them. */
class NativeMethodsTest {
    @TempDir Path tree;
    private final NativeWaiter waiter = new NativeWaiter();

    @AfterEach
    void endWatch() throws InterruptedException {
        waiter.endWatch();
    }

    @Test
    void missingDirectoryIsRefusedAndItsCharactersAreReleased() throws Exception {
        // A long name makes every unreleased copy of the characters count.
        String missing = tree.resolve("missing-" + "x".repeat(2000)).toString();
        for (int i = 0; i < 1000; ++i) assertFalse(nativeInit(missing));
        long allocationsBefore = internalAllocations();
        long descriptorsBefore = WatchDescriptors.count();
        for (int i = 0; i < 20_000; ++i) assertFalse(nativeInit(missing));
        long allocationsAfter = internalAllocations();
        assertTrue(allocationsAfter - allocationsBefore < 1000,
                "the JVM holds " + (allocationsAfter - allocationsBefore)
                        + " more internal allocations after 20000 refused starts");
        assertEquals(descriptorsBefore, WatchDescriptors.count());
    }

    @Test
    void nullPathIsRefusedAndTheJvmLivesOn() throws InterruptedException {
        assertFalse(nativeInit(null));
        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        assertTrue(waiter.staysBlocked());
    }

    @Test
    void embeddedNulIsRefused() {
        // Cut at the NUL, the path would name the tree itself.
        assertFalse(nativeInit(tree + "\0"));
        assertFalse(nativeInit(tree + "\0/more"));
    }

    @Test
    void changeWakesTheWait() throws Exception {
        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        assertTrue(waiter.staysBlocked());
        Files.writeString(tree.resolve("file"), "x");
        assertTrue(waiter.returns());
    }

    @Test
    void successiveWaitsEachReturnOnTheirOwnChange() throws Exception {
        Files.createDirectories(tree.resolve("a/b"));
        assertTrue(nativeInit(tree.toString()));
        for (int round = 0; round < 5; ++round) {
            waiter.settle();
            Files.writeString(tree.resolve("a/b/file" + round), "x");
            assertTrue(waiter.returns(), "round " + round);
        }
    }

    @Test
    void stopFromAnotherThreadWakesABlockedWait() throws Exception {
        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        assertTrue(waiter.staysBlocked());
        nativeStop();
        assertTrue(waiter.returns());
        // The watch is over: a further wait returns at once instead of waiting for changes.
        waiter.begin();
        assertTrue(waiter.returns());
    }

    @Test
    void restartAfterStopWorksAndStartsQuiet() throws Exception {
        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        Files.writeString(tree.resolve("first"), "x");
        assertTrue(waiter.returns());
        // A change and a stop both pending when the watch ends: neither may reach the next one.
        Files.writeString(tree.resolve("second"), "x");
        nativeStop();
        waiter.begin();
        assertTrue(waiter.returns());

        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        assertTrue(waiter.staysBlocked());
        Files.writeString(tree.resolve("third"), "x");
        assertTrue(waiter.returns());
    }

    /** Live allocations the JVM made for its own use, which includes the strings' characters. */
    private static long internalAllocations() throws JMException {
        String summary = (String) ManagementFactory.getPlatformMBeanServer().invoke(
                new ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
                new Object[] {new String[] {"summary"}}, new String[] {String[].class.getName()});
        Matcher internal = Pattern
                .compile("- +Internal \\(reserved=[^)]*\\)\\s*"
                        + "\\(malloc=\\d+KB(?: tag=Internal)? #(\\d+)")
                .matcher(summary);
        if (!internal.find()) {
            throw new AssertionError("no Internal category in the native memory summary (is the "
                    + "JVM running with -XX:NativeMemoryTracking=summary?):\n" + summary);
        }
        return Long.parseLong(internal.group(1));
    }
}
