// The flow table and its counter accounting.
//
// Flows live in the platform's AVL tree, ordered by (bitmask, vsan, did, sid).
// Each stored flow owns one entry of the counter table, indexed by its counter
// id. The hardware counts a frame only on the most specific TCAM entry that
// matches it, so the total of a flow F is
//
//     F's counter + counters of all flows finer than F + F.pos - F.neg
//
// where neg is what F's finer flows had counted when F was created and pos
// what removed finer flows had counted when they left.
//
// Invariants between operations:
//  - every flow in the tree holds a counter id whose entry is in use, has that
//    id as counter_id, the flow's type, and the flow as owner; no two flows
//    hold the same id;
//  - an entry with in_use 0 is held by no flow (insertion may claim it);
//  - g_num_counters_used counts the entries in use;
//  - every entry at or above next_counter_id has never been claimed; ids below
//    g_start_counter_id are never handed out.
//
// While a host callback runs the tree is consistent in the sense that the
// counter lookups work: during insertion's update the new flow is stored and
// its entry in use; during removal's final update the removed flow is still
// stored but its entry is marked free (in_use 0, type 0).
//
// Sections: host callbacks and logging, memory, flow relations, counter
// table, start-up, insertion, query, removal, counter lookup, display.

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "avl.h"
#include "byte_order.h"
#include "card.h"
#include "fs_internal.h"
#include "mtrack.h"
#include "text_format.h"
#include "vexa.h"

using namespace acl_tcam;

// ---- Library state ----------------------------------------------------------

uint32_t g_start_counter_id;
uint32_t g_counter_table_size;
uint16_t g_num_counters_used;
acl_tcam_fs_print_reply_t acl_tcam_fs_print_reply;

namespace {

acl_tcam_fs_state_t state;

// Flow operations need both the tree and the counter table; an
// initialisation whose table allocation failed leaves only the tree.
bool flow_table_ready() {
    return state.flow_tree != nullptr && state.counter_table != nullptr;
}

// Counter ids are 16 bits wide, and next_counter_id must be able to reach the
// table size, so the table holds ids 0 to 65534 at most.
constexpr uint32_t kMaxCounterTableSize = 65535;

} // namespace

// ---- Host callbacks and logging ---------------------------------------------

namespace {

// The host's function of that name in the global scope, looked up on every
// call so that a callback the host exports later is found.
template <class Fn>
Fn *host_callback(const char *name) {
    return reinterpret_cast<Fn *>(dlsym(RTLD_DEFAULT, name));
}

// Texts are short; only a text that does not fit here, or whose format the
// fast formatter declines, pays for the full-size buffer and vsnprintf.
constexpr size_t kShortLogText = 512;

[[gnu::noinline]] void log_long_text(LogClass cls, const char *format, va_list args) {
    char text[kLogTextCapacity];
    std::vsnprintf(text, sizeof text, format, args);
    acl_tcam_fs_debug(cls.level, cls.kind, text);
}

} // namespace

void acl_tcam::fs_log(LogClass cls, const char *format, ...) {
    va_list args;
    va_list again;
    va_start(args, format);
    va_copy(again, args);
    char text[kShortLogText];
    const int length = format_text(text, sizeof text, format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof text) {
        acl_tcam_fs_debug(cls.level, cls.kind, text);
    } else {
        log_long_text(cls, format, again);
    }
    va_end(again);
    va_end(args);
}

uint32_t acl_tcam_fs_debug(uint32_t level, uint32_t kind, const char *text) {
    auto *debug = host_callback<decltype(acl_tcam_flow_debug_cb)>("acl_tcam_flow_debug_cb");
    if (debug == nullptr) {
        return ACL_TCAM_FS_ERR_NO_CALLBACK;
    }
    debug(level, kind, text);
    return 0;
}

uint32_t acl_tcam_flow_handle_update(flow_t *flow, uint16_t counter_id, uint32_t install,
                                     uint32_t flag) {
    auto *update =
        host_callback<decltype(acl_tcam_flow_handle_update_cb)>("acl_tcam_flow_handle_update_cb");
    if (update == nullptr) {
        return ACL_TCAM_FS_ERR_NO_CALLBACK;
    }
    flow_handle_update_t request{};
    request.flow = flow;
    request.counter_id = counter_id;
    request.install = install;
    request.flag = flag;
    return static_cast<uint32_t>(update(&request));
}

uint32_t acl_tcam_flow_stats_get(uint32_t counter_id, flow_hw_stats_t *stats) {
    auto *read = host_callback<decltype(acl_tcam_flow_stats_get_cb)>("acl_tcam_flow_stats_get_cb");
    if (read == nullptr) {
        return ACL_TCAM_FS_ERR_NO_CALLBACK;
    }
    return static_cast<uint32_t>(read(counter_id, stats));
}

// ---- Memory -----------------------------------------------------------------

