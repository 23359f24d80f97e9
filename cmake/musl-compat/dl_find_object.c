/* libgcc's unwinder, built for glibc 2.35 or later, finds a frame's unwind
   tables with glibc's _dl_find_object.  musl has dl_iterate_phdr, which is
   enough to answer the same question: which loaded object holds this
   address, and where is its PT_GNU_EH_FRAME segment. */
#include <link.h>
#include <stddef.h>
#include <stdint.h>

struct dl_find_object {
    unsigned long long dlfo_flags;
    void *dlfo_map_start;
    void *dlfo_map_end;
    void *dlfo_link_map;
    void *dlfo_eh_frame;
    unsigned long long reserved[7];
};

struct query {
    uintptr_t pc;
    struct dl_find_object *out;
    int found;
};

static int visit(struct dl_phdr_info *info, size_t size, void *arg)
{
    struct query *q = arg;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    void *eh = NULL;
    int hit = 0;
    (void)size;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + ph->p_vaddr;
        if (ph->p_type == PT_LOAD) {
            if (q->pc >= start && q->pc < start + ph->p_memsz)
                hit = 1;
            if (start < lo)
                lo = start;
            if (start + ph->p_memsz > hi)
                hi = start + ph->p_memsz;
        } else if (ph->p_type == PT_GNU_EH_FRAME) {
            eh = (void *)start;
        }
    }
    if (!hit)
        return 0;
    q->out->dlfo_flags = 0;
    q->out->dlfo_map_start = (void *)lo;
    q->out->dlfo_map_end = (void *)hi;
    q->out->dlfo_link_map = NULL;
    q->out->dlfo_eh_frame = eh;
    q->found = 1;
    return 1;
}

int _dl_find_object(void *address, struct dl_find_object *result)
{
    struct query q = {(uintptr_t)address, result, 0};
    dl_iterate_phdr(visit, &q);
    return q.found ? 0 : -1;
}
