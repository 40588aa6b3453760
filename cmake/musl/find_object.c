// glibc's _dl_find_object over musl's dl_iterate_phdr, for the programs built against musl. The
// unwinder those programs link is Debian's gcc's own (libgcc_eh.a, built on glibc), which finds
// the frame tables of the code at an address by that call alone; musl has no such function. It
// is linked into the executables only (the C++ runtime's exceptions need it), never into the
// library, which throws nothing.
#include <link.h>
#include <stddef.h>
#include <stdint.h>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the layout below is glibc's for x86-64 and arm64, which keep no data base in it"
#endif

struct dl_find_object {
    unsigned long long dlfo_flags;
    void* dlfo_map_start;
    void* dlfo_map_end;
    struct link_map* dlfo_link_map;
    void* dlfo_eh_frame;
    unsigned long long dlfo_reserved[7];
};

int _dl_find_object(void* address, struct dl_find_object* result);

struct search {
    uintptr_t address;
    struct dl_find_object* result;
};

// Fills the result from the object that maps the address, if this one does.
static int search_object(struct dl_phdr_info* object, size_t size, void* data) {
    (void)size;
    struct search* search = data;
    uintptr_t lowest = UINTPTR_MAX;
    uintptr_t highest = 0;
    int maps_address = 0;
    void* frame_tables = NULL;
    for (ElfW(Half) at = 0; at < object->dlpi_phnum; ++at) {
        const ElfW(Phdr)* segment = &object->dlpi_phdr[at];
        uintptr_t start = object->dlpi_addr + segment->p_vaddr;
        if (segment->p_type == PT_LOAD) {
            uintptr_t end = start + segment->p_memsz;
            if (search->address >= start && search->address < end) maps_address = 1;
            if (start < lowest) lowest = start;
            if (end > highest) highest = end;
        } else if (segment->p_type == PT_GNU_EH_FRAME) {
            frame_tables = (void*)start;
        }
    }
    if (!maps_address) return 0;
    *search->result = (struct dl_find_object){0};
    search->result->dlfo_map_start = (void*)lowest;
    search->result->dlfo_map_end = (void*)highest;
    search->result->dlfo_eh_frame = frame_tables;
    return 1;
}

// 0 with the result filled when a loaded object maps `address`, else -1: glibc's contract.
int _dl_find_object(void* address, struct dl_find_object* result) {
    struct search search = {(uintptr_t)address, result};
    return dl_iterate_phdr(search_object, &search) ? 0 : -1;
}
