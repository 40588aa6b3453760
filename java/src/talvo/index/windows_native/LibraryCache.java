package talvo.index.windows_native;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.HexFormat;

/**
 * Copies of the jar's libraries in a private folder, shared by every JVM of the user:
 * {@code FOLDER/SHA-256/libwindowsfscm.so}. A copy is written under a temporary name, checked
 * against the jar's SHA-256 and renamed into place, all while holding {@code FOLDER/SHA-256/.lock},
 * so JVMs starting together make one copy between them. An existing copy is used only after its
 * SHA-256 checks out; otherwise it is replaced. A copy is never deleted: another JVM may have it
 * loaded, and the next JVM of the same jar uses it again, so nothing piles up.
 */
final class LibraryCache {
    static final String LOCK = ".lock";
    private static final String PARTIAL = ".part";
    // File locks belong to the whole JVM, so its own threads take turns here first.
    private static final Object IN_THIS_JVM = new Object();

    private final PrivateFolders folders;

    LibraryCache(PrivateFolders folders) {
        this.folders = folders;
    }

    /** A checked copy of {@code library} in {@code folder}, made if needed. */
    Path provide(Path folder, LibraryBundle bundle, LibraryBundle.Carried library)
            throws IOException {
        Path versions = folders.prepare(folder);
        Path home = folders.prepare(versions.resolve(library.sha256()));
        synchronized (IN_THIS_JVM) {
            // Closing the file releases the lock, also when this JVM dies holding it.
            try (FileChannel lockFile = FileChannel.open(home.resolve(LOCK),
                    StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                    LinkOption.NOFOLLOW_LINKS)) {
                lockFile.lock();
                Path copy = home.resolve(library.fileName());
                removePartialCopies(home, library);
                if (!isIntact(copy, library)) write(copy, bundle, library);
                return copy;
            } catch (OverlappingFileLockException e) {
                throw new IOException("another class loader of this JVM holds "
                        + home.resolve(LOCK), e);
            }
        }
    }

    private boolean isIntact(Path copy, LibraryBundle.Carried library) throws IOException {
        if (!Files.exists(copy, LinkOption.NOFOLLOW_LINKS) || !folders.isOurs(copy)) return false;
        MessageDigest digest = sha256();
        try (FileChannel in = FileChannel.open(copy, StandardOpenOption.READ,
                LinkOption.NOFOLLOW_LINKS)) {
            ByteBuffer buffer = ByteBuffer.allocate(64 * 1024);
            while (in.read(buffer) >= 0) {
                digest.update(buffer.flip());
                buffer.clear();
            }
        }
        return HexFormat.of().formatHex(digest.digest()).equals(library.sha256());
    }

    private static void write(Path copy, LibraryBundle bundle, LibraryBundle.Carried library)
            throws IOException {
        Path partial = Files.createTempFile(copy.getParent(), "." + library.fileName() + ".",
                PARTIAL);
        try {
            MessageDigest digest = sha256();
            try (InputStream in = bundle.open(library);
                 FileChannel out = FileChannel.open(partial, StandardOpenOption.WRITE)) {
                byte[] chunk = new byte[64 * 1024];
                for (int read; (read = in.read(chunk)) >= 0; ) {
                    digest.update(chunk, 0, read);
                    ByteBuffer pending = ByteBuffer.wrap(chunk, 0, read);
                    while (pending.hasRemaining()) out.write(pending);
                }
                // On disk before the rename, so a crash cannot leave a short copy in place.
                out.force(true);
            }
            String written = HexFormat.of().formatHex(digest.digest());
            if (!written.equals(library.sha256())) {
                throw new IOException("the jar's " + library.resource() + " is damaged: its "
                        + "SHA-256 is " + written + ", the jar lists " + library.sha256());
            }
            Files.move(partial, copy, StandardCopyOption.ATOMIC_MOVE,
                    StandardCopyOption.REPLACE_EXISTING);
        } finally {
            Files.deleteIfExists(partial);
        }
    }

    // Left by a JVM that ended while writing: with the lock held, no one else is writing now.
    private static void removePartialCopies(Path home, LibraryBundle.Carried library)
            throws IOException {
        try (DirectoryStream<Path> partials =
                     Files.newDirectoryStream(home, "." + library.fileName() + ".*" + PARTIAL)) {
            for (Path partial : partials) Files.deleteIfExists(partial);
        }
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }
}
