package windowsfscm.bench;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;

/**
 * Wake latency from Java: this thread appends a byte to a file while the subject's own thread is
 * blocked, and a sample runs from just before the write to the subject's callback.
 */
final class WakeProbe {
    private final Object lock = new Object();
    private long calls;
    private long calledAt;

    /** The subject's callback. */
    void onChange() {
        long now = System.nanoTime();
        synchronized (lock) {
            calledAt = now;
            ++calls;
            lock.notifyAll();
        }
    }

    /** Takes {@code warmUp} samples for the JIT and returns the next {@code samples}, in us. */
    List<Double> measure(Path directory, int warmUp, int samples, int gapMillis)
            throws IOException, InterruptedException {
        Path file = directory.resolve("latency-probe");
        List<Double> latencies = new ArrayList<>();
        ByteBuffer oneByte = ByteBuffer.allocateDirect(1);
        try (FileChannel channel = FileChannel.open(file, StandardOpenOption.CREATE,
                     StandardOpenOption.WRITE, StandardOpenOption.APPEND)) {
            for (int i = 0; i <= warmUp + samples; ++i) {
                Thread.sleep(gapMillis);
                long before;
                synchronized (lock) {
                    before = calls;
                }
                oneByte.clear().put((byte) 'x').flip();
                long writtenAt = System.nanoTime();
                channel.write(oneByte);
                synchronized (lock) {
                    while (calls == before) lock.wait();
                    if (i > warmUp) latencies.add((calledAt - writtenAt) / 1000.0);
                }
            }
        } finally {
            Files.deleteIfExists(file);
        }
        return latencies;
    }
}
