package talvo.index.windows_native;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/** The jar the build made, and JVMs started as programs of their own, on it or on the tests. */
final class JarRunner {
    /** How long a JVM that must end may take: generous, never a speed requirement. */
    static final long ENDS_WITHIN_SECONDS = 120;

    private JarRunner() {}

    /** windowsfscm.jar with every platform the build packs. */
    static Path fullJar() {
        return Path.of(requiredProperty("windowsfscm.test.jar"));
    }

    /** The platforms the build was configured to pack into the jar. */
    static List<String> platforms() {
        return Arrays.asList(requiredProperty("windowsfscm.test.platforms").split(","));
    }

    static String requiredProperty(String name) {
        String value = System.getProperty(name);
        if (value == null) throw new AssertionError("run the tests with -D" + name);
        return value;
    }

    static String java() {
        return Path.of(System.getProperty("java.home"), "bin", "java").toString();
    }

    /**
     * The option a JVM started on the class path needs to load the library without a warning:
     * on JDK 24 and later native access is given only where asked for; older ones need nothing,
     * and 8 and 11 would not start with it.
     */
    static List<String> nativeAccess() {
        return Runtime.version().feature() >= 24
                ? List.of("--enable-native-access=ALL-UNNAMED") : List.of();
    }

    /**
     * Starts {@code java ARGUMENTS} in {@code directory}. The variables in {@code environment}
     * are set, those mapped to the empty string removed.
     */
    static Process start(Path directory, Map<String, String> environment, List<String> arguments)
            throws IOException {
        List<String> line = new ArrayList<>(List.of(java()));
        line.addAll(arguments);
        ProcessBuilder builder = new ProcessBuilder(line).directory(directory.toFile());
        environment.forEach((name, value) -> {
            if (value.isEmpty()) builder.environment().remove(name);
            else builder.environment().put(name, value);
        });
        return builder.start();
    }

    record Finished(int status, String out, String err) {
        @Override
        public String toString() {
            return "exit status " + status + "\nout:\n" + out + "\nerr:\n" + err;
        }
    }

    /** Runs {@code java ARGUMENTS} to its end, its output kept in files so it never blocks. */
    static Finished run(Path directory, Map<String, String> environment, List<String> arguments)
            throws IOException, InterruptedException {
        List<String> line = new ArrayList<>(List.of(java()));
        line.addAll(arguments);
        return runCommand(directory, environment, line);
    }

    /** Runs {@code command} to its end, its output kept in files so it never blocks. */
    static Finished runCommand(Path directory, Map<String, String> environment,
            List<String> command) throws IOException, InterruptedException {
        Path out = Files.createTempFile("windowsfscm-test-", ".out");
        Path err = Files.createTempFile("windowsfscm-test-", ".err");
        try {
            ProcessBuilder builder = new ProcessBuilder(command).directory(directory.toFile())
                    .redirectOutput(out.toFile()).redirectError(err.toFile());
            environment.forEach((name, value) -> {
                if (value.isEmpty()) builder.environment().remove(name);
                else builder.environment().put(name, value);
            });
            Process process = builder.start();
            if (!process.waitFor(ENDS_WITHIN_SECONDS, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                throw new AssertionError(command + " did not end");
            }
            return new Finished(process.exitValue(), Files.readString(out), Files.readString(err));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    /** The lines a process prints, as they come. */
    static BlockingQueue<String> linesOf(Process process) {
        BlockingQueue<String> lines = new LinkedBlockingQueue<>();
        Thread reader = new Thread(() -> {
            try (BufferedReader out = new BufferedReader(
                    new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
                for (String line; (line = out.readLine()) != null; ) lines.add(line);
            } catch (IOException e) {
                lines.add("reading the output failed: " + e);
            }
        });
        reader.setDaemon(true);
        reader.start();
        return lines;
    }
}
