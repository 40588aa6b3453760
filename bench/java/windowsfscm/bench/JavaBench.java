package windowsfscm.bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;
import talvo.index.windows_native.WindowsFilesystemChangeMonitor;

/**
 * The Java peers of the benchmarks: our library's Java API and the JDK's WatchService; and
 * several watches of ours open at once.
 *
 * <pre>
 * latency ours|watchservice ROOT PROBE_DIR ROUNDS SAMPLES
 *     setup rounds, then wake samples; prints the raw samples as JSON
 * cold ours|watchservice ROOT
 *     one setup with no warm-up, for the harness to run once it has dropped the page cache
 * serve ours|watchservice ROOT
 *     prints "ready" once the tree is watched, counts the callbacks, answers each "count" line
 *     on standard input with "count N", and ends the watch at the end of its input
 * several ROOT...
 *     opens watches one more at a time, the Nth on the Nth ROOT, as standard input asks (see
 *     SeveralWatches)
 * </pre>
 */
public final class JavaBench {
    private static final int WARM_UP_SAMPLES = 50;
    // The JIT compiles what the setup rounds ran for a while after them, on the same two CPUs.
    private static final long SETTLE_MILLIS = 1000;

    private JavaBench() {}

    public static void main(String[] args) throws Exception {
        if (args.length == 6 && args[0].equals("latency")) {
            latency(subject(args[1]), Path.of(args[2]), Path.of(args[3]),
                    Integer.parseInt(args[4]), Integer.parseInt(args[5]));
        } else if (args.length == 3 && args[0].equals("cold")) {
            System.out.println("{\"setup_ms\": [" + setupMillis(subject(args[1]), Path.of(args[2]))
                    + "]}");
        } else if (args.length == 3 && args[0].equals("serve")) {
            serve(subject(args[1]), Path.of(args[2]));
        } else if (args.length >= 2 && args[0].equals("several")) {
            List<Path> roots = new ArrayList<>();
            for (int i = 1; i < args.length; ++i) roots.add(Path.of(args[i]));
            SeveralWatches.run(roots);
        } else {
            System.err.println("usage: latency ours|watchservice ROOT PROBE_DIR ROUNDS SAMPLES"
                    + " | cold ours|watchservice ROOT | serve ours|watchservice ROOT"
                    + " | several ROOT...");
            System.exit(2);
        }
    }

    /** A way for a Java program to be called back after each change anywhere in a tree. */
    @FunctionalInterface
    private interface Subject {
        /** Watches the whole tree; returns once every directory is watched. Closing the result
         * ends the watch and waits until its thread has ended. */
        AutoCloseable open(Path root, Runnable onChange) throws IOException;
    }

    private static Subject subject(String name) {
        return name.equals("ours") ? WindowsFilesystemChangeMonitor::watch
                                   : WatchServiceSubject::open;
    }

    private static void latency(Subject subject, Path root, Path probe, int rounds, int samples)
            throws Exception {
        List<Double> setups = new ArrayList<>();
        // Round 0 only warms the caches and the JIT.
        for (int round = 0; round <= rounds; ++round) {
            double setup = setupMillis(subject, root);
            if (round > 0) setups.add(setup);
        }
        WakeProbe probeThread = new WakeProbe();
        AutoCloseable watch = subject.open(root, probeThread::onChange);
        Thread.sleep(SETTLE_MILLIS);
        List<Double> wakes = probeThread.measure(probe, WARM_UP_SAMPLES, samples, 3);
        watch.close();
        System.out.println("{\"setup_ms\": " + setups + ", \"wake_us\": " + wakes + "}");
    }

    /** Opens a watch with no callback and closes it; returns how long the open took. */
    private static double setupMillis(Subject subject, Path root) throws Exception {
        long start = System.nanoTime();
        AutoCloseable watch = subject.open(root, () -> {});
        long watched = System.nanoTime();
        watch.close();
        return (watched - start) / 1e6;
    }

    private static void serve(Subject subject, Path root) throws Exception {
        AtomicLong calls = new AtomicLong();
        AutoCloseable watch = subject.open(root, calls::incrementAndGet);
        System.out.println("ready");
        System.out.flush();
        BufferedReader input =
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        for (String line; (line = input.readLine()) != null;) {
            if (line.equals("count")) System.out.println("count " + calls.get());
            System.out.flush();
        }
        watch.close();
    }
}
