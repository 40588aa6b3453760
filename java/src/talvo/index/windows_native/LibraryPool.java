package talvo.index.windows_native;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Supplier;

/**
 * The loaded copies of the library, one for each watch open at once, since the library keeps one
 * watch per loaded copy. The first is the library as the loader finds it, bound to
 * {@link WindowsFilesystemChangeMonitor} itself; each further one is a copy of that file, in a
 * folder of its own beside it, bound to a copy of the class that a class loader of its own
 * defines. A copy whose watch has ended serves the next watch, so there are never more copies than
 * the most watches open at once. Nothing is ever unloaded: a copy stays reachable from here, so its
 * class loader, and with it the library, lives as long as the JVM.
 */
final class LibraryPool {
    private static final LibraryPool OF_THIS_JVM = new LibraryPool(
            () -> NativeLibraryLoader.ofThisJvm(WindowsFilesystemChangeMonitor.class),
            WindowsFilesystemChangeMonitor.class);

    /** One loaded copy of the library, with the native methods bound to it. */
    static final class Copy {
        private final int number;
        private final Path file;
        private final NativeEntryPoints natives;
        private boolean inUse;

        Copy(int number, Path file, NativeEntryPoints natives) {
            this.number = number;
            this.file = file;
            this.natives = natives;
        }

        /** 1 for the library loaded first, 2 and up for further copies. */
        int number() {
            return number;
        }

        /** The file loaded; null when the JVM found the first on java.library.path by name. */
        Path file() {
            return file;
        }

        NativeEntryPoints natives() {
            return natives;
        }
    }

    private final Supplier<NativeLibraryLoader> loaderOfThisJvm;
    private final Class<?> holder;
    private NativeLibraryLoader loader;
    private LoadedLibrary first;
    private UnsatisfiedLinkError firstFailure;
    private byte[] holderBytes;
    private final List<Copy> copies = new ArrayList<>();

    /**
     * @param loaderOfThisJvm finds and loads the first library
     * @param holder the class with the native methods and the methods that load the library,
     *     of which each further copy gets a copy of its own
     */
    LibraryPool(Supplier<NativeLibraryLoader> loaderOfThisJvm, Class<?> holder) {
        this.loaderOfThisJvm = loaderOfThisJvm;
        this.holder = holder;
    }

    static LibraryPool ofThisJvm() {
        return OF_THIS_JVM;
    }

    /**
     * The library loaded first, loaded now if it was not yet.
     *
     * @throws UnsatisfiedLinkError listing what was tried, when no library could be loaded; the
     *     same every time, since nothing is tried again
     */
    synchronized LoadedLibrary first() {
        if (first == null && firstFailure == null) {
            loader = loaderOfThisJvm.get();
            try {
                first = loader.load();
                copies.add(new Copy(1, first.file(), NativeEntryPoints.of(holder)));
            } catch (UnsatisfiedLinkError e) {
                firstFailure = e;
            } catch (ReflectiveOperationException e) {
                firstFailure = new UnsatisfiedLinkError("cannot reach the native methods of "
                        + holder.getName() + ": " + e);
            }
        }
        if (firstFailure != null) {
            // A new error each time, so that each caller gets a trace of its own.
            UnsatisfiedLinkError failure = new UnsatisfiedLinkError(firstFailure.getMessage());
            failure.initCause(firstFailure);
            throw failure;
        }
        return first;
    }

    /**
     * A copy no watch uses, made if every copy is in use, for a watch to use until it is given
     * back with {@link #release}.
     *
     * @throws IOException when a further copy is needed and cannot be made; the copies already
     *     made serve on
     * @throws UnsatisfiedLinkError when no library could be loaded at all
     */
    synchronized Copy acquire() throws IOException {
        first();
        for (Copy copy : copies) {
            if (!copy.inUse) {
                copy.inUse = true;
                return copy;
            }
        }
        Copy made = makeCopy(copies.size() + 1);
        made.inUse = true;
        copies.add(made);
        return made;
    }

    /** Gives back a copy whose watch has ended: its library holds nothing any more. */
    synchronized void release(Copy copy) {
        copy.inUse = false;
    }

    /** How many copies were made: the most watches that were open at once. */
    synchronized int copiesMade() {
        return copies.size();
    }

    private Copy makeCopy(int number) throws IOException {
        Path file = loader.provideCopy(first, number);
        Class<?> copy;
        try {
            copy = JavaModules.copyOf(holder, holderBytes(), number);
        } catch (ClassNotFoundException | LinkageError | RuntimeException e) {
            throw new IOException("cannot define copy " + number + " of " + holder.getName()
                    + " for a further watch: " + e, e);
        }
        try {
            NativeAccess.check(holder, () -> load(copy, file));
            return new Copy(number, file, NativeEntryPoints.of(copy));
        } catch (NativeAccess.Denied e) {
            throw e;
        } catch (UnsatisfiedLinkError e) {
            throw new IOException("the JVM could not load copy " + number + " of the library, "
                    + file + ", for a further watch: " + e.getMessage(), e);
        } catch (ReflectiveOperationException | RuntimeException e) {
            throw new IOException("cannot reach the methods of copy " + number + " of "
                    + holder.getName() + ": " + e, e);
        }
    }

    private void load(Class<?> copy, Path file) {
        try {
            NativeEntryPoints.loadInto(copy, file.toString());
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException("cannot reach the load method of a copy of "
                    + holder.getName(), e);
        }
    }

    // The class file of the class with the native methods, which every copy is defined from.
    private byte[] holderBytes() throws IOException {
        if (holderBytes != null) return holderBytes;
        String name = holder.getSimpleName() + ".class";
        try (InputStream in = holder.getResourceAsStream(name)) {
            if (in == null) throw new IOException("cannot read " + name + " beside the class");
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] chunk = new byte[16 * 1024];
            for (int read; (read = in.read(chunk)) >= 0; ) bytes.write(chunk, 0, read);
            holderBytes = bytes.toByteArray();
        }
        return holderBytes;
    }
}
