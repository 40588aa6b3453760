package talvo.index.windows_native;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static talvo.index.windows_native.WindowsFilesystemChangeMonitor.nativeInit;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Names outside ASCII reach the platform as the file names Java made. The JVM hands a character
 * outside the Basic Multilingual Plane to the library as two surrogate halves, which no file
 * name on disk is written with.
 */
class NonAsciiPathTest {
    @TempDir Path parent;
    private final NativeWaiter waiter = new NativeWaiter();

    @AfterEach
    void endWatch() throws InterruptedException {
        waiter.endWatch();
    }

    @Test
    void directoryNamedWithAccentsCjkAndAnEmojiCanBeWatched() throws Exception {
        assertEquals("UTF-8", System.getProperty("sun.jnu.encoding"),
                "run under a UTF-8 locale: Java maps file names through it");
        Path tree = Files.createDirectory(parent.resolve("café-東京-\uD83D\uDE00"));
        assertTrue(nativeInit(tree.toString()));
        waiter.begin();
        assertTrue(waiter.staysBlocked());
        Files.writeString(parent.resolve("outside"), "x");
        assertTrue(waiter.staysBlocked(), "a change beside the tree woke the wait");
        Files.writeString(tree.resolve("inside-ü"), "x");
        assertTrue(waiter.returns());
    }
}
