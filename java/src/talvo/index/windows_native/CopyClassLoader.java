package talvo.index.windows_native;

/**
 * A class loader that defines one class itself, from the bytes it is given, and leaves every other
 * class to its parent: so the class it defines is a copy of the parent's class of that name, whose
 * native methods bind to the libraries that this loader loaded, not the parent's.
 */
final class CopyClassLoader extends ClassLoader {
    static {
        registerAsParallelCapable();
    }

    private final String className;
    private final byte[] classBytes;

    private CopyClassLoader(ClassLoader parent, String className, byte[] classBytes) {
        super(parent);
        this.className = className;
        this.classBytes = classBytes.clone();
    }

    /** A copy of {@code original}, defined from {@code classBytes} by a loader of its own. */
    static Class<?> copyOf(Class<?> original, byte[] classBytes) throws ClassNotFoundException {
        return new CopyClassLoader(original.getClassLoader(), original.getName(), classBytes)
                .loadClass(original.getName());
    }

    @Override
    protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
        if (!name.equals(className)) return super.loadClass(name, resolve);
        synchronized (getClassLoadingLock(name)) {
            Class<?> copy = findLoadedClass(name);
            if (copy == null) copy = defineClass(name, classBytes, 0, classBytes.length);
            if (resolve) resolveClass(copy);
            return copy;
        }
    }
}
