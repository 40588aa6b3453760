package talvo.index.windows_native;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;

/** The first bytes of library files of several kinds, enough for their headers to be read. */
final class HeaderBytes {
    static final int EM_386 = 3;
    static final int EM_X86_64 = 62;
    static final int EM_AARCH64 = 183;
    static final int EM_PPC64 = 21;
    static final int EM_S390 = 22;
    static final int EM_ARM = 40;
    static final int EM_RISCV = 243;
    static final int ET_EXEC = 2;
    static final int ET_DYN = 3;
    static final int PE_I386 = 0x14c;
    static final int PE_AMD64 = 0x8664;
    static final int PE_ARM64 = 0xaa64;

    private HeaderBytes() {}

    static byte[] elf(int bits, boolean bigEndian, int type, int machine) {
        ByteBuffer header = ByteBuffer.allocate(bits == 64 ? 64 : 52)
                .order(bigEndian ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
        header.put(new byte[] {0x7f, 'E', 'L', 'F', (byte) (bits == 64 ? 2 : 1),
                (byte) (bigEndian ? 2 : 1), 1});
        header.putShort(16, (short) type);
        header.putShort(18, (short) machine);
        return header.array();
    }

    static byte[] linuxLibrary(int bits, int machine) {
        return elf(bits, false, ET_DYN, machine);
    }

    /**
     * A library whose dynamic section names {@code needed} libraries, laid out as a linker lays
     * out a real one: the section and its strings are found through the program headers, and
     * loaded at addresses other than their offsets in the file.
     */
    static byte[] linuxLibraryNeeding(int bits, boolean bigEndian, int machine,
            String... needed) {
        boolean wide = bits == 64;
        int word = wide ? 8 : 4;
        int headerSize = wide ? 64 : 52;
        int programEntry = wide ? 56 : 32;
        int programs = headerSize;
        int dynamic = programs + 2 * programEntry;
        int dynamicSize = (needed.length + 3) * 2 * word;
        int strings = dynamic + dynamicSize;
        ByteBuffer names = ByteBuffer.allocate(1 + needed.length * 256);
        int[] nameAt = new int[needed.length];
        names.put((byte) 0);
        for (int i = 0; i < needed.length; ++i) {
            nameAt[i] = names.position();
            names.put(needed[i].getBytes(StandardCharsets.US_ASCII)).put((byte) 0);
        }
        int stringsSize = names.position();
        long loadedAt = 0x10000;
        ByteBuffer file = ByteBuffer.allocate(strings + stringsSize)
                .order(bigEndian ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
        file.put(elf(bits, bigEndian, ET_DYN, machine));
        putWord(file, wide ? 32 : 28, programs, wide);
        file.putShort(wide ? 54 : 42, (short) programEntry);
        file.putShort(wide ? 56 : 44, (short) 2);
        // PT_LOAD of the whole file, then PT_DYNAMIC.
        putProgram(file, programs, 1, 0, loadedAt, file.capacity(), wide);
        putProgram(file, programs + programEntry, 2, dynamic, loadedAt + dynamic, dynamicSize,
                wide);
        int at = dynamic;
        for (int offset : nameAt) {
            at = putDynamic(file, at, 1, offset, wide);  // DT_NEEDED
        }
        at = putDynamic(file, at, 5, loadedAt + strings, wide);  // DT_STRTAB
        at = putDynamic(file, at, 10, stringsSize, wide);  // DT_STRSZ
        putDynamic(file, at, 0, 0, wide);  // DT_NULL
        file.position(strings);
        file.put(names.array(), 0, stringsSize);
        return file.array();
    }

    private static void putWord(ByteBuffer file, int at, long value, boolean wide) {
        if (wide) file.putLong(at, value);
        else file.putInt(at, (int) value);
    }

    private static void putProgram(ByteBuffer file, int at, int type, long offset, long address,
            long size, boolean wide) {
        file.putInt(at, type);
        putWord(file, at + (wide ? 8 : 4), offset, wide);
        putWord(file, at + (wide ? 16 : 8), address, wide);
        putWord(file, at + (wide ? 32 : 16), size, wide);
    }

    private static int putDynamic(ByteBuffer file, int at, long tag, long value, boolean wide) {
        int word = wide ? 8 : 4;
        putWord(file, at, tag, wide);
        putWord(file, at + word, value, wide);
        return at + 2 * word;
    }

    static byte[] pe(int machine, boolean pe32Plus, boolean dll) {
        int peOffset = 0x80;
        ByteBuffer header = ByteBuffer.allocate(peOffset + 26 + 64).order(ByteOrder.LITTLE_ENDIAN);
        header.put(0, (byte) 'M').put(1, (byte) 'Z');
        header.putInt(0x3c, peOffset);
        header.put(peOffset, new byte[] {'P', 'E', 0, 0});
        header.putShort(peOffset + 4, (short) machine);
        header.putShort(peOffset + 22, (short) (dll ? 0x2102 : 0x0102));
        header.putShort(peOffset + 24, (short) (pe32Plus ? 0x20b : 0x10b));
        return header.array();
    }

    static byte[] windowsDll(int machine) {
        return pe(machine, machine != PE_I386, true);
    }

    static byte[] macLibrary() {
        ByteBuffer header = ByteBuffer.allocate(32).order(ByteOrder.LITTLE_ENDIAN);
        header.putInt(0, 0xfeedfacf).putInt(4, 0x0100000c).putInt(12, 6);
        return header.array();
    }
}
