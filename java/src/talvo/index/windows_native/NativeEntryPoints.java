package talvo.index.windows_native;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodType;

/**
 * The three native methods of one copy of {@link WindowsFilesystemChangeMonitor}, and so of one
 * loaded copy of the library. Copies are classes of other class loaders, whose package-private
 * methods are reached by method handles, which cost a wait next to nothing.
 */
final class NativeEntryPoints {
    private final MethodHandle init;
    private final MethodHandle waitForChange;
    private final MethodHandle stop;

    private NativeEntryPoints(MethodHandle init, MethodHandle waitForChange, MethodHandle stop) {
        this.init = init;
        this.waitForChange = waitForChange;
        this.stop = stop;
    }

    /** The native methods of {@code holder}, a copy of the class with the native methods. */
    static NativeEntryPoints of(Class<?> holder) throws ReflectiveOperationException {
        return new NativeEntryPoints(
                handle(holder, "nativeInit", MethodType.methodType(boolean.class, String.class)),
                handle(holder, "nativeWaitForChange", MethodType.methodType(void.class)),
                handle(holder, "nativeStop", MethodType.methodType(void.class)));
    }

    /**
     * Loads the library {@code file} into the class loader of {@code holder}, by the holder's own
     * {@code load} method: the JVM binds a library to the loader of the class that loads it.
     */
    static void loadInto(Class<?> holder, String file) throws ReflectiveOperationException {
        try {
            handle(holder, "load", MethodType.methodType(void.class, String.class))
                    .invokeExact(file);
        } catch (RuntimeException | Error | ReflectiveOperationException e) {
            throw e;
        } catch (Throwable impossible) {
            throw new IllegalStateException(impossible);
        }
    }

    private static MethodHandle handle(Class<?> holder, String name, MethodType type)
            throws ReflectiveOperationException {
        return JavaModules.staticMethod(holder, name, type);
    }

    boolean init(String path) {
        try {
            return (boolean) init.invokeExact(path);
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Throwable impossible) {
            throw new IllegalStateException(impossible);
        }
    }

    void waitForChange() {
        try {
            waitForChange.invokeExact();
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Throwable impossible) {
            throw new IllegalStateException(impossible);
        }
    }

    void stop() {
        try {
            stop.invokeExact();
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Throwable impossible) {
            throw new IllegalStateException(impossible);
        }
    }
}
