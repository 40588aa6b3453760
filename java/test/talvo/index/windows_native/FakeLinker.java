package talvo.index.windows_native;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;

/**
 * Stands in for the JVM's loading of libraries: records each file it is asked to load with the
 * SHA-256 the file has at that moment, and refuses files below the folders it is told to, as a
 * JVM refuses a library on a noexec mount.
 */
final class FakeLinker implements NativeLibraryLoader.Linker {
    record Load(Path file, String sha256) {}

    final List<Load> loads = new ArrayList<>();
    final List<String> loadedByName = new ArrayList<>();
    private final List<Path> refusedBelow = new ArrayList<>();
    private boolean onLibraryPath;

    FakeLinker refusingBelow(Path folder) {
        refusedBelow.add(folder.toAbsolutePath());
        return this;
    }

    /** System.loadLibrary succeeds, as if java.library.path held the library. */
    FakeLinker withLibraryOnLibraryPath() {
        onLibraryPath = true;
        return this;
    }

    @Override
    public void load(Path file) {
        for (Path folder : refusedBelow) {
            if (file.startsWith(folder)) {
                throw new UnsatisfiedLinkError(file + ": failed to map segment from shared object");
            }
        }
        loads.add(new Load(file, sha256(file)));
    }

    @Override
    public void loadLibrary(String name) {
        if (!onLibraryPath) {
            throw new UnsatisfiedLinkError("no " + name + " in java.library.path");
        }
        loadedByName.add(name);
    }

    Load onlyLoad() {
        if (loads.size() != 1) throw new AssertionError("expected one load, got " + loads);
        return loads.get(0);
    }

    static String sha256(Path file) {
        try {
            return HexFormat.of().formatHex(
                    LibraryCache.sha256().digest(Files.readAllBytes(file)));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }
}
