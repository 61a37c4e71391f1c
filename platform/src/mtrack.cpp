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
//    block's own module;
//  - reallocations count as allocation calls, for mtrack_sim_alloc_calls and
//    for mtrack_sim_fail_nth alike.
//
// All state is constant-initialised static storage: other libraries' load
// time constructors may allocate before any dynamic initialiser here has run.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "mtrack.h"
#include "platform_sim.h"

namespace {

constexpr uint32_t max_modules = 16;
constexpr uint32_t overflow_slot = max_modules;
constexpr uint32_t max_type_faults = 16;
constexpr uint32_t live_magic = 0x6d74726bu;
constexpr uint32_t freed_magic = 0x66726565u;

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

// Precedes every block; its size keeps the caller's pointer aligned for any
// type. Live blocks form a list, newest first.
struct alignas(std::max_align_t) Header {
    uint32_t magic;
    uint32_t module_id;
    uint32_t slot;
    uint32_t mem_type;
    uint32_t size;
    Header *newer;
    Header *older;
};

struct State {
    std::mutex lock;
    Header *newest;
    Module modules[max_modules + 1]; // the last is the overflow slot
    uint64_t alloc_calls;
    uint32_t fail_countdown;
    TypeFault type_faults[max_type_faults];
    uint32_t n_type_faults;
};

constinit State state{};

Header *header_of(void *block) {
    return static_cast<Header *>(block) - 1;
}

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

// A pointer the tracker did not hand out, or freed twice, would corrupt the
// counts silently; stopping here shows the caller at fault.
void check_header(const Header *h, const char *what) {
    if (h->magic == live_magic)
        return;
    std::fprintf(stderr, "mtrack: %s of a block that is not live (%p)\n", what,
                 static_cast<const void *>(h + 1));
    std::abort();
}

void *allocate(uint32_t module_id, uint32_t mem_type, uint32_t size) {
    std::lock_guard<std::mutex> guard(state.lock);
    if (should_fail(module_id, mem_type) || mem_type >= MTRACK_SIM_MAX_TYPES)
        return nullptr;
    auto *h = static_cast<Header *>(std::malloc(sizeof(Header) + size));
    if (!h)
        return nullptr;
    *h = Header{live_magic, module_id, slot_for(module_id), mem_type, size, nullptr, nullptr};
    account(h->slot, mem_type, size, true);
    link_newest(h);
    return h + 1;
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

void *mtrack_realloc(void *block, uint32_t size, uint32_t mem_type) {
    if (!block)
        return allocate(0, mem_type, size);
    Header *h = header_of(block);
    std::lock_guard<std::mutex> guard(state.lock);
    check_header(h, "realloc");
    if (should_fail(h->module_id, mem_type) || mem_type >= MTRACK_SIM_MAX_TYPES)
        return nullptr;
    Header old = *h;
    unlink(h);
    auto *moved = static_cast<Header *>(std::realloc(h, sizeof(Header) + size));
    if (!moved) {
        link_newest(h);
        return nullptr;
    }
    link_newest(moved);
    account(old.slot, old.mem_type, old.size, false);
    moved->mem_type = mem_type;
    moved->size = size;
    account(moved->slot, mem_type, size, true);
    return moved + 1;
}

void mtrack_free(void *block) {
    if (!block)
        return;
    Header *h = header_of(block);
    std::lock_guard<std::mutex> guard(state.lock);
    check_header(h, "free");
    account(h->slot, h->mem_type, h->size, false);
    unlink(h);
    h->magic = freed_magic;
    std::free(h);
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
            return h + 1;
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
