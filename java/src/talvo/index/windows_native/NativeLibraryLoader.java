package talvo.index.windows_native;

import java.io.File;
import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.function.Function;
import java.util.function.Supplier;

/**
 * Finds and loads the native library {@code windowsfscm}. The first of these that applies decides:
 *
 * <ol>
 *   <li>the file named by {@code -Dwindowsfscm.library}: that file only; if it cannot be loaded,
 *       nothing else is tried;
 *   <li>the copy the jar carries for this platform, extracted to the user's cache folder or,
 *       where that cannot be written or holds no loadable code, to a private folder in the
 *       temporary folder (see {@link ExtractionFolders} and {@link LibraryCache});
 *   <li>{@code System.loadLibrary("windowsfscm")}, from {@code java.library.path}.
 * </ol>
 *
 * When none works, one {@link UnsatisfiedLinkError} lists every attempt and why it failed; when
 * the JVM denies native access, one that says so and names the flag, and nothing else is tried.
 * Further copies of the library, for further watches, are made from what was loaded first.
 */
final class NativeLibraryLoader {
    static final String LIBRARY = "windowsfscm";
    static final String LIBRARY_PROPERTY = "windowsfscm.library";
    static final String CACHE_PROPERTY = "windowsfscm.cache";

    /** Loads library files into the JVM; {@link UnsatisfiedLinkError} when it cannot. */
    interface Linker {
        void load(Path file);

        void loadLibrary(String name);
    }

    /** The JVM's system properties, environment and C library, which tests replace. */
    static final class Host {
        private final Function<String, String> properties;
        private final Function<String, String> environment;
        private final Supplier<CLibrary> cLibrary;

        Host(Function<String, String> properties, Function<String, String> environment) {
            this(properties, environment, CLibrary::ofThisProcess);
        }

        Host(Function<String, String> properties, Function<String, String> environment,
                Supplier<CLibrary> cLibrary) {
            this.properties = properties;
            this.environment = environment;
            this.cLibrary = cLibrary;
        }

        static Host current() {
            return new Host(System::getProperty, System::getenv);
        }

        String property(String name) {
            return properties.apply(name);
        }

        Function<String, String> environment() {
            return environment;
        }

        CLibrary cLibrary() {
            return cLibrary.get();
        }
    }

    /** Reads the list of libraries the jar carries. */
    interface BundleSource {
        LibraryBundle read() throws IOException;
    }

    private final Host host;
    private final BundleSource bundleSource;
    private final Linker linker;
    private final Supplier<PrivateFolders> folders;
    private final Path mountinfo;

    /**
     * @param folders made only when a copy is extracted: on Windows, telling the user takes a
     *     file of its own
     */
    NativeLibraryLoader(Host host, BundleSource bundleSource, Linker linker,
            Supplier<PrivateFolders> folders, Path mountinfo) {
        this.host = host;
        this.bundleSource = bundleSource;
        this.linker = linker;
        this.folders = folders;
        this.mountinfo = mountinfo;
    }

    /** The loader of this JVM, for the library that {@code anchor}'s jar or module carries. */
    static NativeLibraryLoader ofThisJvm(Class<?> anchor) {
        Host host = Host.current();
        Linker system = new Linker() {
            @Override
            public void load(Path file) {
                NativeAccess.check(anchor, () -> WindowsFilesystemChangeMonitor.load(
                        file.toString()));
            }

            @Override
            public void loadLibrary(String name) {
                NativeAccess.check(anchor, () -> WindowsFilesystemChangeMonitor.loadLibrary(
                        name));
            }
        };
        return new NativeLibraryLoader(host, () -> LibraryBundle.of(anchor), system,
                () -> PrivateFolders.ofThisSystem(Paths.get(host.property("java.io.tmpdir"))),
                MountTable.OF_THIS_PROCESS);
    }

    /** The platform this JVM runs on, from os.name, os.arch and its C library. */
    Platform platform() {
        String osName = host.property("os.name");
        String cLibrary = Platform.of(osName, "").os().equals("linux")
                ? host.cLibrary().name() : Platform.GLIBC;
        return Platform.of(osName, host.property("os.arch"), cLibrary);
    }

    /** Loads the library, or throws one error that says what was tried and why each failed. */
    LoadedLibrary load() {
        Platform platform = platform();
        List<String> attempts = new ArrayList<>();
        String named = host.property(LIBRARY_PROPERTY);
        if (named != null) {
            LoadedLibrary loaded = loadNamed(named, platform, attempts);
            if (loaded != null) return loaded;
            throw failure(platform, attempts);
        }
        LoadedLibrary loaded = loadFromJar(platform, attempts);
        if (loaded == null) loaded = loadFromLibraryPath(platform, attempts);
        if (loaded == null) throw failure(platform, attempts);
        return loaded;
    }

