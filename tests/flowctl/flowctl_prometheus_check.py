# Reads flowctl's Prometheus sample (flowctl_format_test writes it) with the
# packaged Prometheus client's own parser: the text must parse, and its
# families, types and samples be what the C++ test put there.
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1]) as f:
    text = f.read()

families = {m.name: m for m in text_string_to_metric_families(text)}
# The parser names a counter's family without its _total suffix.
want_types = {
    "acl_tcam_flow_frames": "counter",
    "acl_tcam_flow_bytes": "counter",
    "acl_tcam_flow_snapshot_complete": "gauge",
    "acl_tcam_flow_omitted_flows": "gauge",
    "acl_tcam_flow_configured_flows": "gauge",
    "acl_tcam_card_state": "gauge",
    "acl_tcam_card_counters_used": "gauge",
    "acl_tcam_card_counters_free": "gauge",
    "acl_tcam_card_counters_size": "gauge",
    "acl_tcam_card_mismatches": "gauge",
    "acl_tcam_card_replies_checked": "gauge",
    "acl_tcam_card_uptime_seconds": "gauge",
}
got_types = {name: m.type for name, m in families.items()}
assert got_types == want_types, got_types

frames = families["acl_tcam_flow_frames"].samples
assert [s.name for s in frames] == ["acl_tcam_flow_frames_total"] * 2, frames
assert frames[0].labels == {"slot": "1", "type": "vsan", "vsan": "10",
                            "sid": "0x000000", "did": "0x000000", "name": "core-a"}, frames[0].labels
assert "name" not in frames[1].labels, frames[1].labels
# Values are floats here; 2^64 - 1 rounds to 2^64.
assert frames[0].value == float(2**64 - 1), frames[0].value
complete = {s.labels["slot"]: s.value for s in families["acl_tcam_flow_snapshot_complete"].samples}
assert complete == {"1": 0.0, "3": 0.0, "5": 1.0, "6": 0.0, "7": 1.0, "8": 0.0}, complete
print("prometheus_client parsed %d families, %d samples" %
      (len(families), sum(len(m.samples) for m in families.values())))
