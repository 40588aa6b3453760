package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.FileSystems;
import java.nio.file.Path;
import java.util.Set;

/**
 * Folders that only the user running this JVM can write, and files that user made. A library is
 * loaded only from such a folder, so no other local user can put one of theirs where it is loaded
 * from, or swap it between its check and its load.
 */
interface PrivateFolders {
    /**
     * Creates {@code folder} (and its missing parents) for this user only, or checks that an
     * existing one is this user's and makes it private. Returns its real path.
     *
     * @throws IOException saying why the folder cannot be used
     */
    Path prepare(Path folder) throws IOException;

    /** Whether this user made {@code file}, which must not be a symbolic link. */
    boolean isOurs(Path file) throws IOException;

    /** For the default file system: POSIX permissions on Linux, access control lists on Windows. */
    static PrivateFolders ofThisSystem(Path temporaryFolder) {
        Set<String> views = FileSystems.getDefault().supportedFileAttributeViews();
        if (views.contains("unix")) return PosixPrivateFolders.ofThisProcess();
        if (views.contains("acl")) return AclPrivateFolders.ofThisProcess(temporaryFolder);
        return unusable("this system offers no way to keep other users out of a folder");
    }

    /** Refuses every folder, saying {@code why}. */
    static PrivateFolders unusable(String why) {
        return new PrivateFolders() {
            @Override
            public Path prepare(Path folder) throws IOException {
                throw new IOException(why);
            }

            @Override
            public boolean isOurs(Path file) {
                return false;
            }
        };
    }
}