    private LoadedLibrary loadNamed(String named, Platform platform, List<String> attempts) {
        String attempt = "-D" + LIBRARY_PROPERTY + "=" + named + ": ";
        if (named.trim().isEmpty()) {
            attempts.add(attempt + "names no file");
            return null;
        }
        Path file;
        try {
            file = Paths.get(named).toAbsolutePath();
        } catch (InvalidPathException e) {
            attempts.add(attempt + "not a file name (" + e.getReason() + ")");
            return null;
        }
        String unusable = unusableFile(file, platform);
        if (unusable != null) {
            attempts.add(attempt + unusable);
            return null;
        }
        try {
            LibraryContent content = contentOf(file);
            linker.load(file);
            return new LoadedLibrary(file, "named by -D" + LIBRARY_PROPERTY, content, null);
        } catch (NativeAccess.Denied e) {
            throw e;
        } catch (UnsatisfiedLinkError e) {
            attempts.add(attempt + "the JVM could not load it: " + e.getMessage());
            return null;
        }
    }

    // What further copies are made of: the file as it is when it is loaded first.
    private static LibraryContent contentOf(Path file) {
        try {
            return FileContent.of(file);
        } catch (IOException e) {
            return null;
        }
    }

    // Why the file cannot be this JVM's library, or null when it may be.
    private String unusableFile(Path file, Platform platform) {
        if (!Files.exists(file)) return "no such file";
        if (Files.isDirectory(file)) return "a folder, not a library file";
        try {
            if (Files.size(file) == 0) return "an empty file, not a library";
            LibraryHeader header = LibraryHeader.read(file);
            if (header == null) {
                return "not a native library: it has no ELF, PE or Mach-O header";
            }
            return mismatch(header, platform);
        } catch (IOException e) {
            return "cannot be read: " + why(e);
        }
    }

    private String mismatch(LibraryHeader header, Platform platform) {
        LibraryHeader needed = LibraryHeader.expectedFor(platform,
                host.property("sun.arch.data.model"));
        if (header.suits(needed)) return null;
        return "it is " + header.describe() + ", but this JVM (" + platform.name()
                + ") needs " + needed.describe();
    }

    private LoadedLibrary loadFromJar(Platform platform, List<String> attempts) {
        LibraryBundle bundle;
        try {
            bundle = bundleSource.read();
        } catch (IOException e) {
            attempts.add("the jar's copy for " + platform.name()
                    + ": cannot read the jar's list of libraries: " + why(e));
            return null;
        }
        String copyOf = "the " + bundle.holder() + "'s copy for " + platform.name();
        String attempt = copyOf + ": ";
        LibraryBundle.Carried carried = bundle.forPlatform(platform.name());
        if (carried == null) {
            attempts.add(attempt + "the " + bundle.holder() + " (" + bundle.origin()
                    + ") carries none");
            return null;
        }
        List<String> failures = new ArrayList<>();
        LibraryCache cache = new LibraryCache(folders.get());
        for (ExtractionFolders.Folder folder : ExtractionFolders.of(host, platform)) {
            String where = "in the " + folder.role() + " " + folder.describe();
            if (folder.path() == null) {
                failures.add(where + ": " + folder.missing());
                continue;
            }
            Path copy = null;
            try {
                copy = cache.provide(folder.path(), carried);
                String noexec = MountTable.noexecMountHolding(mountinfo, copy);
                if (noexec != null) {
                    failures.add(where + ": " + noexecReason(noexec));
                    continue;
                }
                linker.load(copy);
                return new LoadedLibrary(copy, copyOf + ", extracted to the " + folder.role()
                        + " from " + bundle.origin(),
                        carried, folder.path());
            } catch (IOException | RuntimeException e) {
                // Whatever went wrong in this folder, the next one may still serve.
                failures.add(where + ": " + why(e));
            } catch (NativeAccess.Denied e) {
                throw e;
            } catch (UnsatisfiedLinkError e) {
                failures.add(where + ": the JVM could not load " + copy + ": " + e.getMessage()
                        + explainRefusal(copy, platform));
            }
        }
        attempts.add(attempt + String.join("; ", failures));
        return null;
    }

    private static String noexecReason(String mountPoint) {
        return "its file system (" + mountPoint
                + ") is mounted noexec, so no library there can be loaded";
    }

    private LoadedLibrary loadFromLibraryPath(Platform platform, List<String> attempts) {
        String path = host.property("java.library.path");
        String attempt = "java.library.path (" + path + "): ";
        Path found = findOnLibraryPath(path, platform);
        try {
            linker.loadLibrary(LIBRARY);
            return new LoadedLibrary(found, "System.loadLibrary from java.library.path",
                    found == null ? null : contentOf(found), null);
        } catch (NativeAccess.Denied e) {
            throw e;
        } catch (UnsatisfiedLinkError e) {
            if (found == null) {
                attempts.add(attempt + "no " + platform.libraryFileName(LIBRARY) + " in it");
            } else {
                attempts.add(attempt + "the JVM could not load " + found + ": " + e.getMessage()
                        + explainRefusal(found, platform));
            }
            return null;
        }
    }

