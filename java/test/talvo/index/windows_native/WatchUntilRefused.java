package talvo.index.windows_native;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * Opens watches on the tree it is given until one is refused, then prints how many opened and
 * the refusal's message, and closes them all. Run as a program of its own by the tests.
 */
public final class WatchUntilRefused {
    private WatchUntilRefused() {}

    public static void main(String[] args) throws Exception {
        Path tree = Path.of(args[0]);
        int most = Integer.parseInt(args[1]);
        List<Watch> watches = new ArrayList<>();
        try {
            while (watches.size() < most) {
                watches.add(WindowsFilesystemChangeMonitor.watch(tree, () -> {}));
            }
            System.out.println(watches.size() + " opened, none refused");
        } catch (IOException refused) {
            System.out.println(watches.size() + " opened");
            System.out.println(refused.getMessage());
        } finally {
            watches.forEach(Watch::close);
        }
    }
}
