package talvo.index.windows_native;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;

/** A library file outside the jar, with the SHA-256 it had when it was first loaded. */
final class FileContent implements LibraryContent {
    private final Path file;
    private final String sha256;

    private FileContent(Path file, String sha256) {
        this.file = file;
        this.sha256 = sha256;
    }

    /** {@code file} as it is now. */
    static FileContent of(Path file) throws IOException {
        return new FileContent(file, LibraryCache.sha256Of(file));
    }

    Path file() {
        return file;
    }

    @Override
    public String fileName() {
        return file.getFileName().toString();
    }

    @Override
    public String sha256() {
        return sha256;
    }

    @Override
    public String describe() {
        return file.toString();
    }

    @Override
    public InputStream open() throws IOException {
        return Files.newInputStream(file);
    }
}
