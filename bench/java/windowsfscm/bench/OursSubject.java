package windowsfscm.bench;

import java.io.IOException;
import java.nio.file.Path;
import talvo.index.windows_native.Watch;
import talvo.index.windows_native.WindowsFilesystemChangeMonitor;

/** Our library through its public Java API. */
final class OursSubject implements Subject {
    private Watch watch;

    @Override
    public void open(Path root, Runnable onChange) throws IOException {
        watch = WindowsFilesystemChangeMonitor.watch(root, onChange);
    }

    @Override
    public void close() {
        watch.close();
    }
}