namespace {

struct MemTypeName {
    int value;
    const char *name;
};

// Ends with an entry whose name is empty.
constexpr MemTypeName kMemTypeNames[] = {
    {ACL_TCAM_FS_MEM_flow_t, "ACL_TCAM_FS_MEM_flow_t"},
    {ACL_TCAM_FS_MEM_flow_stats_cmi_t, "ACL_TCAM_FS_MEM_flow_stats_cmi_t"},
    {ACL_TCAM_FS_MEM_gl_counter_table_t, "ACL_TCAM_FS_MEM_gl_counter_table_t"},
    {ACL_TCAM_FS_MEM_MAX, "ACL_TCAM_FS_MEM_MAX"},
    {0, ""},
};

void acl_tcam_flow_malloc_failed(const char *file, int line, uint32_t size) {
    fs_log(kLogError, "(TCAMFS-ERR)Warning! Malloc Failure in %s[%d] for size %d\n", file, line,
           static_cast<int32_t>(size));
}

// Registered when the library is loaded, before any other call. The tracker
// keeps the name pointers, so the array is static.
[[gnu::constructor]] void register_memory_types() {
    static const char *names[ACL_TCAM_FS_MEM_MAX];
    for (int type = 0; type < ACL_TCAM_FS_MEM_MAX; ++type) {
        names[type] = __acl_tcam_flow_stats_mem_type_t_find(type);
    }
    mtrack_init("ACL TCAM Flow Stats Library", ACL_TCAM_FS_MTRACK_ID, names, ACL_TCAM_FS_MEM_MAX);
}

} // namespace

void *acl_tcam_flow_malloc(const char *file, int line, uint32_t mem_type, uint32_t size) {
    void *block = mtrack_alloc(ACL_TCAM_FS_MTRACK_ID, mem_type, size);
    if (block == nullptr) {
        acl_tcam_flow_malloc_failed(file, line, size);
    }
    return block;
}

void *acl_tcam_flow_realloc(const char *file, int line, uint32_t mem_type, void *block,
                            uint32_t size) {
    void *moved = mtrack_realloc(block, size, mem_type);
    if (moved == nullptr) {
        acl_tcam_flow_malloc_failed(file, line, size);
    }
    return moved;
}

void acl_tcam_flow_free(const char * /*file*/, int /*line*/, void *block) {
    mtrack_free(block);
}

const char *__acl_tcam_flow_stats_mem_type_t_find(int value) {
    if (value == kMemTypeNames[0].value) {
        return kMemTypeNames[0].name;
    }
    for (const MemTypeName *entry = &kMemTypeNames[1]; entry->name[0] != '\0'; ++entry) {
        if (entry->value == value) {
            return entry->name;
        }
    }
    return nullptr;
}

int __acl_tcam_flow_stats_mem_type_t_str2enum(const char *name) {
    if (name == nullptr) {
        return 0;
    }
    for (const MemTypeName *entry = kMemTypeNames; entry->name[0] != '\0'; ++entry) {
        if (strcasecmp(name, entry->name) == 0) {
            return entry->value;
        }
    }
    return 0;
}

// ---- Flow relations -----------------------------------------------------------

namespace {

// The first 20 bytes of a flow_t or a flow_walk_ctx_t: what the relations
// look at.
struct FlowKey {
    uint16_t type;
    uint16_t counter_id;
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    uint32_t bitmask;
};

template <class Record>
FlowKey key_of(const Record &r) {
    return {r.type, r.counter_id, r.vsan, r.sid, r.did, r.bitmask};
}

// Same flow and same counter id: a copy of a flow with another counter id is
// a different key.
bool flow_key_equal(const FlowKey &a, const FlowKey &b) {
    return a.type == b.type && a.counter_id == b.counter_id && a.vsan == b.vsan && a.sid == b.sid &&
           a.did == b.did && a.bitmask == b.bitmask;
}

bool same_domain(uint32_t a, uint32_t b) {
    return ((a ^ b) & FLOW_DOMAIN_MASK) == 0;
}

// 1 if coarse covers fine. No flow covers itself.
//
// Every walk runs this on each stored flow, so the tests go cheapest and
// most selective first: the VSAN (which every relation needs), then the
// coarse flow's own key fields, and only for a candidate the bitmask and the
// whole-key equality. The result is the conjunction of the same tests in any
// order. Records are read field by field, not copied into keys.
template <class Fine, class Coarse>
[[gnu::always_inline]] inline bool flow_covered_by(const Fine &fine, const Coarse &coarse) {
    if (fine.vsan != coarse.vsan) {
        return false;
    }
    switch (coarse.type) {
    case FLOW_TYPE_VSAN:
        break;
    case FLOW_TYPE_DOMAIN:
        if (!same_domain(fine.did, coarse.did) || !same_domain(fine.sid, coarse.sid)) {
            return false;
        }
        break;
    case FLOW_TYPE_SID_DID:
        if (fine.did != coarse.did || fine.sid != coarse.sid) {
            return false;
        }
        break;
    default:
        return false;
    }
    return (coarse.bitmask & fine.bitmask) == coarse.bitmask &&
           !flow_key_equal(key_of(fine), key_of(coarse));
}

// A stored flow that steals frames from the subject: the VSAN and type tests
// first, they reject nearly every node.
[[gnu::always_inline]] inline bool is_finer_flow(const flow_t &node,
                                                 const flow_walk_ctx_t &subject) {
    return node.vsan == subject.vsan && node.type >= subject.type && flow_covered_by(node, subject);
}

// A stored flow that sees the subject's frames once the subject is gone.
[[gnu::always_inline]] inline bool is_covering_flow(const flow_t &node,
                                                    const flow_walk_ctx_t &subject) {
    return node.vsan == subject.vsan && node.type <= subject.type && flow_covered_by(subject, node);
}

// The bitmask of each flow type, indexed by type; 0 marks an invalid type.
constexpr uint32_t kBitmaskOfType[] = {0, FLOW_MASK_VSAN, FLOW_MASK_DOMAIN, FLOW_MASK_SID_DID};

uint32_t bitmask_of_type(uint32_t type) {
    return type < std::size(kBitmaskOfType) ? kBitmaskOfType[type] : 0;
}

int compare_u32(uint32_t a, uint32_t b) {
    return a > b ? 1 : (a < b ? -1 : 0);
}

// A zero-filled walk context describing the subject flow.
flow_walk_ctx_t context_for(const flow_t &subject) {
    flow_walk_ctx_t ctx{};
    ctx.type = subject.type;
    ctx.counter_id = subject.counter_id;
    ctx.vsan = subject.vsan;
    ctx.sid = subject.sid;
    ctx.did = subject.did;
    ctx.bitmask = subject.bitmask;
    return ctx;
}

} // namespace

