package talvo.index.windows_native;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * The parts of an ELF file that tell what it needs to run: the program interpreter it names and
 * the libraries its dynamic section needs, found through its program headers and read in the
 * file's own byte order and width. Tables that lead out of the file, or claim more than a library
 * of ours holds, read as absent.
 */
final class ElfFile {
    private static final int PT_LOAD = 1;
    private static final int PT_DYNAMIC = 2;
    private static final int PT_INTERP = 3;
    private static final long DT_NULL = 0;
    private static final long DT_NEEDED = 1;
    private static final long DT_STRTAB = 5;
    private static final long DT_STRSZ = 10;
    // The most of any one table that is read: ours hold a few hundred bytes.
    private static final int MOST_TABLE_BYTES = 64 * 1024;

    private final FileChannel in;
    private final ByteOrder order;
    private final boolean wide;
    private final ByteBuffer programs;
    private final int entrySize;

    private ElfFile(FileChannel in, ByteOrder order, boolean wide, ByteBuffer programs,
            int entrySize) {
        this.in = in;
        this.order = order;
        this.wide = wide;
        this.programs = programs;
        this.entrySize = entrySize;
    }

    /**
     * The ELF file {@code in}, whose first bytes are {@code header}; null when it is no ELF file or
     * its program headers cannot be read.
     */
    static ElfFile of(FileChannel in, ByteBuffer header) throws IOException {
        // A duplicate reads in big-endian order, whatever the caller's buffer was set to.
        ByteBuffer start = header.duplicate();
        if (start.limit() < 52 || start.getInt(0) != 0x7f454c46) return null;
        boolean wide = start.get(4) == 2;
        if (wide && start.limit() < 64) return null;
        ByteOrder order = start.get(5) == 2 ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN;
        start.order(order);
        long tableAt = wide ? start.getLong(32) : start.getInt(28) & 0xffffffffL;
        int entrySize = start.getShort(wide ? 54 : 42) & 0xffff;
        int entries = start.getShort(wide ? 56 : 44) & 0xffff;
        if (entrySize < (wide ? 56 : 32) || entrySize * entries > MOST_TABLE_BYTES) return null;
        ElfFile file = new ElfFile(in, order, wide, null, entrySize);
        ByteBuffer programs = file.read(tableAt, entrySize * entries);
        return new ElfFile(in, order, wide, programs, entrySize);
    }

    /** The program interpreter the file names, or null when it names none. */
    String interpreter() throws IOException {
        ByteBuffer text = segment(PT_INTERP);
        return text == null ? null : string(text, 0);
    }

    /** The libraries the file's dynamic section says it needs, in its order. */
    List<String> needed() throws IOException {
        ByteBuffer dynamic = segment(PT_DYNAMIC);
        if (dynamic == null) return Collections.emptyList();
        List<Long> names = new ArrayList<>();
        long strings = -1;
        long stringsSize = 0;
        int entry = wide ? 16 : 8;
        for (int at = 0; at + entry <= dynamic.limit(); at += entry) {
            long tag = word(dynamic, at);
            long value = word(dynamic, at + entry / 2);
            if (tag == DT_NULL) break;
            if (tag == DT_NEEDED) names.add(value);
            if (tag == DT_STRTAB) strings = value;
            if (tag == DT_STRSZ) stringsSize = value;
        }
        ByteBuffer table = read(fileOffsetOf(strings), clamp(stringsSize));
        List<String> needed = new ArrayList<>();
        for (long name : names) {
            String library = string(table, name);
            if (library != null) needed.add(library);
        }
        return needed;
    }

    // The bytes of the first segment of `type`, or null when the file has none.
    private ByteBuffer segment(int type) throws IOException {
        for (int at = 0; at + entrySize <= programs.limit(); at += entrySize) {
            if (programs.getInt(at) != type) continue;
            long offset = word(programs, at + (wide ? 8 : 4));
            long size = word(programs, at + (wide ? 32 : 16));
            return read(offset, clamp(size));
        }
        return null;
    }

    // Where the loaded address `address` lies in the file, by the segment that loads it; -1 when
    // no segment does.
    private long fileOffsetOf(long address) {
        if (address < 0) return -1;
        for (int at = 0; at + entrySize <= programs.limit(); at += entrySize) {
            if (programs.getInt(at) != PT_LOAD) continue;
            long offset = word(programs, at + (wide ? 8 : 4));
            long start = word(programs, at + (wide ? 16 : 8));
            long size = word(programs, at + (wide ? 32 : 16));
            if (offset >= 0 && start >= 0 && address >= start && address - start < size) {
                return offset + (address - start);
            }
        }
        return -1;
    }

    // An address, offset or size: 8 bytes in a 64-bit file, 4 unsigned ones in a 32-bit one; -1
    // past the buffer's end, or beyond what a long holds.
    private long word(ByteBuffer buffer, int at) {
        if (at + (wide ? 8 : 4) > buffer.limit()) return -1;
        return wide ? buffer.getLong(at) : buffer.getInt(at) & 0xffffffffL;
    }

    private static int clamp(long size) {
        return (int) Math.max(0, Math.min(size, MOST_TABLE_BYTES));
    }

    // Up to `length` bytes from `position`, fewer at the file's end; none from a position no file
    // has.
    private ByteBuffer read(long position, int length) throws IOException {
        if (position < 0 || length == 0) return ByteBuffer.allocate(0).order(order);
        return LibraryHeader.readAt(in, position, length).order(order);
    }

    // The NUL-terminated text at `at` of `table`; null when it runs off the table.
    private static String string(ByteBuffer table, long at) {
        if (at < 0 || at >= table.limit()) return null;
        for (int end = (int) at; end < table.limit(); ++end) {
            if (table.get(end) != 0) continue;
            byte[] bytes = new byte[end - (int) at];
            for (int i = 0; i < bytes.length; ++i) bytes[i] = table.get((int) at + i);
            return new String(bytes, StandardCharsets.UTF_8);
        }
        return null;
    }
}
