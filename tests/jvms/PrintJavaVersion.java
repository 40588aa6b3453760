/** Prints the version of Java that the JVM running it implements, as Java names it: 1.8, 11, 25. */
public final class PrintJavaVersion {
    private PrintJavaVersion() {}

    public static void main(String[] arguments) {
        System.out.println(System.getProperty("java.specification.version"));
    }
}
