/**
 * Watches directory trees for changes through a native library that the module carries for each
 * platform. Loading it is native access: run with
 * {@code --enable-native-access=talvo.index.windows_native} on JDK 24 and later.
 */
module talvo.index.windows_native {
    exports talvo.index.windows_native;
}