int acl_tcam_flow_avl_compare(const void *a, const void *b) {
    const auto &x = *static_cast<const flow_t *>(a);
    const auto &y = *static_cast<const flow_t *>(b);
    if (int c = compare_u32(x.bitmask, y.bitmask); c != 0) {
        return c;
    }
    if (int c = compare_u32(x.vsan, y.vsan); c != 0) {
        return c;
    }
    if (int c = compare_u32(x.did, y.did); c != 0) {
        return c;
    }
    return compare_u32(x.sid, y.sid);
}

// ---- Counter table ------------------------------------------------------------

namespace {

// The entry of a counter id, or NULL when there is no table or the id lies
// outside it.
gl_counter_table_t *counter_entry(uint32_t id) {
    return state.counter_table != nullptr && id < g_counter_table_size ? &state.counter_table[id]
                                                                       : nullptr;
}

uint16_t counter_type(uint32_t id) {
    const gl_counter_table_t *entry = counter_entry(id);
    return entry != nullptr ? entry->type : 0;
}

flow_t *counter_owner(uint32_t id) {
    const gl_counter_table_t *entry = counter_entry(id);
    return entry != nullptr ? entry->owner : nullptr;
}

// Never-used ids first, ascending; once every id has been handed out once,
// the lowest free one.
bool choose_free_counter(uint16_t *id) {
    if (state.next_counter_id < g_counter_table_size) {
        *id = state.next_counter_id++;
        return true;
    }
    for (uint32_t candidate = g_start_counter_id; candidate < g_counter_table_size; ++candidate) {
        if (state.counter_table[candidate].in_use == 0) {
            *id = static_cast<uint16_t>(candidate);
            return true;
        }
    }
    return false;
}

void claim_counter(uint16_t id, flow_t *owner) {
    gl_counter_table_t &entry = state.counter_table[id];
    entry.in_use = 1;
    entry.counter_id = id;
    entry.type = owner->type;
    entry.owner = owner;
    ++g_num_counters_used;
}

void release_counter(uint16_t id) {
    std::memset(&state.counter_table[id], 0, sizeof(gl_counter_table_t));
    --g_num_counters_used;
}

// Frees every stored flow, then the counter table. Every stored flow owns
// exactly one entry, so the table finds them all. A flow the tree does not
// give back stays stored with its counter, and then the table stays too.
bool drop_flow_table() {
    if (state.counter_table == nullptr) {
        return true;
    }
    for (uint32_t id = 0; id < g_counter_table_size; ++id) {
        flow_t *owner = state.counter_table[id].owner;
        if (owner == nullptr) {
            continue;
        }
        if (avl_delete(state.flow_tree, owner) == nullptr) {
            return false;
        }
        release_counter(static_cast<uint16_t>(id));
        fs_free(owner);
    }
    fs_free(state.counter_table);
    state.counter_table = nullptr;
    return true;
}

} // namespace

// ---- Start-up -----------------------------------------------------------------

