// Memory tracker stand-in: counts live blocks and bytes per module and memory
// type, so tests can see leaks and inject allocation failures.
//
// Choices the interface leaves open:
//  - a memory type >= MTRACK_SIM_MAX_TYPES is refused (NULL), so a bad type
//    shows at once instead of skewing another type's counts;
//  - modules get a slot of their own, first come first served, up to
//    max_modules; later modules share one overflow slot, whose pooled counts
//    any of them reports, so no leak goes unseen;
//  - mtrack_realloc(NULL, ...) allocates under module 0;
//  - mtrack_realloc accounts the block under the type it is given, within the
//    block's own module, and always moves it;
//  - reallocations count as allocation calls, for mtrack_sim_alloc_calls and
//    for mtrack_sim_fail_nth alike.
//
// Every live block has a header (owner, type, size, place in the list of
// live blocks, newest first). A large block carries it just before its bytes.
// Small blocks, such as one record per table entry, live in slabs instead:
// slots of one size holding blocks of one module and type, their bytes
// packed and cache-line aligned, their headers in an array of their own. A
// caller that visits every record of a table then reads one line per record,
// not a record interleaved with a header and the allocator's own words. A
// slab is freed as soon as it holds no block, so what outlives a process is
// only what its caller still holds. Under AddressSanitizer or valgrind every
// block is allocated on its own, where the checker can see its bounds.
//
// All state is constant-initialised static storage: other libraries' load
// time constructors may allocate before any dynamic initialiser here has run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define MTRACK_UNDER_VALGRIND() (RUNNING_ON_VALGRIND != 0)
#else
#define MTRACK_UNDER_VALGRIND() false
#endif

#include "mtrack.h"
#include "platform_sim.h"

