package windowsfscm.bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryPoolMXBean;
import java.lang.management.MemoryUsage;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import talvo.index.windows_native.Watch;
import talvo.index.windows_native.WindowsFilesystemChangeMonitor;

/**
 * Several watches open at once in one JVM, each opened when the harness asks, so that it can read
 * the process's memory between them; the Nth watch open watches the Nth of the trees it is given.
 * Prints "ready" with the class that opens watches loaded and no watch open, then answers each
 * line of standard input with one line of JSON:
 *
 * <pre>
 * open      one more watch, kept open: {"open_ms": T}
 * reopen    the watch opened last closed, and another opened in its place on the copy of the
 *           library it leaves: {"close_ms": T, "open_ms": T}
 * memory    after a full collection: {"heap_live": B, "metaspace_used": B,
 *           "metaspace_committed": B}
 * </pre>
 *
 * At the end of its input it closes every watch, first opened first, and prints
 * {"close_ms": [T, ...]}.
 */
final class SeveralWatches {
    private final List<Path> roots;
    private final List<Watch> open = new ArrayList<>();

    private SeveralWatches(List<Path> roots) {
        this.roots = roots;
    }

    static void run(List<Path> roots) throws IOException {
        // Initialized, as a program that is about to watch has it; nothing is loaded until the
        // first watch.
        try {
            Class.forName(WindowsFilesystemChangeMonitor.class.getName(), true,
                    SeveralWatches.class.getClassLoader());
        } catch (ClassNotFoundException impossible) {
            throw new IllegalStateException(impossible);
        }
        new SeveralWatches(roots).answer();
    }

    private void answer() throws IOException {
        System.out.println("ready");
        System.out.flush();
        BufferedReader input =
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        for (String line; (line = input.readLine()) != null;) {
            switch (line) {
                case "open":
                    System.out.println("{\"open_ms\": " + openOne() + "}");
                    break;
                case "reopen":
                    double closed = closeMillis(open.remove(open.size() - 1));
                    System.out.println("{\"close_ms\": " + closed + ", \"open_ms\": " + openOne()
                            + "}");
                    break;
                case "memory":
                    System.out.println(memory());
                    break;
                default:
                    throw new IllegalArgumentException("unknown request: " + line);
            }
            System.out.flush();
        }
        List<Double> closes = new ArrayList<>();
        for (Watch watch : open) closes.add(closeMillis(watch));
        System.out.println("{\"close_ms\": " + closes + "}");
    }

    private double openOne() throws IOException {
        long start = System.nanoTime();
        Watch watch = WindowsFilesystemChangeMonitor.watch(roots.get(open.size()), () -> {});
        long watched = System.nanoTime();
        open.add(watch);
        return (watched - start) / 1e6;
    }

    private static double closeMillis(Watch watch) {
        long start = System.nanoTime();
        watch.close();
        return (System.nanoTime() - start) / 1e6;
    }

    // The Java heap's live objects and the class metadata, which the process's resident size
    // includes without telling them apart.
    private static String memory() {
        System.gc();
        long heap = ManagementFactory.getMemoryMXBean().getHeapMemoryUsage().getUsed();
        long used = 0;
        long committed = 0;
        for (MemoryPoolMXBean pool : ManagementFactory.getMemoryPoolMXBeans()) {
            if (!pool.getName().equals("Metaspace")) continue;
            MemoryUsage usage = pool.getUsage();
            used = usage.getUsed();
            committed = usage.getCommitted();
        }
        return "{\"heap_live\": " + heap + ", \"metaspace_used\": " + used
                + ", \"metaspace_committed\": " + committed + "}";
    }
}
