/*
 * A minimal line-card host of the ACL TCAM Flow Stats Library in C11, on the
 * installed package with its in-process platform stand-ins (see README.md).
 * It exports the three callbacks the library looks up by name, keeps a TCAM
 * (an entry per flow key, each counting on a hardware counter, moved when the
 * library says so), and hands the library its requests as the platform's
 * message service would. The traffic is made up: frames of SID/DID pairs, each
 * counted on the most specific entry matching it. Exits 0 only if every total
 * read equals the traffic injected into the flow since it was added.
 */
#include <acl_tcam/acl_tcam_flow_stats.h>
#include <acl_tcam/acl_tcam_flow_wire.h>
#include <acl_tcam/platform_sim.h>

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#if ACL_TCAM_FS_VERSION_MAJOR != 1 || ACL_TCAM_FS_VERSION_MINOR < 1
#error "written for release 1.1 (the wire helper) or a later 1.x"
#endif

enum {
    HANDLE = 1,    /* message-service handle; replies go out on it */
    COUNTERS = 16, /* hardware counters 1 to 15 are the library's */
    MAX_ENTRIES = 32,
};

/* A flow key as the library stores it: a domain flow keeps only the domain
 * byte of sid and did, a VSAN flow neither. */
typedef struct flow_key {
    uint32_t type, vsan, sid, did;
} flow_key_t;

typedef struct entry {
    flow_key_t key;
    uint16_t counter_id; /* 0: counts nowhere */
} entry_t;

static entry_t tcam[MAX_ENTRIES];
static size_t tcam_used;
static flow_hw_stats_t counters[COUNTERS];

/* Whether every frame of the finer key falls inside the coarser flow. */
static int covers(flow_key_t flow, flow_key_t finer) {
    return flow.vsan == finer.vsan && flow.type < finer.type &&
           (flow.type == FLOW_TYPE_VSAN || ((finer.sid & FLOW_DOMAIN_MASK) == flow.sid &&
                                            (finer.did & FLOW_DOMAIN_MASK) == flow.did));
}

static entry_t *find_entry(flow_key_t key) {
    for (size_t i = 0; i < tcam_used; i++) {
        if (memcmp(&tcam[i].key, &key, sizeof key) == 0) {
            return &tcam[i];
        }
    }
    return NULL;
}

/* The three callbacks, found by name in the global symbol scope (hence
 * -rdynamic). Log texts: errors (kind 2) to standard error, the rest dropped. */
