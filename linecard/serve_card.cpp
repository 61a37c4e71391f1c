#include "serve_card.h"

#include <cinttypes>
#include <string>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "request.h"
#include "serve_log.h"

namespace serve {

namespace {

Card the_card;

std::optional<int32_t> msg_type_of(std::span<const uint8_t> payload) {
    if (payload.size() < ACL_TCAM_WIRE_MSG_TYPE_AT + 4) {
        return std::nullopt;
    }
    return static_cast<int32_t>(acl_tcam_wire_get_be32(&payload[ACL_TCAM_WIRE_MSG_TYPE_AT]));
}

} // namespace

Card &card() {
    return the_card;
}

void note_flow_request(std::span<const uint8_t> request, uint32_t status) {
    const std::optional<int32_t> msg_type = msg_type_of(request);
    if (status != 0 || !msg_type ||
        (*msg_type != ACL_TCAM_FS_MSG_SET && *msg_type != ACL_TCAM_FS_MSG_DEL)) {
        return;
    }
    const model::DecodedRequest decoded = model::decode_request(request);
    if (decoded.refusal != 0) {
        return; // the library accepted nothing it could not decode
    }
    if (*msg_type == ACL_TCAM_FS_MSG_SET) {
        the_card.truth.start(tcam_model::entry_key(decoded.key));
    } else {
        the_card.truth.stop(tcam_model::entry_key(decoded.key));
    }
}

void check_sent(std::span<const uint8_t> payload) {
    if (payload.size() != ACL_TCAM_FS_CMI_LEN) {
        return; // short replies, display chunks, the download request
    }
    const std::optional<int32_t> msg_type = msg_type_of(payload);
    if (!msg_type || (*msg_type != ACL_TCAM_FS_MSG_GET && *msg_type != ACL_TCAM_FS_MSG_GET_ALT)) {
        return;
    }
    const std::optional<model::FlowReply> reply = model::decode_reply(payload);
    const model::DecodedRequest decoded = model::decode_request(payload);
    if (!reply || reply->status != 0 || decoded.refusal != 0) {
        return;
    }
    const model::FlowKey &key = decoded.key;
    ++the_card.queries_checked;
    const tcam_model::Counter *live = the_card.truth.of(tcam_model::entry_key(key));
    // Before the region is ready every query is answered with zero totals.
    const bool may_be_absent = acl_tcam_flow_is_region_init_done() == 0;
    const tcam_model::Counter expected =
        tcam_model::checked_truth(live != nullptr ? *live : tcam_model::Counter{});
    if ((live != nullptr || may_be_absent) && reply->frames == expected.frames &&
        reply->bytes == expected.bytes) {
        return;
    }
    ++the_card.mismatches;
    if (live == nullptr) {
        log_format(Severity::Error,
                   "MISMATCH: query of %s answered with %" PRIu64 " frames / %" PRIu64
                   " bytes, but the card holds no such flow",
                   model::to_string(key).c_str(), reply->frames, reply->bytes);
        return;
    }
    log_format(Severity::Error,
               "MISMATCH: query of %s answered with %" PRIu64 " frames / %" PRIu64
               " bytes, traffic %" PRIu64 " frames / %" PRIu64 " bytes",
               model::to_string(key).c_str(), reply->frames, reply->bytes, expected.frames,
               expected.bytes);
}

} // namespace serve

// ---- Host callbacks, found by the library in the global symbol scope ---------

extern "C" {

void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text) {
    (void)kind; // the level alone decides: errors are level 4
    if (level < serve::the_card.log_level || text == nullptr) {
        return;
    }
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    // The library's levels: 4 errors, 3 warnings, 2 notes, below that tracing.
    const serve::Severity severity = level >= 4   ? serve::Severity::Error
                                     : level == 3 ? serve::Severity::Warning
                                     : level == 2 ? serve::Severity::Info
                                                  : serve::Severity::Debug;
    serve::log_line(severity, "lib[" + std::to_string(level) + "] " + line);
}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    return serve::the_card.tcam.handle_update_cb(update);
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    return serve::the_card.tcam.stats_get_cb(counter_id, stats);
}

} // extern "C"