namespace {

constexpr vexa_addr_t kDownloadDestination{0xfe000001u, 25};
constexpr uint32_t kDownloadRequestLen = 4;

// Asks for the initial download of flows. Fire and forget: initialisation
// succeeds whether or not the send did.
void request_flow_download() {
    uint8_t payload[kDownloadRequestLen] = {};
    card_get_slot_num(payload);
    payload[1] = 0;
    const int rc = vexa_send(state.handle, &kDownloadDestination, ACL_TCAM_FS_FLOW_DOWNLOAD_OPC,
                             payload, kDownloadRequestLen, 0, nullptr, 0);
    if (rc != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_flow_init: VEXA Send for initial Download of flows failed: "
               "0x%x \n",
               static_cast<uint32_t>(rc));
    } else {
        fs_log(kLogMilestone, "(TCAMFS-EV)VEXA Send for initial Download of flows Success.\n");
    }
}

} // namespace

uint32_t acl_tcam_flow_init(uint32_t handle, uint32_t start_counter_id, uint32_t table_size) {
    if (table_size == 0 || table_size <= start_counter_id || table_size > kMaxCounterTableSize) {
        fs_log(kLogRefused, "(TCAMFS-EV)Invalid arguments to flow_init St-ID:%d  Table-Size:%d",
               static_cast<int32_t>(start_counter_id), static_cast<int32_t>(table_size));
        return ACL_TCAM_FS_ERR_INIT_ARGS;
    }
    fs_log(kLogTrace, "(TCAMFS-EV)Flow TCAM Initialization ....\n");

    // Initialising again starts over: the earlier flows and table are freed
    // and the (now empty) tree is kept, since the tree service cannot
    // destroy a tree.
    if (state.flow_tree != nullptr) {
        const uint32_t dropped = avl_count(state.flow_tree);
        if (!drop_flow_table()) {
            fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_init: error in acl_delete function.\n");
            return ACL_TCAM_FS_ERR_NO_ENTRY;
        }
        fs_log(kLogMilestone, "(TCAMFS-EV)acl_tcam_flow_init: Re-initialization drops %u flows.\n",
               dropped);
    } else {
        state.flow_tree = avl_create(acl_tcam_flow_avl_compare, nullptr);
    }
    if (state.flow_tree == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_init: No Memory Left.\n");
        return ACL_TCAM_FS_ERR_NO_MEMORY;
    }
    state.handle = handle;
    g_start_counter_id = start_counter_id;
    g_counter_table_size = table_size;

    const uint32_t table_bytes = table_size * static_cast<uint32_t>(sizeof(gl_counter_table_t));
    auto *table = static_cast<gl_counter_table_t *>(
        fs_alloc(ACL_TCAM_FS_MEM_gl_counter_table_t, table_bytes));
    if (table == nullptr) {
        state.counter_table = nullptr;
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_init: Failed to Malloc counter table");
        return ACL_TCAM_FS_ERR_NO_MEMORY;
    }
    // Byte by byte, padding included: hosts and memory dumps read the table.
    std::memset(table, 0, table_bytes);
    state.counter_table = table;
    state.next_counter_id = static_cast<uint16_t>(start_counter_id);
    g_num_counters_used = 0;

    request_flow_download();
    return 0;
}

int acl_tcam_flow_is_initialized(void) {
    return state.flow_tree != nullptr ? 1 : 0;
}

void acl_tcam_flow_set_region_init_done(void) {
    state.region_init_done = 1;
}

uint32_t acl_tcam_flow_is_region_init_done(void) {
    return state.region_init_done;
}

uint32_t acl_tcam_get_avl_flow_count(void) {
    if (state.flow_tree == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_get_avl_flow_count: null AVL\n");
        return 0;
    }
    return avl_count(state.flow_tree);
}

// ---- Flow operations: common checks -------------------------------------------

namespace {

// Before initialisation, or after one that could not allocate the counter
// table, flow operations refuse with the "not ready" code and touch nothing.
uint32_t refuse_unless_ready(const char *who, const flow_t *request) {
    if (request == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)%s: NULL Pointer Use.\n", who);
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    if (!flow_table_ready()) {
        fs_log(kLogError, "(TCAMFS-ERR)%s: Flow table not initialized.\n", who);
        return ACL_TCAM_FS_ERR_REGION_NOT_INIT;
    }
    return 0;
}

flow_t *find_flow(const flow_t *key) {
    return static_cast<flow_t *>(avl_find(state.flow_tree, key));
}

} // namespace

// ---- Insertion ----------------------------------------------------------------

namespace {

// The walk callbacks test every node inline and leave the rare match to a
// function of its own, so that a rejected node costs no register saves.
[[gnu::noinline]] void add_finer_flow_reading(const flow_t &node, flow_walk_ctx_t &ctx) {
    flow_hw_stats_t reading{};
    if (const uint32_t rc = acl_tcam_flow_stats_get(node.counter_id, &reading); rc != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)get_finer_flow_stats: error in getting Hw counter with id %d\n",
               node.counter_id);
        ctx.status |= rc;
        return;
    }
    fs_log(kLogTrace,
           "(TCAMFS-EV)get_finer_flow_stats: Got finer flow stats from Hw counter %d for flow "
           "counter %d BYTES: %lli FRAMES: %lli \n",
           node.counter_id, ctx.counter_id, static_cast<long long>(reading.bytes),
           static_cast<long long>(reading.frames));
    ctx.frames += reading.frames;
    ctx.bytes += reading.bytes;
}

} // namespace

