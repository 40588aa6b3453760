package talvo.index.windows_native;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Collections;
import java.util.HashSet;
import java.util.Set;

/**
 * Copies of a library in a private folder, shared by every JVM of the user:
 * {@code FOLDER/SHA-256/libwindowsfscm.so}, and the further copies that a JVM with several watches
 * loads beside it, each in a folder of its own: {@code FOLDER/SHA-256/copy-2/...}. A copy is
 * written under a temporary name, checked against the library's SHA-256 and renamed into place,
 * all while holding {@code FOLDER/SHA-256/.lock}, so JVMs starting together make one copy between
 * them. An existing copy is used only after its SHA-256 checks out; otherwise it is replaced. A
 * copy is never deleted: another JVM may have it loaded, and the next JVM of the same library uses
 * it again, so nothing piles up.
 */
final class LibraryCache {
    static final String LOCK = ".lock";
    static final String COPY_FOLDER_PREFIX = "copy-";
    private static final String PARTIAL = ".part";
    private static final char[] HEX = "0123456789abcdef".toCharArray();
    // File locks belong to the whole JVM, so its own threads take turns here first.
    private static final Object IN_THIS_JVM = new Object();

    private final PrivateFolders folders;

    LibraryCache(PrivateFolders folders) {
        this.folders = folders;
    }

    /** A checked copy of {@code library} in {@code folder}, made if needed. */
    Path provide(Path folder, LibraryContent library) throws IOException {
        return provide(folder, library, 1, library.fileName());
    }

    /**
     * Copy number {@code copy} of {@code library} in {@code folder}, named {@code fileName}, made
     * if needed: the first is the library's own, each further one sits in a folder of its own.
     */
    Path provide(Path folder, LibraryContent library, int copy, String fileName)
            throws IOException {
        Path versions = folders.prepare(folder);
        Path home = folders.prepare(versions.resolve(library.sha256()));
        Path below = copy == 1 ? home : folders.prepare(home.resolve(COPY_FOLDER_PREFIX + copy));
        synchronized (IN_THIS_JVM) {
            // Closing the file releases the lock, also when this JVM dies holding it.
            try (FileChannel lockFile = FileChannel.open(home.resolve(LOCK),
                    StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                    LinkOption.NOFOLLOW_LINKS)) {
                lockFile.lock();
                Path target = below.resolve(fileName);
                removePartialCopies(below, fileName);
                if (!isIntact(target, library)) write(target, library);
                return target;
            } catch (OverlappingFileLockException e) {
                throw new IOException("another class loader of this JVM holds "
                        + home.resolve(LOCK), e);
            }
        }
    }

    private boolean isIntact(Path copy, LibraryContent library) throws IOException {
        if (!Files.exists(copy, LinkOption.NOFOLLOW_LINKS) || !folders.isOurs(copy)) return false;
        return sha256Of(copy, LinkOption.NOFOLLOW_LINKS).equals(library.sha256());
    }

    // Always a new file with bytes of its own: a link to another copy would be the same file to
    // the system's loader, which loads one file once however many names it has.
    private static void write(Path copy, LibraryContent library) throws IOException {
        String name = copy.getFileName().toString();
        Path partial = Files.createTempFile(copy.getParent(), "." + name + ".", PARTIAL);
        try {
            MessageDigest digest = sha256();
            try (InputStream in = library.open();
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
            String written = hex(digest.digest());
            if (!written.equals(library.sha256())) {
                throw new IOException(library.describe() + " is damaged or changed: its SHA-256 "
                        + "is " + written + ", where " + library.sha256() + " was expected");
            }
            Files.move(partial, copy, StandardCopyOption.ATOMIC_MOVE,
                    StandardCopyOption.REPLACE_EXISTING);
        } finally {
            Files.deleteIfExists(partial);
        }
    }

    // Left by a JVM that ended while writing: with the lock held, no one else is writing now.
    private static void removePartialCopies(Path folder, String fileName) throws IOException {
        try (DirectoryStream<Path> partials =
                     Files.newDirectoryStream(folder, "." + fileName + ".*" + PARTIAL)) {
            for (Path partial : partials) Files.deleteIfExists(partial);
        }
    }

    /** The SHA-256 of {@code file}'s bytes, in lower-case hexadecimal. */
    static String sha256Of(Path file, LinkOption... options) throws IOException {
        MessageDigest digest = sha256();
        try (FileChannel in = FileChannel.open(file, openForReading(options))) {
            ByteBuffer buffer = ByteBuffer.allocate(64 * 1024);
            while (in.read(buffer) >= 0) {
                buffer.flip();
                digest.update(buffer);
                buffer.clear();
            }
        }
        return hex(digest.digest());
    }

    private static Set<OpenOption> openForReading(LinkOption... options) {
        Set<OpenOption> open = new HashSet<>();
        open.add(StandardOpenOption.READ);
        Collections.addAll(open, options);
        return open;
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    /** {@code bytes} in lower-case hexadecimal. */
    static String hex(byte[] bytes) {
        char[] text = new char[bytes.length * 2];
        for (int i = 0; i < bytes.length; ++i) {
            text[2 * i] = HEX[(bytes[i] >> 4) & 0xf];
            text[2 * i + 1] = HEX[bytes[i] & 0xf];
        }
        return new String(text);
    }
}
