package talvo.index.windows_native;

import java.io.ByteArrayInputStream;
import java.io.InputStream;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.module.Configuration;
import java.lang.module.ModuleDescriptor;
import java.lang.module.ModuleFinder;
import java.lang.module.ModuleReader;
import java.lang.module.ModuleReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URI;
import java.util.List;
import java.util.Optional;
import java.util.Set;
import java.util.stream.Stream;

/**
 * What differs between Java 8 and the Java versions with modules. This is the version for Java 9
 * and later, which the JVM picks from the jar instead of Java 8's.
 */
final class JavaModules {
    private JavaModules() {}

    /**
     * The static method {@code name} of {@code holder}, which may be package-private and a class
     * of another class loader or module. Looked up by itself: reflection would load the types of
     * every method of the class, and a copy's module holds no class but the copy.
     */
    static MethodHandle staticMethod(Class<?> holder, String name, MethodType type)
            throws ReflectiveOperationException {
        Module ours = JavaModules.class.getModule();
        if (!ours.canRead(holder.getModule())) ours.addReads(holder.getModule());
        return MethodHandles.privateLookupIn(holder, MethodHandles.lookup())
                .findStatic(holder, name, type);
    }

    /** The name of {@code type}'s module, or null when it is on the class path. */
    static String nameOf(Class<?> type) {
        Module module = type.getModule();
        return module.isNamed() ? module.getName() : null;
    }

    /**
     * A copy of {@code original}, defined from {@code classBytes} by a class loader of its own,
     * for copy number {@code copy}. A class of a named module is copied into a module of its own,
     * in a layer of its own, since only a named module can be granted native access by another.
     */
    static Class<?> copyOf(Class<?> original, byte[] classBytes, int copy)
            throws ClassNotFoundException {
        Module module = original.getModule();
        if (!module.isNamed() || module.getLayer() == null) {
            // The class path: native access granted to ALL-UNNAMED covers every loader's code.
            return CopyClassLoader.copyOf(original, classBytes);
        }
        String name = module.getName() + ".copy" + copy;
        String entry = original.getName().replace('.', '/') + ".class";
        // Open, so that the original can reach the copy's package-private methods.
        ModuleDescriptor descriptor = ModuleDescriptor.newOpenModule(name)
                .packages(Set.of(original.getPackageName()))
                .build();
        ModuleReference reference = new ModuleReference(descriptor, null) {
            @Override
            public ModuleReader open() {
                return new OneClass(entry, classBytes);
            }
        };
        ModuleFinder finder = new ModuleFinder() {
            @Override
            public Optional<ModuleReference> find(String wanted) {
                return wanted.equals(name) ? Optional.of(reference) : Optional.empty();
            }

            @Override
            public Set<ModuleReference> findAll() {
                return Set.of(reference);
            }
        };
        ModuleLayer parent = module.getLayer();
        Configuration configuration =
                parent.configuration().resolve(finder, ModuleFinder.of(), Set.of(name));
        ModuleLayer.Controller controller = ModuleLayer.defineModulesWithOneLoader(
                configuration, List.of(parent), original.getClassLoader());
        Module copied = controller.layer().findModule(name).get();
        grantNativeAccess(controller, copied);
        return Class.forName(original.getName(), false, controller.layer().findLoader(name));
    }

    // JDK 22 and later let a module with native access grant it to a module of a layer it
    // defines. It is granted only when this module has it: only JDK 24 and later ask for it to
    // load a library, and on JDK 22 and 23 granting it without having it would print a warning.
    // Reflection, since this is compiled for Java 9.
    private static void grantNativeAccess(ModuleLayer.Controller controller, Module module) {
        Method has;
        Method grant;
        try {
            has = Module.class.getMethod("isNativeAccessEnabled");
            grant = ModuleLayer.Controller.class.getMethod("enableNativeAccess", Module.class);
        } catch (NoSuchMethodException beforeJdk22) {
            return;
        }
        try {
            if (!(Boolean) has.invoke(JavaModules.class.getModule())) return;
            grant.invoke(controller, module);
        } catch (IllegalAccessException e) {
            throw new IllegalStateException(e);
        } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof IllegalCallerException) {
                throw NativeAccess.denied(nameOf(JavaModules.class), cause);
            }
            if (cause instanceof RuntimeException) throw (RuntimeException) cause;
            if (cause instanceof Error) throw (Error) cause;
            throw new IllegalStateException(cause);
        }
    }

    /** A module's contents: one class file. */
    private static final class OneClass implements ModuleReader {
        private final String entry;
        private final byte[] bytes;

        OneClass(String entry, byte[] bytes) {
            this.entry = entry;
            this.bytes = bytes;
        }

        @Override
        public Optional<URI> find(String name) {
            return Optional.empty();
        }

        @Override
        public Optional<InputStream> open(String name) {
            return name.equals(entry)
                    ? Optional.of(new ByteArrayInputStream(bytes)) : Optional.empty();
        }

        @Override
        public Stream<String> list() {
            return Stream.of(entry);
        }

        @Override
        public void close() {}
    }
}