int get_finer_flow_stats(void *node_ptr, void *ctx_ptr) {
    if (node_ptr == nullptr || ctx_ptr == nullptr) {
        return 0;
    }
    const auto &node = *static_cast<const flow_t *>(node_ptr);
    auto &ctx = *static_cast<flow_walk_ctx_t *>(ctx_ptr);
    if (is_finer_flow(node, ctx)) {
        add_finer_flow_reading(node, ctx);
    }
    return 0;
}

namespace {

// Claims a counter for the new (not yet stored) record and takes its negative
// baseline: what its finer flows have counted so far.
uint32_t acl_tcam_alloc_flow_entry(flow_t *record) {
    uint16_t id = 0;
    if (!choose_free_counter(&id)) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: Exhausted all counters\n");
        return ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED;
    }
    record->counter_id = id;
    claim_counter(id, record);

    flow_walk_ctx_t ctx = context_for(*record);
    avl_walk(state.flow_tree, get_finer_flow_stats, &ctx);
    if (ctx.status != 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: error in avl_walk\n");
        release_counter(id);
        return ctx.status;
    }
    record->neg_frames = ctx.frames;
    record->neg_bytes = ctx.bytes;
    record->pos_frames = 0;
    record->pos_bytes = 0;
    return 0;
}

} // namespace

uint32_t acl_tcam_flow_set(flow_t *req) {
    if (const uint32_t rc = refuse_unless_ready("acl_tcam_flow_stats_set", req); rc != 0) {
        return rc;
    }
    if (find_flow(req) != nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_stats_set: Flow already exists.\n");
        return ACL_TCAM_FS_ERR_FLOW_EXISTS;
    }
    auto *flow = static_cast<flow_t *>(fs_alloc(ACL_TCAM_FS_MEM_flow_t, sizeof(flow_t)));
    if (flow == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_stats_set: No Memory Left.\n");
        return ACL_TCAM_FS_ERR_NO_MEMORY;
    }
    *flow = flow_t{};
    flow->type = req->type;
    flow->vsan = req->vsan;
    flow->sid = req->sid;
    flow->did = req->did;
    flow->bitmask = req->bitmask;

    if (const uint32_t rc = acl_tcam_alloc_flow_entry(flow); rc != 0) {
        fs_log(
            kLogError,
            "(TCAMFS-ERR)acl_tcam_flow_stats_set: Memory full or All Flow counters exhausted.\n");
        fs_free(flow);
        return rc;
    }
    // A tree that cannot store the record is out of memory: undo the claim.
    if (avl_insert(state.flow_tree, flow) != 0) {
        release_counter(flow->counter_id);
        fs_free(flow);
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_stats_set: No Memory Left.\n");
        return ACL_TCAM_FS_ERR_NO_MEMORY;
    }
    acl_tcam_dump_flow(flow);
    fs_log(kLogTrace,
           "(TCAMFS-EV)### Counter id is %d for v: %d, sid: 0x%x, did: 0x%x, bitmask 0x%x ###\n",
           flow->counter_id, static_cast<int32_t>(flow->vsan), flow->sid, flow->did, flow->bitmask);
    // A failed update leaves the flow stored with its counter; only the
    // host's entry did not move.
    return acl_tcam_flow_handle_update(flow, flow->counter_id, 1, 1);
}

void acl_tcam_dump_flow(const flow_t *flow) {
    if (flow == nullptr) {
        return;
    }
    char text[200];
    format_bounded(text, sizeof text,
                   "Type=%d VSAN=0x%x DID=0x%x SID=0x%x Counter=%d BitMask=0x%x\n", flow->type,
                   flow->vsan, flow->did, flow->sid, flow->counter_id, flow->bitmask);
    fs_log(kLogDump, "(TCAMFS-EV)Flow: %s \n", text);
}

// ---- Query --------------------------------------------------------------------

