// Display text and chunks from a card, as arbitrary bytes: the assembler and
// the parser must never crash, and whatever the parser accepts must be rows a
// library could have printed: keys in stored form, strictly in display order,
// and printed again they read back the same. Totals run over every accepted
// table, with a missing flow taken from the input.
//
// Input: the first byte picks the mode. Even: the rest is display text. Odd:
// the rest is a sequence of chunks, each a 4-byte header (last_chunk flag,
// a length-mangling byte, two bytes of text length) and that much text,
// assembled into whole 120,652-byte payloads.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_display: %s\n", what);
        std::abort();
    }
}

void check_table(std::string_view text, const uint8_t *data, size_t size) {
    std::string error;
    const auto table = display::parse(text, &error);
    if (!table) {
        check(!error.empty(), "refusal without a reason");
        return;
    }
    std::string again;
    for (size_t i = 0; i < table->rows.size(); ++i) {
        const display::Row &r = table->rows[i];
        const auto key = model::make_key(r.key.type, r.key.vsan, r.key.sid, r.key.did, nullptr);
        check(key && *key == r.key, "row key not in stored form");
        check(r.counter <= 99999, "counter id wider than its column");
        if (i > 0) {
            const model::FlowKey &p = table->rows[i - 1].key;
            check(p < r.key, "rows not in display order");
        }
        again += row_text(r);
    }
    // The header is fixed; the rows printed again must parse to the same.
    const size_t header_len = table->initialized ? display::header_text().size() : 0;
    if (table->initialized) {
        const auto reread = display::parse(std::string(text.substr(0, header_len)) + again, &error);
        check(reread && reread->rows.size() == table->rows.size(), "rows printed again refused");
        for (size_t i = 0; i < table->rows.size(); ++i) {
            const display::Row &a = table->rows[i];
            const display::Row &b = reread->rows[i];
            check(a.key == b.key && a.counter == b.counter && a.hw_frames == b.hw_frames &&
                      a.hw_bytes == b.hw_bytes && a.pos_frames == b.pos_frames &&
                      a.pos_bytes == b.pos_bytes && a.neg_frames == b.neg_frames &&
                      a.neg_bytes == b.neg_bytes,
                  "row read back differently");
        }
    }
    std::vector<model::FlowKey> missing;
    if (size >= 4) {
        const uint32_t word =
            static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
        missing.push_back({static_cast<model::FlowType>(1 + word % 3),
                           model::kMinVsan + (word >> 2) % model::kMaxVsan, word & model::kMaxFcid,
                           (word << 8) & model::kMaxFcid});
    }
    const auto totals = display::totals(table->rows, missing);
    check(totals.size() == table->rows.size(), "one total per row");
    for (size_t i = 0; i < totals.size(); ++i) {
        check(totals[i].key == table->rows[i].key, "totals out of row order");
        if (missing.empty()) {
            check(totals[i].complete, "incomplete without a missing flow");
        }
    }
}

void run_chunks(const uint8_t *data, size_t size) {
    constexpr size_t kChunkLen = 120652;
    display::Assembler assembler;
    std::vector<uint8_t> payload(kChunkLen, 0xa5);
    size_t at = 0;
    while (at + 4 <= size && !assembler.done()) {
        const bool last = (data[at] & 1) != 0;
        const uint8_t mangle = data[at + 1];
        size_t len = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        at += 4;
        len = std::min(len, size - at);
        int32_t text_len = static_cast<int32_t>(len);
        if (mangle == 0xff) {
            text_len = -1;
        } else if (mangle == 0xfe) {
            text_len = 120633;
        }
        payload[12] = payload[13] = payload[14] = 0;
        payload[15] = last ? 1 : 0;
        for (int i = 0; i < 4; ++i) {
            payload[16 + i] = static_cast<uint8_t>(static_cast<uint32_t>(text_len) >> (24 - 8 * i));
        }
        std::memcpy(payload.data() + 20, data + at, len);
        at += len;
        std::string error;
        const size_t before = assembler.text().size();
        const bool wrong_size = mangle == 0xfd;
        const bool ok = assembler.add(
            std::span<const uint8_t>(payload.data(), wrong_size ? kChunkLen - 1 : kChunkLen),
            &error);
        check(ok == (mangle < 0xfd), "chunk accepted or refused wrongly");
        check(assembler.text().size() == before + (ok ? len : 0), "text grew wrongly");
    }
    check_table(assembler.text(), data, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        check_table(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1), data + 1,
                    size - 1);
    } else {
        run_chunks(data + 1, size - 1);
    }
    return 0;
}