namespace {

constexpr uint32_t max_modules = 16;
constexpr uint32_t overflow_slot = max_modules;
constexpr uint32_t max_type_faults = 16;
constexpr uint32_t live_magic = 0x6d74726bu;
constexpr uint32_t freed_magic = 0x66726565u;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool built_with_asan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool built_with_asan = true;
#else
constexpr bool built_with_asan = false;
#endif
#else
constexpr bool built_with_asan = false;
#endif

// Slabs. A block of up to max_slab_block bytes takes a slot whose size is
// rounded up to the alignment malloc guarantees; above that the header and
// malloc's own words are small beside the block. A slab's slots fill
// 4 to 32 KiB. Slabs and slab classes are bounded; past either bound a small
// block is allocated on its own like a large one.
constexpr uint32_t max_slab_block = 128;
constexpr uint32_t slab_slots = 256;
constexpr uint32_t max_slab_classes = 32;
constexpr uint32_t max_slabs = 4096;
constexpr size_t cache_line = 64;
constexpr size_t block_alignment = alignof(std::max_align_t);

struct Slab;

struct Module {
    bool used;
    uint32_t id;
    const char *name;
    const char *type_names[MTRACK_SIM_MAX_TYPES];
    uint64_t blocks[MTRACK_SIM_MAX_TYPES];
    uint64_t bytes[MTRACK_SIM_MAX_TYPES];
};

struct TypeFault {
    uint32_t module_id;
    uint32_t mem_type;
};

// Describes one block. Before the block itself when slab is NULL (its size
// keeps the caller's pointer aligned for any type), else in the slab's
// header array. Live blocks form a list, newest first; a free slot's header
// links the slab's free slots through older.
struct alignas(std::max_align_t) Header {
    uint32_t magic;
    uint32_t module_id;
    uint32_t slot;
    uint32_t mem_type;
    uint32_t size;
    Slab *slab;
    Header *newer;
    Header *older;
};

// The slabs of one module slot, memory type and slot size.
struct SlabClass {
    uint32_t slot;
    uint32_t mem_type;
    uint32_t slot_size; // 0: the class is unused
    Slab *with_room;    // the class's slabs that have a free slot
};

// One allocation: this record, then the slots from the next cache line on.
struct Slab {
    SlabClass *cls;
    Slab *prev; // in cls->with_room, while the slab has a free slot
    Slab *next;
    char *data;
    uint32_t live;
    uint32_t fresh;     // slots from here on were never handed out
    Header *free_slots; // handed out and freed since, most recent first
    Header headers[slab_slots];
};

struct State {
    std::mutex lock;
    Header *newest;
    Module modules[max_modules + 1]; // the last is the overflow slot
    uint64_t alloc_calls;
    uint32_t fail_countdown;
    TypeFault type_faults[max_type_faults];
    uint32_t n_type_faults;
    SlabClass classes[max_slab_classes];
    Slab *slabs[max_slabs]; // in ascending address order
    uint32_t n_slabs;
    int fill = -1; // byte new blocks are filled with, or -1 to leave them as they come
};

constinit State state{};

Module *find_module(uint32_t module_id) {
    for (uint32_t i = 0; i < max_modules; i++)
        if (state.modules[i].used && state.modules[i].id == module_id)
            return &state.modules[i];
    return nullptr;
}

// The module's slot, taking a free one for a new module, else the overflow.
uint32_t slot_for(uint32_t module_id) {
    for (uint32_t i = 0; i < max_modules; i++) {
        Module &m = state.modules[i];
        if (!m.used) {
            m.used = true;
            m.id = module_id;
            return i;
        }
        if (m.id == module_id)
            return i;
    }
    return overflow_slot;
}

// What the accessors report for a module: its own slot, or the overflow pool
// when the module never got one.
const Module *reported_module(uint32_t module_id) {
    const Module *m = find_module(module_id);
    return m ? m : &state.modules[overflow_slot];
}

// Counts one allocation attempt and tells whether an armed fault fails it.
bool should_fail(uint32_t module_id, uint32_t mem_type) {
    state.alloc_calls++;
    if (state.fail_countdown > 0 && --state.fail_countdown == 0)
        return true;
    for (uint32_t i = 0; i < state.n_type_faults; i++)
        if (state.type_faults[i].module_id == module_id &&
            state.type_faults[i].mem_type == mem_type)
            return true;
    return false;
}

void link_newest(Header *h) {
    h->newer = nullptr;
    h->older = state.newest;
    if (state.newest)
        state.newest->newer = h;
    state.newest = h;
}

void unlink(Header *h) {
    (h->newer ? h->newer->older : state.newest) = h->older;
    if (h->older)
        h->older->newer = h->newer;
}

void account(uint32_t slot, uint32_t mem_type, uint32_t size, bool add) {
    Module &m = state.modules[slot];
    if (add) {
        m.blocks[mem_type]++;
        m.bytes[mem_type] += size;
    } else {
        m.blocks[mem_type]--;
        m.bytes[mem_type] -= size;
    }
}

// ---- Slabs --------------------------------------------------------------

bool slabs_in_use() {
    return !built_with_asan && !MTRACK_UNDER_VALGRIND();
}

uint32_t slot_index(const Header *h) {
    return static_cast<uint32_t>(h - h->slab->headers);
}

void *block_of(Header *h) {
    if (!h->slab)
        return h + 1;
    return h->slab->data + size_t{slot_index(h)} * h->slab->cls->slot_size;
}

// The index in state.slabs of the first slab above address p.
uint32_t slabs_above(uintptr_t p) {
    Slab *const *it = std::upper_bound(
        state.slabs, state.slabs + state.n_slabs, p,
        [](uintptr_t a, const Slab *s) { return a < reinterpret_cast<uintptr_t>(s); });
    return static_cast<uint32_t>(it - state.slabs);
}

// The header of a block the tracker handed out, or NULL when block cannot be
// one (a slab address that is no slot, or a slot never handed out).
Header *header_of(void *block) {
    const auto p = reinterpret_cast<uintptr_t>(block);
    const uint32_t above = slabs_above(p);
    if (above > 0) {
        Slab *s = state.slabs[above - 1];
        const auto data = reinterpret_cast<uintptr_t>(s->data);
        const uint32_t slot_size = s->cls->slot_size;
        if (p >= data && p < data + size_t{slab_slots} * slot_size) {
            const uintptr_t offset = p - data;
            if (offset % slot_size != 0 || offset / slot_size >= s->fresh)
                return nullptr;
            return &s->headers[offset / slot_size];
        }
    }
    return static_cast<Header *>(block) - 1;
}

SlabClass *class_for(uint32_t slot, uint32_t mem_type, uint32_t slot_size) {
    for (SlabClass &c : state.classes) {
        if (c.slot_size == 0) {
            c = SlabClass{slot, mem_type, slot_size, nullptr};
            return &c;
        }
        if (c.slot == slot && c.mem_type == mem_type && c.slot_size == slot_size)
            return &c;
    }
    return nullptr;
}

void push_with_room(Slab *s) {
    s->prev = nullptr;
    s->next = s->cls->with_room;
    if (s->next)
        s->next->prev = s;
    s->cls->with_room = s;
}

void drop_with_room(Slab *s) {
    (s->prev ? s->prev->next : s->cls->with_room) = s->next;
    if (s->next)
        s->next->prev = s->prev;
}

constexpr size_t round_up(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

Slab *new_slab(SlabClass *c) {
    if (state.n_slabs == max_slabs)
        return nullptr;
    constexpr size_t data_offset = round_up(sizeof(Slab), cache_line);
    const size_t bytes = round_up(data_offset + size_t{slab_slots} * c->slot_size, cache_line);
    auto *s = static_cast<Slab *>(std::aligned_alloc(cache_line, bytes));
    if (!s)
        return nullptr;
    s->cls = c;
    s->data = reinterpret_cast<char *>(s) + data_offset;
    s->live = 0;
    s->fresh = 0;
    s->free_slots = nullptr;
    push_with_room(s);
    const uint32_t at = slabs_above(reinterpret_cast<uintptr_t>(s));
    std::memmove(&state.slabs[at + 1], &state.slabs[at], (state.n_slabs - at) * sizeof(Slab *));
    state.slabs[at] = s;
    state.n_slabs++;
    return s;
}

void free_slab(Slab *s) {
    drop_with_room(s);
    const uint32_t at = slabs_above(reinterpret_cast<uintptr_t>(s)) - 1;
    std::memmove(&state.slabs[at], &state.slabs[at + 1], (state.n_slabs - at - 1) * sizeof(Slab *));
    state.n_slabs--;
    std::free(s);
}

// A free slot's header for a block of size bytes, or NULL when the block is
// not for a slab or no slab can take it.
Header *take_slot(uint32_t slot, uint32_t mem_type, uint32_t size) {
    if (size == 0 || size > max_slab_block || !slabs_in_use())
        return nullptr;
    SlabClass *c =
        class_for(slot, mem_type, static_cast<uint32_t>(round_up(size, block_alignment)));
    if (!c)
        return nullptr;
    Slab *s = c->with_room ? c->with_room : new_slab(c);
    if (!s)
        return nullptr;
    Header *h = s->free_slots;
    if (h)
        s->free_slots = h->older;
    else
        h = &s->headers[s->fresh++];
    h->slab = s;
    if (++s->live == slab_slots)
        drop_with_room(s);
    return h;
}

void give_back_slot(Header *h) {
    Slab *s = h->slab;
    h->older = s->free_slots;
    s->free_slots = h;
    if (s->live-- == slab_slots)
        push_with_room(s);
    if (s->live == 0)
        free_slab(s);
}

// ---- Blocks -------------------------------------------------------------

// A pointer the tracker did not hand out, or freed twice, would corrupt the
// counts silently; stopping here shows the caller at fault.
Header *live_header(void *block, const char *what) {
    Header *h = header_of(block);
    if (h && h->magic == live_magic)
        return h;
    std::fprintf(stderr, "mtrack: %s of a block that is not live (%p)\n", what, block);
    std::abort();
}

// A new block, accounted and listed, without the fault checks.
void *place(uint32_t module_id, uint32_t slot, uint32_t mem_type, uint32_t size) {
    Header *h = take_slot(slot, mem_type, size);
    if (!h) {
        h = static_cast<Header *>(std::malloc(sizeof(Header) + size));
        if (!h)
            return nullptr;
        h->slab = nullptr;
    }
    h->magic = live_magic;
    h->module_id = module_id;
    h->slot = slot;
    h->mem_type = mem_type;
    h->size = size;
    if (state.fill >= 0)
        std::memset(block_of(h), state.fill, size);
    account(slot, mem_type, size, true);
    link_newest(h);
    return block_of(h);
}

void release(Header *h) {
    account(h->slot, h->mem_type, h->size, false);
    unlink(h);
    h->magic = freed_magic;
    if (h->slab)
        give_back_slot(h);
    else
        std::free(h);
}

void *allocate(uint32_t module_id, uint32_t mem_type, uint32_t size) {
    std::lock_guard<std::mutex> guard(state.lock);
    if (should_fail(module_id, mem_type) || mem_type >= MTRACK_SIM_MAX_TYPES)
        return nullptr;
    return place(module_id, slot_for(module_id), mem_type, size);
}

} // namespace

extern "C" {

int mtrack_init(const char *name, uint32_t module_id, const char *const *type_names,
                uint32_t n_types) {
    if (n_types > 0 && !type_names)
        return -1;
    std::lock_guard<std::mutex> guard(state.lock);
    uint32_t slot = slot_for(module_id);
    if (slot == overflow_slot)
        return -1; // no room for the names; allocations still work
    Module &m = state.modules[slot];
    m.name = name;
    for (uint32_t i = 0; i < MTRACK_SIM_MAX_TYPES; i++)
        m.type_names[i] = i < n_types ? type_names[i] : nullptr;
    return 0;
}

void *mtrack_alloc(uint32_t module_id, uint32_t mem_type, uint32_t size) {
    return allocate(module_id, mem_type, size);
}

// The block always moves: a new size or type may belong in another slab.
void *mtrack_realloc(void *block, uint32_t size, uint32_t mem_type) {
    if (!block)
        return allocate(0, mem_type, size);
    std::lock_guard<std::mutex> guard(state.lock);
    Header *h = live_header(block, "realloc");
    if (should_fail(h->module_id, mem_type) || mem_type >= MTRACK_SIM_MAX_TYPES)
        return nullptr;
    void *moved = place(h->module_id, h->slot, mem_type, size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, std::min(h->size, size));
    release(h);
    return moved;
}

void mtrack_free(void *block) {
    if (!block)
        return;
    std::lock_guard<std::mutex> guard(state.lock);
    release(live_header(block, "free"));
}

void mtrack_sim_fail_nth(uint32_t n) {
    std::lock_guard<std::mutex> guard(state.lock);
    state.fail_countdown = n;
}

void mtrack_sim_fail_type(uint32_t module_id, uint32_t mem_type) {
    std::lock_guard<std::mutex> guard(state.lock);
    for (uint32_t i = 0; i < state.n_type_faults; i++)
        if (state.type_faults[i].module_id == module_id &&
            state.type_faults[i].mem_type == mem_type)
            return;
    if (state.n_type_faults < max_type_faults)
        state.type_faults[state.n_type_faults++] = TypeFault{module_id, mem_type};
}

void mtrack_sim_fill_new_blocks(int byte) {
    std::lock_guard<std::mutex> guard(state.lock);
    state.fill = byte < 0 ? -1 : byte & 0xff;
}

void mtrack_sim_clear_faults(void) {
    std::lock_guard<std::mutex> guard(state.lock);
    state.fail_countdown = 0;
    state.n_type_faults = 0;
}

const char *mtrack_sim_module_name(uint32_t module_id) {
    std::lock_guard<std::mutex> guard(state.lock);
    const Module *m = find_module(module_id);
    return m ? m->name : nullptr;
}

const char *mtrack_sim_type_name(uint32_t module_id, uint32_t mem_type) {
    std::lock_guard<std::mutex> guard(state.lock);
    const Module *m = find_module(module_id);
    return m && mem_type < MTRACK_SIM_MAX_TYPES ? m->type_names[mem_type] : nullptr;
}

uint64_t mtrack_sim_live_blocks(uint32_t module_id, uint32_t mem_type) {
    std::lock_guard<std::mutex> guard(state.lock);
    return mem_type < MTRACK_SIM_MAX_TYPES ? reported_module(module_id)->blocks[mem_type] : 0;
}

uint64_t mtrack_sim_live_bytes(uint32_t module_id, uint32_t mem_type) {
    std::lock_guard<std::mutex> guard(state.lock);
    return mem_type < MTRACK_SIM_MAX_TYPES ? reported_module(module_id)->bytes[mem_type] : 0;
}

void *mtrack_sim_last_block(uint32_t module_id, uint32_t mem_type) {
    std::lock_guard<std::mutex> guard(state.lock);
    for (Header *h = state.newest; h; h = h->older)
        if (h->module_id == module_id && h->mem_type == mem_type)
            return block_of(h);
    return nullptr;
}

uint64_t mtrack_sim_alloc_calls(void) {
    std::lock_guard<std::mutex> guard(state.lock);
    return state.alloc_calls;
}

uint64_t mtrack_sim_leak_report(FILE *out) {
    std::lock_guard<std::mutex> guard(state.lock);
    uint64_t total = 0;
    for (uint32_t slot = 0; slot <= max_modules; slot++) {
        const Module &m = state.modules[slot];
        for (uint32_t t = 0; t < MTRACK_SIM_MAX_TYPES; t++) {
            if (m.blocks[t] == 0)
                continue;
            total += m.blocks[t];
            if (!out)
                continue;
            const char *tname = m.type_names[t] ? m.type_names[t] : "unnamed";
            if (slot == overflow_slot)
                std::fprintf(out, "mtrack: leak: module * (overflow)");
            else
                std::fprintf(out, "mtrack: leak: module %u (%s)", m.id,
                             m.name ? m.name : "unnamed");
            std::fprintf(out, " type %u (%s): %llu blocks, %llu bytes\n", t, tname,
                         static_cast<unsigned long long>(m.blocks[t]),
                         static_cast<unsigned long long>(m.bytes[t]));
        }
    }
    return total;
}

} // extern "C"
