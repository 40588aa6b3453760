/** Prints the version of the Java specification that the JVM running it implements: 1.8, 11, 25. */
public final class PrintSpecificationVersion {
    private PrintSpecificationVersion() {}

    public static void main(String[] arguments) {
        System.out.println(System.getProperty("java.specification.version"));
    }
}
