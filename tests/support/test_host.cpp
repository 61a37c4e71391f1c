#include "test_host.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace test {

namespace {

Host *current = nullptr;

struct Shim {
    Callback which;
    const char *path;
    const char *hook;
};
constexpr Shim kShims[] = {
    {kDebug, TEST_CB_DEBUG, "test_debug_hook"},
    {kStats, TEST_CB_STATS, "test_stats_hook"},
    {kUpdate, TEST_CB_UPDATE, "test_update_hook"},
};

template <class Fn>
void install_hook(const Shim &shim, Fn *fn) {
    void *lib = dlopen(shim.path, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto **hook = static_cast<Fn **>(dlsym(lib, shim.hook));
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
    for (const Shim &shim : kShims) {
        if ((callbacks & shim.which) == 0) {
            continue;
        }
        switch (shim.which) {
        case kDebug:
            install_hook(shim, &Host::on_debug);
            break;
        case kStats:
            install_hook(shim, &Host::on_stats);
            break;
        default:
            install_hook(shim, &Host::on_update);
            break;
        }
    }
}

void Host::set_counter(uint32_t id, uint64_t frames, uint64_t bytes) {
    counters_[id] = flow_hw_stats_t{frames, bytes};
}

void Host::fail_read(uint32_t id, int32_t code) {
    if (code != 0) {
        read_failures_[id] = code;
    } else {
        read_failures_.erase(id);
    }
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

size_t Host::count(std::string_view text) const {
    size_t n = 0;
    for (const LogLine &line : logs) {
        n += line.text == text ? 1 : 0;
    }
    return n;
}

// The hooks stay installed after the host is gone; then they do nothing.
void Host::on_debug(uint32_t level, uint32_t kind, const char *text) {
    if (current == nullptr) {
        return;
    }
    current->logs.push_back({level, kind, text});
    current->events.push_back(std::string("log ") + text);
}

int32_t Host::on_stats(uint32_t id, flow_hw_stats_t *stats) {
    if (current == nullptr) {
        return 0;
    }
    current->reads.push_back(id);
    current->events.push_back("read " + std::to_string(id));
    if (auto failure = current->read_failures_.find(id); failure != current->read_failures_.end()) {
        return failure->second;
    }
    if (auto counter = current->counters_.find(id); counter != current->counters_.end()) {
        *stats = counter->second;
    }
    return 0;
}

int32_t Host::on_update(flow_handle_update_t *update) {
    if (current == nullptr) {
        return 0;
    }
    current->updates.push_back(
        {update->flow, *update->flow, update->counter_id, update->install, update->flag});
    current->events.push_back("update " + std::to_string(update->flow->counter_id) + "->" +
                              std::to_string(update->counter_id) + " install " +
                              std::to_string(update->install));
    if (current->during_update) {
        current->during_update(*update);
    }
    return current->update_result ? current->update_result(*update) : 0;
}

int Host::on_send(void *user, const vexa_sim_sent_t *m) {
    auto *host = static_cast<Host *>(user);
    SentMessage copy{
        m->handle, m->dst, m->opcode, {m->payload, m->payload + m->len}, m->has_reply_to != 0, {}};
    std::memcpy(copy.reply_to.data(), m->reply_to, copy.reply_to.size());
    host->sent.push_back(std::move(copy));
    if (host->send_result != 0) {
        errno = host->send_errno;
    }
    return host->send_result;
}

flow_t vsan_flow(uint32_t vsan) {
    flow_t f{};
    f.type = FLOW_TYPE_VSAN;
    f.vsan = vsan;
    f.bitmask = FLOW_MASK_VSAN;
    return f;
}

flow_t domain_flow(uint32_t vsan, uint32_t sid, uint32_t did) {
    flow_t f{};
    f.type = FLOW_TYPE_DOMAIN;
    f.vsan = vsan;
    f.sid = sid & FLOW_DOMAIN_MASK;
    f.did = did & FLOW_DOMAIN_MASK;
    f.bitmask = FLOW_MASK_DOMAIN;
    return f;
}

flow_t exact_flow(uint32_t vsan, uint32_t sid, uint32_t did) {
    flow_t f{};
    f.type = FLOW_TYPE_SID_DID;
    f.vsan = vsan;
    f.sid = sid;
    f.did = did;
    f.bitmask = FLOW_MASK_SID_DID;
    return f;
}

const gl_counter_table_t *counter_table() {
    return static_cast<const gl_counter_table_t *>(
        mtrack_sim_last_block(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t));
}

} // namespace test
