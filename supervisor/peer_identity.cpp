// A client's identity and role (see peer_identity.h).
#include "peer_identity.h"

#include <algorithm>

namespace supervisor {

const char *role_name(api::Role role) {
    return role == api::Role::Reader ? "reader" : "admin";
}

std::optional<PeerIdentity> identify(const vexa_socket::PeerCredentials &peer,
                                     const std::string &peer_name, const RolePolicy &policy,
                                     std::string *why) {
    if (peer.certificate) {
        const std::string &unit = peer.certificate->unit;
        if (unit == "admin" || unit == "reader") {
            return PeerIdentity{unit == "admin" ? api::Role::Admin : api::Role::Reader,
                                peer.certificate->subject};
        }
        *why = "certificate " + peer.certificate->subject + " has OU '" + unit +
               "', neither admin nor reader";
        return std::nullopt;
    }
    if (!peer.known) {
        return PeerIdentity{api::Role::Admin, peer_name};
    }
    const std::string who = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    std::optional<std::vector<gid_t>> groups; // read once, when needed
    const auto member_of = [&](const std::optional<gid_t> &group) {
        if (!group) {
            return false;
        }
        if (peer.gid == *group) {
            return true;
        }
        if (!groups) {
            groups = policy.groups_of ? policy.groups_of(peer.pid) : std::vector<gid_t>{};
        }
        return std::find(groups->begin(), groups->end(), *group) != groups->end();
    };
    if (peer.uid == policy.self || member_of(policy.admin_group)) {
        return PeerIdentity{api::Role::Admin, who};
    }
    if (member_of(policy.read_group)) {
        return PeerIdentity{api::Role::Reader, who};
    }
    *why = "uid " + std::to_string(peer.uid) + " gid " + std::to_string(peer.gid) +
           " is neither our user nor in an allowed group";
    return std::nullopt;
}

} // namespace supervisor
