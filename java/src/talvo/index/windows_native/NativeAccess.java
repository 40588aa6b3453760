package talvo.index.windows_native;

/**
 * The JVM's rule on native access (JDK 24 and later): code may load native libraries only where
 * the JVM allows it, by {@code --enable-native-access} or the executable jar's
 * {@code Enable-Native-Access} attribute; under {@code --illegal-native-access=deny} any other
 * load fails with {@code IllegalCallerException}. That tells a user nothing about what to do,
 * so the loader turns it into one error that names the flag.
 */
final class NativeAccess {
    private static final String DENIAL = "java.lang.IllegalCallerException";

    private NativeAccess() {}

    /** An error a load of native code that the JVM refused with its native-access rule. */
    static final class Denied extends UnsatisfiedLinkError {
        private static final long serialVersionUID = 1L;

        Denied(String message, Throwable cause) {
            super(message);
            initCause(cause);
        }
    }

    /** Runs {@code load}, turning a refusal of native access into {@link Denied}. */
    static void check(Class<?> loading, Runnable load) {
        try {
            load.run();
        } catch (RuntimeException e) {
            // Named by its name: the class is newer than Java 8, which this code runs on too.
            if (!e.getClass().getName().equals(DENIAL)) throw e;
            throw denied(JavaModules.nameOf(loading), e);
        }
    }

    /**
     * The error for a denial to the module {@code module} (null: the class path), with the flag
     * that allows it.
     */
    static Denied denied(String module, Throwable cause) {
        String who = module == null ? "code on the class path" : "the module " + module;
        String flag = "--enable-native-access=" + (module == null ? "ALL-UNNAMED" : module);
        String manifest = module == null
                ? " (an executable jar may instead say Enable-Native-Access: ALL-UNNAMED in its"
                        + " manifest)"
                : "";
        return new Denied("native access was denied: this JVM does not let " + who
                + " load the native library " + NativeLibraryLoader.LIBRARY + ". Run java with "
                + flag + manifest, cause);
    }
}