void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text) {
    (void)level;
    if (kind == 2) {
        fprintf(stderr, "library: %s", text);
    }
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    if (stats == NULL || counter_id >= COUNTERS) {
        return (int32_t)ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    *stats = counters[counter_id];
    return 0;
}

/* The library forgets a removed flow, but its entry stays in the TCAM, parked
 * on the counter of the nearest flow covering it: keeping parked entries right
 * is the host's part (see this callback in the library's header). */
int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    if (update == NULL || update->flow == NULL || update->counter_id >= COUNTERS) {
        return (int32_t)ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    const flow_t *flow = update->flow;
    const flow_key_t key = {flow->type, flow->vsan, flow->sid, flow->did};
    entry_t *own = find_entry(key);
    if (own == NULL && tcam_used == MAX_ENTRIES) {
        return (int32_t)ACL_TCAM_FS_ERR_NO_MEMORY;
    }
    if (own == NULL) {
        own = &tcam[tcam_used++];
        own->key = key;
    }
    if (update->install == 1) {
        /* A new flow, on a counter that may have served another: start it
         * from zero. Entries inside it, parked ones too, now count where the
         * library says: on the new counter where the new flow is now the most
         * specific one covering them. */
        counters[update->counter_id] = (flow_hw_stats_t){0, 0};
        for (size_t i = 0; i < tcam_used; i++) {
            if (covers(key, tcam[i].key)) {
                uint32_t id = 0;
                acl_tcam_flow_get_counter_id(tcam[i].key.vsan, tcam[i].key.sid, tcam[i].key.did,
                                             tcam[i].key.type, &id);
                tcam[i].counter_id = (uint16_t)id;
            }
        }
    } else {
        /* A flow going away (its record still names its old counter): every
         * entry on that counter moves with its own to the given one (0: none),
         * or it would count on a counter that no flow reads any more. */
        for (size_t i = 0; i < tcam_used; i++) {
            if (tcam[i].counter_id == flow->counter_id) {
                tcam[i].counter_id = update->counter_id;
            }
        }
    }
    own->counter_id = update->counter_id;
    return 0;
}

/* The flows this host configures, and the traffic each should show. */
typedef struct demo_flow {
    const char *name;
    flow_key_t key;
    int live;
    uint64_t frames, bytes; /* injected into the flow since it was added */
} demo_flow_t;

static demo_flow_t vsan_flow = {.name = "vsan 10", .key = {FLOW_TYPE_VSAN, 10, 0, 0}};
static demo_flow_t domain_flow = {.name = "domain 10 0x01xxxx->0x02xxxx",
                                  .key = {FLOW_TYPE_DOMAIN, 10, 0x010000, 0x020000}};
static demo_flow_t exact_flow = {.name = "exact 10 0x010001->0x020001",
                                 .key = {FLOW_TYPE_SID_DID, 10, 0x010001, 0x020001}};
static demo_flow_t *const flows[] = {&vsan_flow, &domain_flow, &exact_flow};
static int failures;

/* Frames of one conversation, counted on the most specific matching entry. */
static void inject(uint32_t vsan, uint32_t sid, uint32_t did, uint64_t frames, uint64_t bytes) {
    const flow_key_t matching[] = {
        {FLOW_TYPE_SID_DID, vsan, sid, did},
        {FLOW_TYPE_DOMAIN, vsan, sid & FLOW_DOMAIN_MASK, did & FLOW_DOMAIN_MASK},
        {FLOW_TYPE_VSAN, vsan, 0, 0},
    };
    const entry_t *hit = NULL;
    for (size_t i = 0; i < 3 && hit == NULL; i++) {
        hit = find_entry(matching[i]);
    }
    const uint16_t counter_id = hit != NULL ? hit->counter_id : 0;
    if (counter_id != 0) {
        counters[counter_id].frames += frames;
        counters[counter_id].bytes += bytes;
    }
    for (size_t i = 0; i < sizeof flows / sizeof flows[0]; i++) {
        demo_flow_t *f = flows[i];
        if (f->live &&
            (memcmp(&f->key, matching, sizeof f->key) == 0 || covers(f->key, matching[0]))) {
            f->frames += frames;
            f->bytes += bytes;
        }
    }
    printf("traffic %" PRIu32 " 0x%06" PRIx32 "->0x%06" PRIx32 ": %" PRIu64 " frames, %" PRIu64
           " bytes on counter %u\n",
           vsan, sid, did, frames, bytes, (unsigned)counter_id);
}

/* The stand-ins' message service hands every send of the library to this
 * sink: a reply, a display chunk or the initial download request. */
static uint8_t reply[ACL_TCAM_FS_CMI_LEN];
static size_t reply_len;
static char display[4096];
static size_t display_len;
static int display_chunks, display_complete;

static int on_send(void *user, const vexa_sim_sent_t *sent) {
    (void)user;
    acl_tcam_wire_chunk_t chunk;
    uint32_t slot;
    if (acl_tcam_wire_decode_chunk(sent->payload, sent->len, &chunk) == 0) {
        if (chunk.text_len < sizeof display - display_len) {               /* a small table here */
            memcpy(display + display_len, chunk.text, chunk.text_len + 1); /* with its NUL */
            display_len += chunk.text_len;
        }
        display_chunks++;
        display_complete = chunk.last;
    } else if (acl_tcam_wire_decode_download(sent->payload, sent->len, &slot) == 0) {
        printf("download request: the library asks for the flows of slot %" PRIu32 "\n", slot);
    } else if (sent->len <= sizeof reply) {
        memcpy(reply, sent->payload, sent->len);
        reply_len = sent->len;
    }
    return 0;
}

/* Hands the library a request as the message service would deliver it, and
 * reads the reply. 0, or -1 when no reply came. */
static int request(int32_t msg_type, const demo_flow_t *f, acl_tcam_wire_reply_t *out) {
    static uint32_t tag;
    uint8_t payload[ACL_TCAM_FS_CMI_LEN] = {0};
    const acl_tcam_wire_request_t r =
        acl_tcam_wire_flow_request(msg_type, f->key.type, f->key.vsan, f->key.sid, f->key.did, 1);
    acl_tcam_wire_encode_request(payload, &r);
    acl_tcam_wire_put_tag(payload, ++tag); /* handed back in the reply */
    const vexa_msg_t msg = {.desc = {tag}, .payload = payload, .payload_len = sizeof payload};
    reply_len = 0;
    acl_tcam_flow_process_stats_msg(HANDLE, &msg);
    return acl_tcam_wire_decode_reply(reply, reply_len, out) == 0 && out->tag == tag ? 0 : -1;
}

/* Adds (ACL_TCAM_FS_MSG_SET) or removes (ACL_TCAM_FS_MSG_DEL) a flow. */
static void change(int32_t msg_type, demo_flow_t *f) {
    acl_tcam_wire_reply_t r = {0};
    const int ok = request(msg_type, f, &r) == 0 && r.status == 0;
    printf("%s %s: %s\n", msg_type == ACL_TCAM_FS_MSG_SET ? "add" : "remove", f->name,
           ok ? "ok" : acl_tcam_wire_status_text(r.status));
    failures += !ok;
    f->live = msg_type == ACL_TCAM_FS_MSG_SET;
    f->frames = f->bytes = 0;
}

/* Reads a flow's totals and checks them against the traffic injected. */
static uint64_t query(const demo_flow_t *f) {
    acl_tcam_wire_reply_t r = {0};
    const int ok = request(ACL_TCAM_FS_MSG_GET, f, &r) == 0 && r.full;
    const int right = ok && r.frames == f->frames && r.bytes == f->bytes;
    printf("get %s: %" PRIu64 " frames, %" PRIu64 " bytes%s\n", f->name, r.frames, r.bytes,
           right ? "" : "  <- not the traffic injected");
    failures += !right;
    return r.frames;
}

int main(void) {
    /* Without -rdynamic the library finds no callback, and says nothing. */
    const uint32_t missing = acl_tcam_wire_missing_callbacks();
    if (missing != 0) {
        fprintf(stderr,
                "host: callbacks not exported (ACL_TCAM_WIRE_MISSING_* 0x%" PRIx32
                "): link with -rdynamic (CMake: ENABLE_EXPORTS ON)\n",
                missing);
        return 2;
    }
    vexa_sim_set_sink(on_send, NULL);
    if (acl_tcam_flow_init(HANDLE, 1, COUNTERS) != 0) {
        fprintf(stderr, "host: acl_tcam_flow_init failed\n");
        return 1;
    }
    acl_tcam_flow_set_region_init_done();

    change(ACL_TCAM_FS_MSG_SET, &vsan_flow);
    change(ACL_TCAM_FS_MSG_SET, &domain_flow);
    change(ACL_TCAM_FS_MSG_SET, &exact_flow);
    inject(10, 0x010001, 0x020001, 10, 10000); /* the exact pair */
    inject(10, 0x010002, 0x020003, 5, 2500);   /* another pair between the two domains */
    inject(10, 0x030001, 0x040001, 2, 200);    /* elsewhere in the VSAN */
    inject(20, 0x010001, 0x020001, 3, 300);    /* another VSAN: no flow */
    query(&vsan_flow);
    const uint64_t domain_before = query(&domain_flow);
    query(&exact_flow);

    /* The removed flow's counts pass to the flows covering it; its entry
     * stays, parked on the domain flow's counter, and goes on counting. */
    change(ACL_TCAM_FS_MSG_DEL, &exact_flow);
    inject(10, 0x010001, 0x020001, 4, 4000);
    failures += query(&domain_flow) < domain_before; /* the total must not drop */
    query(&vsan_flow);

    /* The domain flow goes too: the entries on its counter move to the VSAN
     * flow's. Added again, it takes back the parked entries inside it. */
    change(ACL_TCAM_FS_MSG_DEL, &domain_flow);
    inject(10, 0x010001, 0x020001, 3, 300);
    change(ACL_TCAM_FS_MSG_SET, &domain_flow);
    inject(10, 0x010001, 0x020001, 7, 700);
    query(&domain_flow);
    query(&vsan_flow);

    /* A display answers the request whose first 25 bytes it is given. The
     * library prints the table on standard output too. */
    const vexa_msg_t display_request = {.desc = {0xd15}};
    printf("display, as the library prints it:\n");
    acl_tcam_print_flows_info(&display_request);
    printf("display, as a requester reads it: %d chunk(s)%s\n%s", display_chunks,
           display_complete ? "" : ", the last one not marked last", display);
    failures += !display_complete;

    printf("%s\n", failures == 0 ? "every total matches the traffic" : "FAILED");
    return failures == 0 ? 0 : 1;
}
