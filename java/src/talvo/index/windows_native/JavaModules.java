package talvo.index.windows_native;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.reflect.Method;

/**
 * What differs between Java 8 and the Java versions with modules. This is Java 8's: no modules, so
 * every class is on the class path. The jar holds another version of this class for Java 9 and
 * later, which the JVM picks instead.
 */
final class JavaModules {
    private JavaModules() {}

    /**
     * The static method {@code name} of {@code holder}, which may be package-private and a class
     * of another class loader.
     */
    static MethodHandle staticMethod(Class<?> holder, String name, MethodType type)
            throws ReflectiveOperationException {
        Method method = holder.getDeclaredMethod(name, type.parameterArray());
        method.setAccessible(true);
        return MethodHandles.lookup().unreflect(method);
    }

    /** The name of {@code type}'s module, or null when it is on the class path. */
    static String nameOf(Class<?> type) {
        return null;
    }

    /**
     * A copy of {@code original}, defined from {@code classBytes} by a class loader of its own,
     * for copy number {@code copy}.
     */
    static Class<?> copyOf(Class<?> original, byte[] classBytes, int copy)
            throws ClassNotFoundException {
        return CopyClassLoader.copyOf(original, classBytes);
    }
}
