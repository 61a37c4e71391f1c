#include "test_host.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

#include "table_check.h"

namespace test {

namespace {

Host *current = nullptr;

// Counts an armed one-shot fault down; true when it fires now.
bool fires(uint32_t &nth) {
    return nth != 0 && --nth == 0;
}

// Loads the shim library that defines one callback and points its hook at fn.
template <class Fn>
void install_hook(const char *path, const char *hook_name, Fn *fn) {
    void *lib = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto **hook = static_cast<Fn **>(dlsym(lib, hook_name));
    ASSERT_NE(hook, nullptr) << dlerror();
    *hook = fn;
}

} // namespace

Host::Host(unsigned callbacks) {
    current = this;
    vexa_sim_set_sink(&Host::on_send, this);
    export_callbacks(callbacks);
}

Host::~Host() {
    vexa_sim_set_sink(nullptr, nullptr);
    current = nullptr;
}

void Host::export_callbacks(unsigned callbacks) {
    if ((callbacks & kDebug) != 0) {
        install_hook(TEST_CB_DEBUG, "test_debug_hook", &Host::on_debug);
    }
    if ((callbacks & kStats) != 0) {
        install_hook(TEST_CB_STATS, "test_stats_hook", &Host::on_stats);
    }
    if ((callbacks & kUpdate) != 0) {
        install_hook(TEST_CB_UPDATE, "test_update_hook", &Host::on_update);
    }
}

void Host::set_counter(uint32_t id, uint64_t frames, uint64_t bytes) {
    counters_[id] = flow_hw_stats_t{frames, bytes};
}

void Host::fail_read(uint32_t id, int32_t code) {
    read_failures_[id] = code;
}

void Host::clear() {
    logs.clear();
    reads.clear();
    updates.clear();
    sent.clear();
    events.clear();
}

std::vector<std::string> Host::texts() const {
    std::vector<std::string> out;
    for (const LogLine &line : logs) {
        out.push_back(line.text);
    }
    return out;
}

void Host::on_debug(uint32_t level, uint32_t kind, const char *text) {
    current->logs.push_back({level, kind, text});
    current->events.push_back(std::string("log ") + text);
}

int32_t Host::on_stats(uint32_t id, flow_hw_stats_t *stats) {
    current->reads.push_back(id);
    current->events.push_back("read " + std::to_string(id));
    if (fires(current->fail_call_nth)) {
        return current->fail_call_code;
    }
    if (const int32_t code = current->read_failures_[id]; code != 0) {
        return code;
    }
    if (auto counter = current->counters_.find(id); counter != current->counters_.end()) {
        *stats = counter->second;
    }
    return 0;
}

int32_t Host::on_update(flow_handle_update_t *update) {
    current->updates.push_back({update->flow, update->counter_id, update->install, update->flag});
    current->events.push_back("update " + std::to_string(update->flow->counter_id) + "->" +
                              std::to_string(update->counter_id) + " install " +
                              std::to_string(update->install));
    if (current->during_update) {
        current->during_update(*update);
    }
    if (fires(current->fail_call_nth)) {
        return current->fail_call_code;
    }
    return current->update_result ? current->update_result(*update) : 0;
}

int Host::on_send(void *user, const vexa_sim_sent_t *m) {
    auto *host = static_cast<Host *>(user);
    SentMessage copy{
        m->handle, m->dst, m->opcode, {m->payload, m->payload + m->len}, m->has_reply_to != 0, {}};
    std::memcpy(copy.reply_to.data(), m->reply_to, copy.reply_to.size());
    host->sent.push_back(std::move(copy));
    if (fires(host->fail_send_nth)) {
        return host->fail_send_result;
    }
    if (host->send_result != 0) {
        errno = host->send_errno;
    }
    return host->send_result;
}

namespace {
flow_t make_flow(uint16_t type, uint32_t bitmask, uint32_t vsan, uint32_t sid, uint32_t did) {
    flow_t f{};
    f.type = type;
    f.vsan = vsan;
    f.sid = sid;
    f.did = did;
    f.bitmask = bitmask;
    return f;
}
} // namespace

flow_t vsan_flow(uint32_t vsan) {
    return make_flow(FLOW_TYPE_VSAN, FLOW_MASK_VSAN, vsan, 0, 0);
}

flow_t domain_flow(uint32_t vsan, uint32_t sid, uint32_t did) {
    return make_flow(FLOW_TYPE_DOMAIN, FLOW_MASK_DOMAIN, vsan, sid & FLOW_DOMAIN_MASK,
                     did & FLOW_DOMAIN_MASK);
}

flow_t exact_flow(uint32_t vsan, uint32_t sid, uint32_t did) {
    return make_flow(FLOW_TYPE_SID_DID, FLOW_MASK_SID_DID, vsan, sid, did);
}

const gl_counter_table_t *counter_table() {
    return static_cast<const gl_counter_table_t *>(
        mtrack_sim_last_block(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t));
}

void expect_consistent(uint32_t stored) {
    EXPECT_EQ(model::check_table(stored).error, "");
}

} // namespace test