uint32_t acl_tcam_flow_get(flow_t *req) {
    if (const uint32_t rc = refuse_unless_ready("acl_tcam_flow_get", req); rc != 0) {
        return rc;
    }
    const flow_t *flow = find_flow(req);
    if (flow == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_get: Entry does not exist\n");
        return ACL_TCAM_FS_ERR_NO_ENTRY;
    }
    // From the stored flow, not the request, so that the walk skips the flow
    // itself.
    flow_walk_ctx_t ctx = context_for(*flow);
    avl_walk(state.flow_tree, get_finer_flow_stats, &ctx);
    if (ctx.status != 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_get: error in avl walk.\n");
        return ctx.status;
    }
    flow_hw_stats_t own{};
    if (const uint32_t rc = acl_tcam_flow_stats_get(flow->counter_id, &own); rc != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_flow_get: error in getting hardware counter value.\n");
        return rc;
    }
    // Unsigned and wrapping: a finer counter that went backwards shows as a
    // huge total, not as a clamped zero.
    const uint64_t frames = own.frames + flow->pos_frames + ctx.frames - flow->neg_frames;
    const uint64_t bytes = own.bytes + flow->pos_bytes + ctx.bytes - flow->neg_bytes;
    req->pos_frames = frames;
    req->pos_bytes = bytes;
    fs_log(kLogTrace,
           "(TCAMFS-EV)acl_tcam_flow_get: Final stats for counter id %d: Frames = %lli, Bytes = "
           "%lli \n",
           flow->counter_id, static_cast<long long>(frames), static_cast<long long>(bytes));
    return 0;
}

// ---- Removal ------------------------------------------------------------------

namespace {

// Whether node, a covering flow, is nearer to the walk's subject than the
// covering flow that owns the present choice. Covering flows nest, so it is
// nearer exactly when it lies inside that flow. A choice whose counter names
// no owner names no flow, and any covering flow replaces it.
bool nearer_than_parent(const flow_t &node, uint16_t parent_counter_id) {
    const flow_t *parent = counter_owner(parent_counter_id);
    return parent == nullptr || flow_covered_by(node, *parent);
}

// A covering flow of the removed one: it may be the nearest so far, and it
// takes the removed flow's final reading.
[[gnu::noinline]] void hand_over_to_covering_flow(flow_t &node, flow_walk_ctx_t &ctx) {
    if (ctx.parent_counter_id == 0) {
        fs_log(kLogTrace, "(TCAMFS-EV)Choosing counter: %d(type %d)\n", node.counter_id,
               counter_type(node.counter_id));
        ctx.parent_counter_id = node.counter_id;
    } else {
        fs_log(kLogTrace, "(TCAMFS-EV)Choosing between counter %d(%d) and %d(%d)\n",
               ctx.parent_counter_id, counter_type(ctx.parent_counter_id), node.counter_id,
               counter_type(node.counter_id));
        if (nearer_than_parent(node, ctx.parent_counter_id)) {
            ctx.parent_counter_id = node.counter_id;
        }
        fs_log(kLogTrace, "(TCAMFS-EV)Result = %d .....\n", ctx.parent_counter_id);
    }
    fs_log(kLogTrace, "(TCAMFS-EV)Adding stats to counter with id %d frames %lli (%lli bytes)\n",
           node.counter_id, static_cast<long long>(ctx.frames), static_cast<long long>(ctx.bytes));
    node.pos_frames += ctx.frames;
    node.pos_bytes += ctx.bytes;
}

} // namespace

int set_coarser_flow_stats(void *node_ptr, void *ctx_ptr) {
    if (node_ptr == nullptr || ctx_ptr == nullptr) {
        return 0;
    }
    auto &node = *static_cast<flow_t *>(node_ptr);
    auto &ctx = *static_cast<flow_walk_ctx_t *>(ctx_ptr);
    if (is_covering_flow(node, ctx)) {
        hand_over_to_covering_flow(node, ctx);
    }
    ctx.status = 0;
    return 0;
}

int set_finer_flow_counters(void *node_ptr, void *ctx_ptr) {
    if (node_ptr == nullptr || ctx_ptr == nullptr) {
        return 0;
    }
    auto &node = *static_cast<flow_t *>(node_ptr);
    auto &ctx = *static_cast<flow_walk_ctx_t *>(ctx_ptr);
    // The counter test first: it rejects all but a handful of nodes.
    if (node.counter_id != ctx.counter_id || !is_covering_flow(node, ctx)) {
        return 0;
    }
    fs_log(kLogTrace, "(TCAMFS-EV)Setting Counter from id %d to %d\n", node.counter_id,
           ctx.parent_counter_id);
    node.counter_id = ctx.parent_counter_id;
    ctx.status |= acl_tcam_flow_handle_update(&node, ctx.parent_counter_id, 0, 1);
    return 0;
}

int acl_tcam_get_parent_counter_id(void *node_ptr, void *ctx_ptr) {
    if (node_ptr == nullptr || ctx_ptr == nullptr) {
        return 0;
    }
    const auto &node = *static_cast<const flow_t *>(node_ptr);
    auto &ctx = *static_cast<flow_walk_ctx_t *>(ctx_ptr);
    if (is_covering_flow(node, ctx)) {
        if (ctx.parent_counter_id == 0 || nearer_than_parent(node, ctx.parent_counter_id)) {
            ctx.parent_counter_id = node.counter_id;
        }
        fs_log(kLogMilestone, "(TCAMFS-EV)New parent counter id for flow is %d \n",
               ctx.parent_counter_id);
    }
    ctx.status = 0;
    return 0;
}

