package talvo.index.windows_native;

import java.io.IOException;
import java.io.InputStream;

/** The bytes of a library that copies are made from, and the SHA-256 each copy must have. */
interface LibraryContent {
    /** The library's file name, such as {@code libwindowsfscm.so}. */
    String fileName();

    /** The SHA-256 of the bytes, in lower-case hexadecimal. */
    String sha256();

    /** Where the bytes come from, in words. */
    String describe();

    InputStream open() throws IOException;
}
