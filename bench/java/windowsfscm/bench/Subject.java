package windowsfscm.bench;

import java.io.IOException;
import java.nio.file.Path;

/** A way for a Java program to be called back after each change anywhere in a tree. */
interface Subject {
    /** Watches the whole tree at {@code root}; returns once every directory is watched. */
    void open(Path root, Runnable onChange) throws IOException;

    /** Ends the watch and waits until its thread has ended. */
    void close() throws IOException, InterruptedException;
}
