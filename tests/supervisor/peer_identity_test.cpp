// Who a control client is and the role it gets: the Unix groups and the
// certificate's OU, as the supervisor decides at accept.
#include <gtest/gtest.h>

#include "peer_identity.h"

namespace {

using api::Role;
using supervisor::identify;

TEST(PeerIdentity, RoleFromGroupsOrCertificate) {
    constexpr uid_t kSelf = 100, kOther = 200;
    constexpr gid_t kAdmins = 10, kReaders = 20, kStaff = 30;
    const supervisor::RolePolicy policy{
        .self = kSelf, .admin_group = kAdmins, .read_group = kReaders, .groups_of = [](pid_t pid) {
            // pid 7 is also in the read group
            return pid == 7 ? std::vector<gid_t>{kStaff, kReaders} : std::vector<gid_t>{kStaff};
        }};
    const auto unix_peer = [](uid_t uid, gid_t gid, pid_t pid) {
        return vexa_socket::PeerCredentials{.known = true, .pid = pid, .uid = uid, .gid = gid};
    };
    const auto tls_peer = [](const char *unit) {
        vexa_socket::PeerCredentials peer;
        peer.certificate = vexa_socket::PeerCertificate{.subject = std::string("CN=x,OU=") + unit,
                                                        .common_name = "x",
                                                        .unit = unit,
                                                        .dns_names = {}};
        return peer;
    };
    struct Case {
        vexa_socket::PeerCredentials peer;
        std::optional<Role> role; // nullopt: refused
        const char *who;
    } const cases[] = {
        {unix_peer(kSelf, kStaff, 5), Role::Admin, "uid 100 pid 5"},
        {unix_peer(kOther, kAdmins, 5), Role::Admin, "uid 200 pid 5"},
        {unix_peer(kOther, kReaders, 5), Role::Reader, "uid 200 pid 5"},
        {unix_peer(kOther, kStaff, 7), Role::Reader, "uid 200 pid 7"}, // supplementary
        {unix_peer(kOther, kStaff, 5), std::nullopt, ""},
        {tls_peer("admin"), Role::Admin, "CN=x,OU=admin"},
        {tls_peer("reader"), Role::Reader, "CN=x,OU=reader"},
        {tls_peer("Admin"), std::nullopt, ""},
        {tls_peer(""), std::nullopt, ""},
        {vexa_socket::PeerCredentials{}, Role::Admin, "tcp:1.2.3.4:5"}, // --insecure-tcp
    };
    for (const Case &c : cases) {
        std::string why;
        const auto identity = identify(c.peer, "tcp:1.2.3.4:5", policy, &why);
        ASSERT_EQ(identity.has_value(), c.role.has_value()) << c.who << why;
        if (identity) {
            EXPECT_EQ(identity->role, *c.role) << c.who;
            EXPECT_EQ(identity->who, c.who);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

} // namespace