    private static Path findOnLibraryPath(String path, Platform platform) {
        if (path == null) return null;
        for (String folder : path.split(File.pathSeparator)) {
            if (folder.isEmpty()) continue;
            try {
                Path candidate = Paths.get(folder, platform.libraryFileName(LIBRARY));
                if (Files.isRegularFile(candidate)) return candidate.toAbsolutePath();
            } catch (InvalidPathException skipped) {
                // The JVM skips such a folder as well.
            }
        }
        return null;
    }

    /**
     * A checked copy of the library {@code first}, number {@code copy} (2 and up), for a further
     * watch: beside the first where the jar's copy was extracted, else in the first extraction
     * folder that serves. The caller loads it.
     *
     * @throws IOException saying why no copy could be made
     */
    Path provideCopy(LoadedLibrary first, int copy) throws IOException {
        LibraryContent content = first.content();
        if (content == null) {
            throw new IOException("no copy can be made of the library " + first
                    + ": its file could not be found or read");
        }
        Platform platform = platform();
        String fileName = copyFileName(platform, copy, content.fileName());
        List<ExtractionFolders.Folder> candidates = first.folder() != null
                ? Collections.singletonList(
                        new ExtractionFolders.Folder("folder", first.folder(), null))
                : ExtractionFolders.of(host, platform);
        List<String> failures = new ArrayList<>();
        LibraryCache cache = new LibraryCache(folders.get());
        for (ExtractionFolders.Folder folder : candidates) {
            String where = "in the " + folder.role() + " " + folder.describe();
            if (folder.path() == null) {
                failures.add(where + ": " + folder.missing());
                continue;
            }
            try {
                Path made = cache.provide(folder.path(), content, copy, fileName);
                String noexec = MountTable.noexecMountHolding(mountinfo, made);
                if (noexec == null) return made;
                failures.add(where + ": " + noexecReason(noexec));
            } catch (IOException | RuntimeException e) {
                failures.add(where + ": " + why(e));
            }
        }
        throw new IOException("cannot make copy " + copy + " of " + content.describe()
                + " for a further watch: " + String.join("; ", failures));
    }

    // Windows may take a DLL that is loaded already for another of the same module name, so
    // there each copy has a name of its own as well as a folder.
    private static String copyFileName(Platform platform, int copy, String fileName) {
        if (!platform.isWindows() || copy == 1) return fileName;
        int dot = fileName.lastIndexOf('.');
        return fileName.substring(0, dot) + "-" + copy + fileName.substring(dot);
    }

    // The JVM's own words for a file of the wrong kind are terse; the header says it plainly.
    private String explainRefusal(Path file, Platform platform) {
        String unusable = unusableFile(file, platform);
        return unusable == null ? "" : " (" + unusable + ")";
    }

    /** This JVM's platform and the properties it was told by. */
    String describeJvm() {
        return platform().name() + " (os.name " + host.property("os.name") + ", os.arch "
                + host.property("os.arch") + ", sun.arch.data.model "
                + host.property("sun.arch.data.model") + ")";
    }

    /** The C library this JVM runs on and why it is thought so, on Linux; null elsewhere. */
    CLibrary cLibrary() {
        return platform().os().equals("linux") ? host.cLibrary() : null;
    }

    private UnsatisfiedLinkError failure(Platform platform, List<String> attempts) {
        StringBuilder message = new StringBuilder("cannot load the native library " + LIBRARY
                + " for " + describeJvm() + "; " + carriedPlatforms() + ". Tried:");
        for (int i = 0; i < attempts.size(); ++i) {
            message.append("\n  ").append(i + 1).append(". ").append(attempts.get(i));
        }
        return new UnsatisfiedLinkError(message.toString());
    }

    /** The platforms the jar carries, in words. */
    String carriedPlatforms() {
        try {
            LibraryBundle bundle = bundleSource.read();
            List<String> platforms = bundle.platforms();
            return "the " + bundle.holder() + " (" + bundle.origin() + ") carries "
                    + (platforms.isEmpty() ? "no libraries" : String.join(", ", platforms));
        } catch (IOException e) {
            return "the jar's list of libraries cannot be read: " + why(e);
        }
    }

    /** An I/O failure in plain words, with the file it concerns. */
    static String why(Exception failure) {
        if (failure instanceof FileSystemException && ((FileSystemException) failure).getFile()
                != null) {
            FileSystemException e = (FileSystemException) failure;
            String reason = e.getReason();
            if (reason == null) {
                if (e instanceof AccessDeniedException) reason = "permission denied";
                else if (e instanceof NoSuchFileException) reason = "no such file or folder";
                else if (e instanceof FileAlreadyExistsException) reason = "already exists";
                else if (e instanceof NotDirectoryException) reason = "not a folder";
                else reason = e.getClass().getSimpleName();
            }
            return e.getFile() + (e.getOtherFile() == null ? "" : " -> " + e.getOtherFile())
                    + ": " + reason;
        }
        return failure.getMessage() == null ? failure.toString() : failure.getMessage();
    }
}
