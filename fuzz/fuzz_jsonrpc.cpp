// Control-socket lines as arbitrary bytes: parse_line and parse_response
// must never crash; a request they accept (alone or in a batch), written again with request_line,
// reads back as the same request, and its params go through the schema's
// decoder of its method without a crash (a refusal is an InvalidParams or an
// UnknownMethod); every error response written for a refused line is itself
// a response a client reads back with the same code and id. A batch holds 1
// to kMaxBatch elements, and parse_request refuses it as not an object. A
// line read as a streamed flow.show part, written again as the supervisor
// writes one, reads back as the same part.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "jsonrpc.h"
#include "schema.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_jsonrpc: %s\n", what);
        std::abort();
    }
}

// The line request_line writes, without its newline.
std::string_view without_newline(const std::string &line) {
    check(!line.empty() && line.back() == '\n', "a written line ends in a newline");
    check(line.find('\n') == line.size() - 1, "a written line is one line");
    return std::string_view(line).substr(0, line.size() - 1);
}

void check_request(const jsonrpc::Request &request) {
    const std::string line = jsonrpc::request_line(request.notification ? nullptr : request.id,
                                                   request.method, request.params);
    const auto again = jsonrpc::parse_request(without_newline(line));
    check(std::holds_alternative<jsonrpc::Request>(again), "a written request is accepted");
    const auto &copy = std::get<jsonrpc::Request>(again);
    check(copy.notification == request.notification, "notification kept");
    check(copy.id == request.id, "id kept");
    check(copy.method == request.method, "method kept");
    check(copy.params == request.params, "params kept");

    const std::string answer = jsonrpc::result_line(request.id, request.params);
    std::string why;
    const auto response = jsonrpc::parse_response(without_newline(answer), &why);
    check(response && response->result && *response->result == request.params,
          "a result line reads back");

    const model::Status decoded = api::check_params(request.method, request.params);
    check(decoded.ok() || decoded.error().code == model::Errc::InvalidParams ||
              decoded.error().code == model::Errc::UnknownMethod,
          "params are decoded or refused as invalid");
}

void check_failure(const jsonrpc::ParseFailure &failure) {
    check(failure.error.code == jsonrpc::kParseError ||
              failure.error.code == jsonrpc::kInvalidRequest,
          "a refused line is a parse error or an invalid request");
    const std::string line = jsonrpc::error_line(failure.id, failure.error);
    std::string why;
    const auto response = jsonrpc::parse_response(without_newline(line), &why);
    check(response && response->error, "an error line reads back");
    check(response->error->code == failure.error.code, "error code kept");
    check(response->id == failure.id, "error id kept");
}

// The supervisor's writing of a part (its id, slot, rows and card).
std::string part_line(const api::ShowPart &part) {
    api::FlowText text;
    text.raw(R"({"jsonrpc":"2.0","method":"flow.show.part","params":{"id":)");
    text.number(static_cast<uint64_t>(*part.id));
    text.raw(R"(,"slot":)");
    text.number(part.slot);
    text.raw(R"(,"flows":[)");
    for (const api::ShowFlow &row : part.flows) {
        text.show_row(row);
    }
    text.raw("]");
    if (part.card) {
        text.raw(R"(,"card":)");
        text.raw(api::to_json(*part.card).dump());
    }
    text.raw("}}");
    return text.take();
}

void check_part(std::string_view line) {
    api::ShowPart part;
    const model::Result<bool> read = api::decode_show_part(line, part);
    if (!read || !*read || !part.id || *part.id < 0) {
        return;
    }
    api::ShowPart again;
    const model::Result<bool> reread = api::decode_show_part(part_line(part), again);
    check(reread && *reread, "a written part reads back as a part");
    check(again.id == part.id && again.slot == part.slot, "a part's id and slot kept");
    check(again.flows == part.flows, "a part's rows kept");
    check(again.card == part.card, "a part's card kept");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const auto parsed = jsonrpc::parse_line(line);
    if (const auto *request = std::get_if<jsonrpc::Request>(&parsed)) {
        check(size <= jsonrpc::kMaxRequestLine, "an oversized line is refused");
        check_request(*request);
    } else if (const auto *batch = std::get_if<jsonrpc::Batch>(&parsed)) {
        check(size <= jsonrpc::kMaxRequestLine, "an oversized batch is refused");
        check(!batch->elements.empty() && batch->elements.size() <= jsonrpc::kMaxBatch,
              "a batch holds 1 to kMaxBatch elements");
        check(std::holds_alternative<jsonrpc::ParseFailure>(jsonrpc::parse_request(line)),
              "parse_request refuses a batch");
        for (const auto &element : batch->elements) {
            if (const auto *r = std::get_if<jsonrpc::Request>(&element)) {
                check_request(*r);
            } else {
                const auto &failure = std::get<jsonrpc::ParseFailure>(element);
                check(failure.error.code == jsonrpc::kInvalidRequest,
                      "a bad element is an invalid request");
                check_failure(failure);
            }
        }
    } else {
        check_failure(std::get<jsonrpc::ParseFailure>(parsed));
    }
    check_part(line);
    std::string why;
    if (const auto response = jsonrpc::parse_response(line, &why)) {
        check(response->result.has_value() != response->error.has_value(),
              "a response has a result or an error");
    }
    return 0;
}
