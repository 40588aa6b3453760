package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Map;
import java.util.Set;

/**
 * Private folders by POSIX ownership and permissions. A folder of ours must belong to this user
 * and be writable by no one else; every folder above it must belong to this user or to root and
 * be writable by no one else unless its sticky bit is set (as on /tmp), since whoever can write a
 * folder can rename what it holds and put something else in its place.
 */
final class PosixPrivateFolders implements PrivateFolders {
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");
    private static final int TYPE_MASK = 0170000;
    private static final int DIRECTORY = 0040000;
    private static final int REGULAR_FILE = 0100000;
    private static final int STICKY = 01000;
    private static final int WRITABLE_BY_OTHERS = 0022;
    private static final int ANY_ACCESS_BY_OTHERS = 0077;
    private static final int ROOT = 0;

    private final int uid;

    PosixPrivateFolders(int uid) {
        this.uid = uid;
    }

    /** For the user this JVM runs as, whom Linux names as the owner of /proc/self. */
    static PrivateFolders ofThisProcess() {
        try {
            return new PosixPrivateFolders((Integer) Files.getAttribute(Paths.get("/proc/self"),
                    "unix:uid"));
        } catch (IOException | RuntimeException e) {
            return PrivateFolders.unusable("cannot tell which user runs this JVM: /proc/self: "
                    + NativeLibraryLoader.why(e));
        }
    }

    @Override
    public Path prepare(Path folder) throws IOException {
        Files.createDirectories(folder, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
        Path real = folder.toRealPath();
        Attributes own = Attributes.of(real);
        if (own.type() != DIRECTORY) throw new IOException(real + " is not a folder");
        if (own.uid() != uid) {
            throw new IOException(real + " belongs to another user (uid " + own.uid()
                    + "; this JVM runs as uid " + uid + ")");
        }
        if ((own.mode() & WRITABLE_BY_OTHERS) != 0) {
            throw new IOException(real + " can be written by other users (mode "
                    + own.permissions() + ")");
        }
        if ((own.mode() & ANY_ACCESS_BY_OTHERS) != 0) {
            Files.setPosixFilePermissions(real, OWNER_ONLY);
        }
        for (Path above = real.getParent(); above != null; above = above.getParent()) {
            Attributes parent = Attributes.of(above);
            if (parent.uid() != uid && parent.uid() != ROOT) {
                throw new IOException(above + " belongs to another user (uid " + parent.uid()
                        + "), who could replace " + real);
            }
            if ((parent.mode() & WRITABLE_BY_OTHERS) != 0 && (parent.mode() & STICKY) == 0) {
                throw new IOException(above + " can be written by other users (mode "
                        + parent.permissions() + "), who could replace " + real);
            }
        }
        return real;
    }

    @Override
    public boolean isOurs(Path file) throws IOException {
        Attributes attributes = Attributes.of(file);
        return attributes.type() == REGULAR_FILE && attributes.uid() == uid;
    }

    private static final class Attributes {
        private final int uid;
        private final int mode;

        private Attributes(int uid, int mode) {
            this.uid = uid;
            this.mode = mode;
        }

        int uid() {
            return uid;
        }

        int mode() {
            return mode;
        }

        static Attributes of(Path path) throws IOException {
            Map<String, Object> read =
                    Files.readAttributes(path, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
            return new Attributes((Integer) read.get("uid"), (Integer) read.get("mode"));
        }

        int type() {
            return mode & TYPE_MASK;
        }

        String permissions() {
            return String.format("%04o", mode & 07777);
        }
    }
}
