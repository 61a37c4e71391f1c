// A scripted host process for the library's tests: it exports the callbacks
// a test asks for, plays the hardware (counter readings and failures per
// counter id, entry-update results), and records every log line, counter
// read, entry update and message send in the order they happened.
#ifndef TEST_HOST_H
#define TEST_HOST_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "platform_sim.h"

namespace test {

enum Callback : unsigned { kDebug = 1, kStats = 2, kUpdate = 4, kAllCallbacks = 7 };

struct LogLine {
    uint32_t level;
    uint32_t kind;
    std::string text;
};

struct UpdateCall {
    flow_t *flow;
    uint16_t counter_id;
    uint32_t install;
    uint32_t flag;
    bool operator==(const UpdateCall &) const = default;
};

struct SentMessage {
    uint32_t handle;
    vexa_addr_t dst;
    uint32_t opcode;
    std::vector<uint8_t> payload;
    bool has_reply_to;
    std::array<uint8_t, VEXA_SIM_DESC_LEN> reply_to;
};

class Host {
public:
    explicit Host(unsigned callbacks = kAllCallbacks);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Makes more callbacks visible in the global scope (cannot be undone).
    void export_callbacks(unsigned callbacks);

    // The hardware.
    void set_counter(uint32_t id, uint64_t frames, uint64_t bytes);
    // A read of the counter fails with code; 0 makes it succeed again.
    void fail_read(uint32_t id, int32_t code);
    // Result of each entry update; 0 by default.
    std::function<int32_t(const flow_handle_update_t &)> update_result;
    // Runs inside every update callback, after it was recorded.
    std::function<void(const flow_handle_update_t &)> during_update;
    // Result of each send and the errno a failed one leaves; 0 by default.
    int send_result = 0;
    int send_errno = 0;
    // One-shot faults, counted from when they are set (1 = the next one): the
    // nth read or update returns fail_call_code, the nth send fail_send_result.
    uint32_t fail_call_nth = 0;
    int32_t fail_call_code = 0;
    uint32_t fail_send_nth = 0;
    int fail_send_result = -1;

    // What happened; events holds "log <text>", "read <id>" and "update
    // <flow's counter>-><counter> install <n>" in order.
    std::vector<LogLine> logs;
    std::vector<uint32_t> reads;
    std::vector<UpdateCall> updates;
    std::vector<SentMessage> sent;
    std::vector<std::string> events;

    void clear();
    std::vector<std::string> texts() const;

private:
    static void on_debug(uint32_t level, uint32_t kind, const char *text);
    static int32_t on_stats(uint32_t id, flow_hw_stats_t *stats);
    static int32_t on_update(flow_handle_update_t *update);
    static int on_send(void *user, const vexa_sim_sent_t *sent);

    std::map<uint32_t, flow_hw_stats_t> counters_;
    std::map<uint32_t, int32_t> read_failures_;
};

// Request records as the decoder builds them.
flow_t vsan_flow(uint32_t vsan);
flow_t domain_flow(uint32_t vsan, uint32_t sid, uint32_t did);
flow_t exact_flow(uint32_t vsan, uint32_t sid, uint32_t did);

// The library's counter table: the live block of its type; nullptr if none.
const gl_counter_table_t *counter_table();

// The flow table holds stored flows and keeps its invariants (table_check.h).
void expect_consistent(uint32_t stored);

} // namespace test

#endif // TEST_HOST_H
