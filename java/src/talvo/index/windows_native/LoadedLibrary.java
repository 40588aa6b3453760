package talvo.index.windows_native;

import java.nio.file.Path;

/**
 * The native library this JVM loaded, and how it was found.
 *
 * @param file the file loaded; null when the JVM found it on java.library.path in a way that
 *     could not be retraced
 * @param source how it was found, in words
 */
record LoadedLibrary(Path file, String source) {}
