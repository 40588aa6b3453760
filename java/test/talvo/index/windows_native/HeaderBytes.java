package talvo.index.windows_native;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

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