uint32_t acl_tcam_flow_del(flow_t *key) {
    if (const uint32_t rc = refuse_unless_ready("acl_tcam_flow_stats_del", key); rc != 0) {
        return rc;
    }
    flow_t *flow = find_flow(key);
    if (flow == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_stats_del: No Entry to be deleted.\n");
        return 0;
    }
    flow_hw_stats_t reading{};
    if (const uint32_t rc = acl_tcam_flow_stats_get(flow->counter_id, &reading); rc != 0) {
        fs_log(
            kLogError,
            "(TCAMFS-ERR)acl_tcam_flow_del: error in getting Hw stats from counter with id %d \n",
            flow->counter_id);
        return rc;
    }
    flow_walk_ctx_t ctx = context_for(*flow);
    ctx.frames = reading.frames;
    ctx.bytes = reading.bytes;

    // Hand the final reading to every covering flow and choose the nearest
    // one's counter; then move covering flows sharing the counter onto it.
    avl_walk(state.flow_tree, set_coarser_flow_stats, &ctx);
    avl_walk(state.flow_tree, set_finer_flow_counters, &ctx);
    if (ctx.status != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_flow_del: error in setting counter ids for finer flows.\n");
        return ctx.status;
    }
    fs_log(kLogTrace, "(TCAMFS-EV)Setting the counter id of flow to parent id: %d \n",
           ctx.parent_counter_id);

    // While the host moves the entry, the counter reads as free, so a counter
    // choice made from inside the callback prefers any counter in use.
    gl_counter_table_t &entry = state.counter_table[flow->counter_id];
    entry.in_use = 0;
    entry.type = 0;
    if (const uint32_t rc = acl_tcam_flow_handle_update(flow, ctx.parent_counter_id, 0, 1);
        rc != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_flow_del: error in setting counter id for the flow to: 0x%x\n",
               ctx.parent_counter_id);
        // The flow stays stored and keeps its counter: claim it back.
        entry.in_use = 1;
        entry.type = flow->type;
        return rc;
    }
    const uint16_t counter_id = flow->counter_id;
    release_counter(counter_id);
    auto *removed = static_cast<flow_t *>(avl_delete(state.flow_tree, key));
    if (removed == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_del: error in acl_delete function.\n");
        // Still stored: it keeps owning its counter.
        claim_counter(counter_id, flow);
        return ACL_TCAM_FS_ERR_NO_ENTRY;
    }
    fs_free(removed);
    return 0;
}

// ---- Counter lookup -----------------------------------------------------------

namespace {

const flow_t *find_key(flow_t &key, uint32_t type, uint32_t sid, uint32_t did) {
    key.type = static_cast<uint16_t>(type);
    key.sid = sid;
    key.did = did;
    key.bitmask = bitmask_of_type(type);
    return state.flow_tree != nullptr ? find_flow(&key) : nullptr;
}

} // namespace

uint32_t acl_tcam_flow_get_counter_id(uint32_t vsan, uint32_t sid, uint32_t did, uint32_t type,
                                      uint32_t *out) {
    if (bitmask_of_type(type) == 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_flow_get_counter_id: Invalid flow type %d \n",
               static_cast<int32_t>(type));
        return 0;
    }
    if (out == nullptr) {
        return 0;
    }
    // Finest first: the exact flow, its domain pair, its VSAN.
    flow_t key{};
    key.vsan = vsan;
    if (const flow_t *flow = find_key(key, type, sid, did); flow != nullptr) {
        *out = flow->counter_id;
        fs_log(kLogMilestone, "(TCAMFS-EV)Flow Found counter id: %d\n", flow->counter_id);
        return 0;
    }
    if (type == FLOW_TYPE_SID_DID) {
        const flow_t *flow =
            find_key(key, FLOW_TYPE_DOMAIN, sid & FLOW_DOMAIN_MASK, did & FLOW_DOMAIN_MASK);
        if (flow != nullptr) {
            *out = flow->counter_id;
            fs_log(kLogMilestone, "(TCAMFS-EV)Coarser flow (dom-based) found counter id: %d\n",
                   flow->counter_id);
            return 0;
        }
    }
    if (type == FLOW_TYPE_SID_DID || type == FLOW_TYPE_DOMAIN) {
        if (const flow_t *flow = find_key(key, FLOW_TYPE_VSAN, 0, 0); flow != nullptr) {
            *out = flow->counter_id;
            fs_log(kLogMilestone, "(TCAMFS-EV)Coarser flow (vsan-based) found counter id: %d\n",
                   flow->counter_id);
            return 0;
        }
    }
    *out = 0;
    fs_log(kLogTrace, "(TCAMFS-EV)Exit Point: Counter id = 0x%x\n", 0u);
    return 0;
}

