package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.UserPrincipal;
import java.util.Collections;
import java.util.EnumSet;
import java.util.List;

/**
 * Private folders by Windows access control lists. A folder of ours must belong to this user; its
 * list is then replaced by one entry that gives this user full control, inherited by what the
 * folder holds, so no other user can write it whatever it inherited from above.
 */
final class AclPrivateFolders implements PrivateFolders {
    private final UserPrincipal user;

    AclPrivateFolders(UserPrincipal user) {
        this.user = user;
    }

    /**
     * For the user this JVM runs as, taken as the owner of a file it creates: that is also the
     * owner its folders get, which for an elevated administrator may be the Administrators group.
     */
    static PrivateFolders ofThisProcess(Path temporaryFolder) {
        try {
            Path probe = Files.createTempFile(temporaryFolder, "windowsfscm-", ".owner");
            try {
                return new AclPrivateFolders(Files.getOwner(probe, LinkOption.NOFOLLOW_LINKS));
            } finally {
                Files.delete(probe);
            }
        } catch (IOException | RuntimeException e) {
            return PrivateFolders.unusable("cannot tell which user runs this JVM: "
                    + NativeLibraryLoader.why(e));
        }
    }

    @Override
    public Path prepare(Path folder) throws IOException {
        Files.createDirectories(folder);
        Path real = folder.toRealPath();
        if (!Files.isDirectory(real, LinkOption.NOFOLLOW_LINKS)) {
            throw new IOException(real + " is not a folder");
        }
        UserPrincipal owner = Files.getOwner(real, LinkOption.NOFOLLOW_LINKS);
        if (!owner.equals(user)) {
            throw new IOException(real + " belongs to another user (" + owner.getName()
                    + "; this JVM runs as " + user.getName() + ")");
        }
        AclFileAttributeView acl = Files.getFileAttributeView(real, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        List<AclEntry> ownerOnly = Collections.singletonList(AclEntry.newBuilder()
                .setType(AclEntryType.ALLOW)
                .setPrincipal(user)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT)
                .build());
        if (!acl.getAcl().equals(ownerOnly)) acl.setAcl(ownerOnly);
        return real;
    }

    @Override
    public boolean isOurs(Path file) throws IOException {
        return Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)
                && Files.getOwner(file, LinkOption.NOFOLLOW_LINKS).equals(user);
    }
}
