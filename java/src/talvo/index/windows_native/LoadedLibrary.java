package talvo.index.windows_native;

import java.nio.file.Path;

/** The native library this JVM loaded first, how it was found, and what copies are made from. */
final class LoadedLibrary {
    private final Path file;
    private final String source;
    private final LibraryContent content;
    private final Path folder;

    /**
     * @param file the file loaded; null when the JVM found it on java.library.path in a way that
     *     could not be retraced
     * @param source how it was found, in words
     * @param content the bytes further copies are made of; null when there are none to copy
     * @param folder the folder the library was extracted to, where further copies go beside it;
     *     null when it was not extracted
     */
    LoadedLibrary(Path file, String source, LibraryContent content, Path folder) {
        this.file = file;
        this.source = source;
        this.content = content;
        this.folder = folder;
    }

    Path file() {
        return file;
    }

    String source() {
        return source;
    }

    LibraryContent content() {
        return content;
    }

    Path folder() {
        return folder;
    }

    @Override
    public String toString() {
        return file + " (" + source + ")";
    }
}