uint32_t acl_tcam_flow_choose_counter(uint32_t first, uint32_t second, uint32_t *out) {
    // An id without an entry (no table yet, or outside it) reads as free.
    static constexpr gl_counter_table_t kFree{};
    const gl_counter_table_t *a = counter_entry(first);
    const gl_counter_table_t *b = counter_entry(second);
    a = a != nullptr ? a : &kFree;
    b = b != nullptr ? b : &kFree;
    fs_log(kLogTrace, "(TCAMFS-EV)Choosing between counter %d(%d) and %d(%d) \n",
           static_cast<int32_t>(first), a->type, static_cast<int32_t>(second), b->type);
    if (out == nullptr) {
        return 0;
    }
    if (state.counter_table == nullptr) {
        *out = 0;
    } else if (a->type != b->type) {
        *out = a->type > b->type ? first : second;
    } else {
        *out = b->in_use != 0 ? second : first;
    }
    return 0;
}

// ---- Display ------------------------------------------------------------------
//
// The table goes to standard output and, chunk by chunk, into the exported
// reply buffer. Rows are formatted straight into the buffer and the same bytes
// written to standard output, so a display allocates nothing. A chunk is sent
// as soon as its text passes the flush threshold, which lies far enough below
// the capacity that the next line always fits.

namespace {

constexpr vexa_addr_t kReplyDestination{0xfe000000u, 0};

constexpr const char *kDisplayHeader[] = {
    ACL_TCAM_WIRE_DISPLAY_HEADER_0,
    ACL_TCAM_WIRE_DISPLAY_HEADER_1,
    ACL_TCAM_WIRE_DISPLAY_HEADER_2,
    ACL_TCAM_WIRE_DISPLAY_HEADER_3,
};
static_assert(std::size(kDisplayHeader) == ACL_TCAM_WIRE_DISPLAY_HEADER_LINES);

// Text bytes of the chunk being built (text_len, kept natively here; the
// buffer holds it big-endian).
uint32_t print_len;

uint32_t send_print_chunk(uint32_t last_chunk) {
    acl_tcam_fs_print_reply_t &reply = acl_tcam_fs_print_reply;
    reply.text[print_len] = '\0';
    store_be32(&reply.last_chunk, last_chunk);
    store_be32(&reply.text_len, print_len);
    const int rc = vexa_send(state.handle, &kReplyDestination, 0, &reply,
                             ACL_TCAM_FS_PRINT_REPLY_LEN, 0, &state.request_desc, 0);
    // Sent or not, the chunk is gone; the display goes on with an empty one.
    print_len = 0;
    store_be32(&reply.text_len, 0);
    return static_cast<uint32_t>(rc);
}

[[gnu::format(printf, 1, 2)]] void print_line(const char *format, ...) {
    char *at = acl_tcam_fs_print_reply.text + print_len;
    const size_t room = ACL_TCAM_FS_PRINT_TEXT_CAPACITY - print_len;
    va_list args;
    va_start(args, format);
    const int length = vformat_bounded(at, room, format, args);
    va_end(args);
    const size_t written = length < 0 ? 0 : std::min(static_cast<size_t>(length), room - 1);
    std::fwrite(at, 1, written, stdout);
    print_len += static_cast<uint32_t>(written);
    if (print_len > ACL_TCAM_FS_PRINT_FLUSH_THRESHOLD) {
        send_print_chunk(0);
    }
}

// Every display ends with a chunk marked last, even when its final line
// filled the previous chunk: then the last chunk is empty, and a receiver
// waiting for it is never left hanging.
uint32_t finish_display() {
    return send_print_chunk(1);
}

int acl_tcam_print_this_flow(void *node_ptr, void * /*ctx*/) {
    const auto &flow = *static_cast<const flow_t *>(node_ptr);
    flow_hw_stats_t reading{};
    if (acl_tcam_flow_stats_get(flow.counter_id, &reading) != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_print_this_flow: error in getting Hw counter with id %d\n",
               flow.counter_id);
        return 0;
    }
    print_line(ACL_TCAM_WIRE_ROW_FORMAT, flow.type, static_cast<int32_t>(flow.vsan), flow.sid,
               flow.did, flow.counter_id, static_cast<unsigned long long>(reading.frames),
               static_cast<unsigned long long>(reading.bytes),
               static_cast<unsigned long long>(flow.pos_frames),
               static_cast<unsigned long long>(flow.pos_bytes),
               static_cast<unsigned long long>(flow.neg_frames),
               static_cast<unsigned long long>(flow.neg_bytes));
    return 0;
}

} // namespace

uint32_t acl_tcam_print_flows_info(const void *request_msg) {
    state.request_desc = acl_tcam_fs_msg_desc_t{};
    if (request_msg != nullptr) {
        std::memcpy(&state.request_desc, request_msg, sizeof state.request_desc.words + 1);
    }
    if (state.flow_tree == nullptr) {
        print_line(ACL_TCAM_WIRE_DISPLAY_NOT_INIT);
        return finish_display();
    }
    for (const char *line : kDisplayHeader) {
        print_line("%s\n", line);
    }
    avl_walk(state.flow_tree, acl_tcam_print_this_flow, nullptr);
    return finish_display();
}
