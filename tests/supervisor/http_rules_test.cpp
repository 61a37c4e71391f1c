// The HTTP endpoint's rules: query parameters into a method's params (and
// through its schema decoder), --http addresses, readiness, and scrapes
// sharing a snapshot.

#include <gtest/gtest.h>

#include "http_rules.h"
#include "metrics.h"
#include "schema.h"

namespace {

using supervisor::kShowQuery;
using Query = std::multimap<std::string, std::string>;

TEST(HttpRules, QueryParametersDecodeAsFlowShowParams) {
    struct Case {
        Query query;
        const char *want; // the params as JSON, or the start of the error
    };
    const Case cases[] = {
        {{}, R"({})"},
        {{{"slot", "3"}, {"slot", "1"}}, R"({"slots":[3,1]})"},
        {{{"slots", "2,1,2"}, {"type", "exact"}}, R"({"slots":[2,1,2],"type":"exact"})"},
        {{{"vsan", "10"}, {"since_boot", "true"}}, R"({"since_boot":true,"vsan":10})"},
        {{{"vsan", "10"}, {"vsan", "11"}}, "query parameter \"vsan\" given twice"},
        {{{"sid", "1"}}, "unknown query parameter \"sid\""},
        // Values are the schema's to judge.
        {{{"vsan", "x"}}, "vsan must be"},
        {{{"vsan", "-1"}}, "vsan must be"},
        {{{"slots", "1,,2"}}, "slots must be"},
        {{{"type", "3"}}, "type must be"},
        {{{"since_boot", "1"}}, "since_boot must be"},
    };
    for (const Case &c : cases) {
        const auto params = supervisor::query_params(c.query, kShowQuery);
        const auto show = params ? api::decode_show_params(*params)
                                 : api::Result<api::ShowParams>(params.error());
        const std::string want = c.want;
        if (want.starts_with("{")) {
            ASSERT_TRUE(show) << want << ": " << show.error().message;
            EXPECT_EQ(params->dump(), want);
        } else {
            ASSERT_FALSE(show) << want;
            EXPECT_EQ(show.error().code, model::Errc::InvalidParams);
            EXPECT_TRUE(show.error().message.starts_with(want)) << show.error().message;
        }
    }
}

TEST(HttpRules, AddressesListenOnLoopbackUnlessAHostIsNamed) {
    struct Case {
        const char *text;
        std::optional<supervisor::HttpAddress> want;
    };
    const Case cases[] = {
        {"tcp:9469", supervisor::HttpAddress{"127.0.0.1", 9469}},
        {"tcp::0", supervisor::HttpAddress{"127.0.0.1", 0}},
        {"tcp:0.0.0.0:80", supervisor::HttpAddress{"0.0.0.0", 80}},
        {"tcp:[::1]:9469", supervisor::HttpAddress{"::1", 9469}},
        {"unix:/tmp/x", std::nullopt},
        {"9469", std::nullopt},
        {"tcp:70000", std::nullopt},
    };
    for (const Case &c : cases) {
        const auto got = supervisor::parse_http_address(c.text);
        EXPECT_EQ(got ? std::optional(*got) : std::nullopt, c.want) << c.text;
    }
}

TEST(HttpRules, ReadyWhenEveryCardWithFlowsIsReady) {
    using model::CardState;
    EXPECT_EQ(supervisor::not_ready(true, {}), std::nullopt);
    // A card without flows may be anywhere.
    EXPECT_EQ(supervisor::not_ready(true, {{1, 5, CardState::Ready}, {2, 0, CardState::Down}}),
              std::nullopt);
    EXPECT_EQ(supervisor::not_ready(true, {{1, 5, CardState::Replaying},
                                           {4, 1, CardState::Down},
                                           {5, 1, CardState::Ready}}),
              "cards with configured flows not ready: slot 1 replaying, slot 4 down");
    EXPECT_EQ(supervisor::not_ready(false, {}), "the database is not open");
}

TEST(HttpRules, ScrapesInFlightShareOneSnapshot) {
    supervisor::Coalescer<int> snapshots;
    std::vector<int> got;
    const auto waiter = [&got](const int &v) { got.push_back(v); };
    EXPECT_TRUE(snapshots.join(waiter));  // starts one
    EXPECT_FALSE(snapshots.join(waiter)); // shares it
    EXPECT_FALSE(snapshots.join([&](const int &v) {
        got.push_back(v);
        // Joining from inside a delivery starts the next one.
        EXPECT_TRUE(snapshots.join(waiter));
    }));
    snapshots.finish(7);
    EXPECT_EQ(got, (std::vector<int>{7, 7, 7}));
    EXPECT_TRUE(snapshots.running());
    snapshots.finish(8);
    EXPECT_EQ(got.back(), 8);
    EXPECT_FALSE(snapshots.running());
}

TEST(HttpRules, HistogramBucketsAreCumulative) {
    supervisor::Histogram h;
    for (const double s : {0.0005, 0.003, 0.003, 100.0}) {
        h.observe(supervisor::Seconds(s));
    }
    std::string out;
    h.write(out, "x", "help");
    for (const char *line :
         {"x_bucket{le=\"0.001\"} 1\n", "x_bucket{le=\"0.005\"} 3\n", "x_bucket{le=\"30\"} 3\n",
          "x_bucket{le=\"+Inf\"} 4\n", "x_count 4\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
}

} // namespace
